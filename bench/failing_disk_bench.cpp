// A dying disk: a volume of many files with bad sectors scattered over its metadata and
// data, each failing read costing a fixed delay, against the same run on a sound disk.
// Reports the attempts each bad sector cost over a mount and a Recover All.
//
//   failing_disk_bench [FILES] [BAD_SECTORS] [DELAY_MS] [WORKDIR]   (20000 100 5 /dev/shm)

#include "disk/sector_reader.h"
#include "disk_image.h"
#include "fault_device.h"
#include "recovery/extraction.h"
#include "ufs/mount.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

using namespace trevik;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// The fault-injecting device, with the time a failing drive spends on each failed read.
class SlowFaultyDevice final : public BlockDevice {
public:
    SlowFaultyDevice(imagebuilder::FaultyDevice& inner, std::chrono::milliseconds delay)
        : inner_(inner), delay_(delay) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        const bool ok = inner_.ReadAt(offset, out);
        if (!ok)
            std::this_thread::sleep_for(delay_);
        return ok;
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    const std::string& Path() const override { return inner_.Path(); }

private:
    imagebuilder::FaultyDevice& inner_;
    std::chrono::milliseconds delay_;
};

struct Run {
    double seconds = 0;
    size_t failedReads = 0;
    size_t maxAttempts = 0;
    double meanAttempts = 0;
    size_t warnings = 0;
    size_t incomplete = 0;
    uint64_t files = 0;
};

Run Measure(MemoryBlockDevice& disk, const std::set<uint64_t>& bad, std::chrono::milliseconds delay,
            const fs::path& out) {
    imagebuilder::FaultyDevice faulty(disk);
    for (uint64_t s : bad)
        faulty.AddBadSector(s);
    SlowFaultyDevice slow(faulty, delay);
    SectorReader reader(&slow, disk.SizeBytes() / 512, 3);
    PartitionEntry entry = FirstVolumeAt(0, disk.SizeBytes() / 512);
    std::atomic<bool> stop{false};
    Run r;
    const auto t0 = Clock::now();
    auto mounted = MountVolume(reader, entry, RecoveryMode::Normal, stop, nullptr);
    if (!mounted) {
        std::fprintf(stderr, "mount failed: %s\n", mounted.error().c_str());
        std::exit(1);
    }
    const MountedVolume v = mounted.Take();
    fs::remove_all(out);
    ExtractionControl control;
    const ExtractionSummary s =
        ExtractItems(v, reader, {}, true, out.string(), DuplicatePolicy::Skip, control, nullptr);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    fs::remove_all(out);
    std::map<uint64_t, size_t> attempts;
    for (const auto& c : faulty.Calls()) {
        r.failedReads += c.ok ? 0 : 1;
        for (auto it = bad.lower_bound(c.offset / 512);
             it != bad.end() && *it < (c.offset + c.length) / 512; ++it)
            ++attempts[*it];
    }
    size_t total = 0;
    for (const auto& [sector, n] : attempts) {
        r.maxAttempts = std::max(r.maxAttempts, n);
        total += n;
    }
    r.meanAttempts = attempts.empty() ? 0 : double(total) / double(attempts.size());
    r.warnings = v.warnings.size();
    r.incomplete = s.incomplete.size();
    r.files = s.filesWritten;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t files = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 20000;
    const uint32_t badCount = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 100;
    const auto delay = std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 5);
    const fs::path work = argc > 4 ? argv[4] : "/dev/shm";

    using namespace imagebuilder;
    TreeNode root = Dir("");
    for (uint32_t d = 0, n = 0; n < files; ++d) {
        TreeNode folder = Dir("folder" + std::to_string(d));
        for (uint32_t f = 0; f < 100 && n < files; ++f, ++n)
            folder.children.push_back(
                File("file-" + std::to_string(n) + ".txt", std::string(100 + n % 3000, 'a')));
        root.children.push_back(std::move(folder));
    }
    UfsParams p;
    p.sizeSectors = static_cast<uint32_t>((uint64_t{files} * 4096 + (32u << 20)) / 512);
    p.cylindersPerGroup = 32;
    p.inodesPerGroup = 4096;
    const UfsVolume vol = BuildUfs(root, p);

    // Bad sectors scattered over what the volume uses: inode tables, directories, data.
    std::vector<uint64_t> used;
    for (const BuiltNode& n : vol.nodes) {
        used.push_back(vol.layout.InodeByteOffset(n.inode) / 512);
        for (uint32_t frag : n.dataFrags)
            if (frag != 0)
                used.push_back(uint64_t{frag} * vol.layout.nspf);
    }
    std::mt19937_64 rng(42);
    std::set<uint64_t> bad;
    while (bad.size() < badCount)
        bad.insert(used[rng() % used.size()] + rng() % vol.layout.nspf);

    MemoryBlockDevice disk(vol.bytes);
    // Each run writes into a folder of its own: reusing a just-emptied one costs some file
    // systems more than creating a new one.
    const Run sound = Measure(disk, {}, delay, work / "trevik-failing-bench-sound");
    const Run dying = Measure(disk, bad, delay, work / "trevik-failing-bench-dying");
    std::printf("volume: %u files, %u bad sectors, %lld ms per failing read\n", files, badCount,
                static_cast<long long>(delay.count()));
    std::printf("sound disk:  %.2f s, %llu files written\n", sound.seconds,
                static_cast<unsigned long long>(sound.files));
    std::printf("dying disk:  %.2f s (%.2fx), %llu files written, %zu incomplete, %zu warnings\n",
                dying.seconds, dying.seconds / sound.seconds,
                static_cast<unsigned long long>(dying.files), dying.incomplete, dying.warnings);
    std::printf("failing reads: %zu in all; attempts per bad sector: mean %.2f, max %zu "
                "(limit retries + 1 = 4)\n",
                dying.failedReads, dying.meanAttempts, dying.maxAttempts);
    return dying.maxAttempts <= 4 ? 0 : 1;
}
