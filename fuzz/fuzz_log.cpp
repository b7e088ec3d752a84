// The UFS log scan of a mutated logging volume: hostile extents, state, idents, sizes and
// wraps. Whatever it holds, the scan reads each sector of the disk at most once or twice.
#include "fuzz_support.h"
#include "ufs/log_replay.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace trevik;
    auto disk = fuzz::DiskOf(data, size, 16 * 512 + 1536);
    fuzz::CountingDevice counted(disk);
    const uint64_t total = disk.SizeBytes() / 512;
    SectorReader reader(&counted, total, 1);
    std::vector<uint8_t> superblock(3 * 512);
    reader.Read(16, superblock);
    counted.sectors = 0;
    for (const bool apply : {true, false}) {
        const LogReplay r = ReplayLog(reader, 0, total, superblock, 8192, apply);
        if (r.overlay) {
            std::vector<uint8_t> probe(64 * 1024);
            r.overlay->Apply(0, probe);
        }
    }
    // One extent block, two state sectors and each log sector once, twice over at most.
    if (counted.sectors > 2 * (total + 16 + 2) + 64)
        __builtin_trap();
    return 0;
}
