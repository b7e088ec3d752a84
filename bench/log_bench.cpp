// The cost of replaying a full UFS log against one sequential read of it, both through the
// image-file reader. (What a volume without a log costs: mount_bench, before and after.)
//
//   log_bench [LOG_MIB] [WORKDIR]   (default 64, the largest log Solaris makes; /tmp)

#include "disk/block_device.h"
#include "disk/sector_reader.h"
#include "disk_image.h"
#include "log_builder.h"
#include "ufs/log_replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace trevik;
using namespace trevik::imagebuilder;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The best of five runs.
template <typename F> double Best(F&& f) {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, Since(t0));
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t logMiB = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 64;
    UfsParams p;
    p.sizeSectors = (2 * logMiB + 100) * 2048;
    p.fragmentSize = 8192; // groups large enough to hold the whole log
    p.sectorsPerTrack = 256;
    p.cylindersPerGroup = 48;
    p.inodesPerGroup = 1024;
    const TreeNode tree = Dir("", {File("a.txt", "a\n"), Dir("d", {File("b.txt", "b\n")})});
    const UfsVolume vol = BuildUfs(tree, p);
    const CrashImages crash = MakeCrash(vol, vol);
    // A log filled with transactions of block-sized deltas over the volume's first blocks,
    // rewriting what is there: the replayed volume is the volume.
    LogSpec spec;
    spec.logSectors = logMiB * 2048 - 64;
    const uint64_t perTransaction = 16;
    // Nine tenths of it: a log Solaris fills to the brim is rolled first.
    const uint64_t deltas = uint64_t{spec.logSectors} * 504 / (8192 + 16) * 9 / 10;
    for (uint64_t k = 0; k < deltas; k += perTransaction) {
        LogTransaction t;
        for (uint64_t j = k; j < k + perTransaction; ++j) {
            LogDelta d;
            d.mof = (j % 64) * 8192 + 65536;
            d.type = delta::kAllocBlock;
            d.payload.assign(crash.stale.begin() + static_cast<std::ptrdiff_t>(d.mof),
                             crash.stale.begin() + static_cast<std::ptrdiff_t>(d.mof + 8192));
            t.deltas.push_back(std::move(d));
        }
        spec.transactions.push_back(std::move(t));
    }
    std::vector<uint8_t> logged = crash.stale;
    const LogLayout layout = WriteLog(logged, crash, spec);
    // Read as the program reads an image file (the page cache warm after the first run).
    const std::string path = std::string(argc > 2 ? argv[2] : "/tmp") + "/log_bench.img";
    WriteFile(path, logged);
    auto opened = OpenBlockDevice(path);
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error().c_str());
        return 1;
    }
    const std::unique_ptr<BlockDevice> disk = opened.Take();
    SectorReader reader(disk.get(), disk->SizeBytes() / 512, 3);
    std::vector<uint8_t> superblock(3 * 512);
    reader.Read(16, superblock);

    const uint32_t first = layout.extents[0].first, count = layout.extents[0].second;
    // One read of the whole log into memory of its own, as the replay keeps what it reads.
    const double read = Best([&] {
        std::vector<uint8_t> buffer(size_t{count} * 512);
        reader.Read(first, buffer);
    });
    LogReport report;
    const double replay = Best([&] {
        const LogReplay r = ReplayLog(reader, 0, p.sizeSectors, superblock, 8192, true);
        report = r.report;
    });
    std::printf("log: %u MiB, %u sectors written, %u transactions, %u deltas replayed (%s)\n",
                logMiB, layout.sectorsWritten, report.transactions, report.deltas,
                report.reason.c_str());
    std::printf("sequential read of the log: %.3f s\n", read);
    std::printf("replay of the log:          %.3f s (%.2fx the read)\n", replay, replay / read);

    std::remove(path.c_str());
    return 0;
}
