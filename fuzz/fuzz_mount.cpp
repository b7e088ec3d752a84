// A whole mount (Normal and Extensive) and a Recover All of a mutated volume.
#include "fuzz_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace trevik;
    auto disk = fuzz::DiskOf(data, size, 16 * 512 + 1536);
    SectorReader reader(&disk, disk.SizeBytes() / 512, 1);
    std::atomic<bool> stop{false};
    for (RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
        auto r = MountVolume(reader, fuzz::EntryFor(disk), mode, stop, nullptr);
        if (!r)
            return 0;
        const MountedVolume v = r.Take();
        if (mode == RecoveryMode::Extensive) {
            const std::string out = fuzz::ScratchDir();
            std::filesystem::remove_all(out);
            ExtractionControl control;
            ExtractItems(v, reader, {}, true, out, DuplicatePolicy::Rename, control, nullptr);
            std::filesystem::remove_all(out);
        }
    }
    return 0;
}
