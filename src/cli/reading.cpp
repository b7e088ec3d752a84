#include "cli/reading.h"

#include "disk/ddrescue_map.h"

#include <iostream>

namespace trevik::cli {
namespace {

inline constexpr const char* kMsgBadStart =
    "      Start sector value is not valid, It should be a positive number";
inline constexpr const char* kMsgBadEnd =
    "      End sector value is not valid, It should be a positive number";
inline constexpr const char* kMsgInvertedRange =
    "      End sector should be bigger than start sector";

// Parses a sector number the way the window's edit fields are read: digits only, within
// the 32-bit sector range.
std::optional<uint32_t> ParseSector(const std::string& text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

} // namespace

std::optional<int> CheckScanRange(const ScanRangeOptions& range) {
    if (range.start && !ParseSector(*range.start)) {
        std::cerr << kMsgBadStart << "\n";
        return kExitUsage;
    }
    if (range.end && !ParseSector(*range.end)) {
        std::cerr << kMsgBadEnd << "\n";
        return kExitUsage;
    }
    if (range.start && range.end && *ParseSector(*range.start) >= *ParseSector(*range.end)) {
        std::cerr << kMsgInvertedRange << "\n";
        return kExitUsage;
    }
    return std::nullopt;
}

std::optional<int> MakeScanOptions(const ScanRangeOptions& range, uint64_t totalSectors,
                                   uint32_t sectorsPerRead, ScanOptions& scan) {
    if (const auto rc = CheckScanRange(range))
        return rc;
    scan.startSector = range.start ? *ParseSector(*range.start) : 0;
    scan.endSector = range.end ? *ParseSector(*range.end) : DefaultScanEnd(totalSectors);
    scan.sectorsPerRead = sectorsPerRead;
    if (scan.startSector >= scan.endSector) {
        std::cerr << kMsgInvertedRange << "\n";
        return kExitUsage;
    }
    return std::nullopt;
}

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
