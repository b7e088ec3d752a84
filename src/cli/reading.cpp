#include "cli/reading.h"

#include "disk/ddrescue_map.h"

#include <iostream>

namespace trevik::cli {

bool OpenForReading(Session& session, const std::string& device, const ReadOptions& options) {
    session.settings.sectorsPerRead = options.sectorsPerRead;
    session.settings.badSectorRetries = options.retries;
    if (!options.badmap.empty()) {
        const Status loaded = session.LoadBadSectorMap(options.badmap);
        if (!loaded) {
            std::cerr << "trevik-cli: " << loaded.error() << "\n";
            return false;
        }
    }
    const Status opened = session.OpenPath(device);
    if (!opened) {
        std::cerr << "trevik-cli: " << opened.error() << "\n";
        return false;
    }
    if (session.Reader().TotalSectors() == 0) {
        std::cerr << "trevik-cli: " << device << ": empty device (no whole sector)\n";
        return false;
    }
    return true;
}

int FinishReading(Session& session, const ReadOptions& options, int rc) {
    if (options.saveBadmap.empty() || !session.DiskOpen()) {
        return rc;
    }
    const Status saved = SaveDdrescueMap(options.saveBadmap, session.Reader().BadSectors(),
                                         session.Device()->SizeBytes());
    if (!saved) {
        std::cerr << "trevik-cli: " << saved.error() << "\n";
        return rc == kExitOk ? kExitFailure : rc;
    }
    return rc;
}

} // namespace trevik::cli
