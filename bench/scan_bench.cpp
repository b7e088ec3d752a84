// Superblock scan throughput over a 2 GiB image in the page cache, 60 sectors per read,
// progress on, against `cat IMAGE > /dev/null` in the same run.
//
//   scan_bench [IMAGE] [SIZE_MIB]
//
// The image is written once (random filler with a few volumes in it) and kept.

#include "disk/block_device.h"
#include "disk/sector_reader.h"
#include "disk_image.h"
#include "volume/superblock_scan.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

using namespace trevik;
using Clock = std::chrono::steady_clock;

namespace {

struct CountingObserver : ScanObserver {
    size_t reports = 0;
    size_t found = 0;
    void OnScanProgress(const ScanProgress&) override { ++reports; }
    void OnVolumeFound(const PartitionEntry&, size_t) override { ++found; }
};

void WriteImage(const std::string& path, uint64_t bytes) {
    std::printf("writing %s (%llu MiB)...\n", path.c_str(),
                static_cast<unsigned long long>(bytes >> 20));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint8_t> chunk(8 << 20);
    std::mt19937_64 rng(1);
    imagebuilder::UfsParams p;
    p.sizeSectors = 8192;
    const auto vol = imagebuilder::BuildUfs(imagebuilder::Dir(""), p);
    for (uint64_t at = 0; at < bytes; at += chunk.size()) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            const uint64_t v = rng();
            std::memcpy(chunk.data() + i, &v, 8);
        }
        // A volume every 256 MiB.
        if (at % (256u << 20) == 0)
            std::memcpy(chunk.data(), vol.bytes.data(), vol.bytes.size());
        out.write(reinterpret_cast<const char*>(chunk.data()),
                  static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), bytes - at)));
    }
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "/tmp/trevik-scan-bench.img";
    const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2048;
    const uint64_t bytes = mib << 20;
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) != bytes)
        WriteImage(path, bytes);

    const std::string cat = "cat '" + path + "' > /dev/null";
    if (std::system(cat.c_str()) != 0)
        return 1; // into the page cache

    double bestCat = 1e9;
    double bestScan = 1e9;
    CountingObserver obs;
    size_t volumes = 0;
    for (int round = 0; round < 3; ++round) {
        auto t0 = Clock::now();
        if (std::system(cat.c_str()) != 0)
            return 1;
        bestCat = std::min(bestCat, Seconds(t0, Clock::now()));

        auto dev = OpenBlockDevice(path);
        if (!dev) {
            std::fprintf(stderr, "%s\n", dev.error().c_str());
            return 1;
        }
        SectorReader reader(dev->get(), bytes / 512, 3);
        VolumeTable table;
        std::atomic<bool> stop{false};
        obs = {};
        ScanOptions o;
        o.startSector = 0;
        o.endSector = static_cast<uint32_t>(bytes / 512);
        o.sectorsPerRead = 60;
        t0 = Clock::now();
        ScanForVolumes(reader, o, table, stop, &obs);
        bestScan = std::min(bestScan, Seconds(t0, Clock::now()));
        volumes = table.Count();
    }
    const double gb = static_cast<double>(bytes) / 1e9;
    std::printf("image %llu MiB, %zu volumes found, %zu progress reports\n",
                static_cast<unsigned long long>(mib), volumes, obs.reports);
    std::printf("cat:  %.3f s  %.2f GB/s\n", bestCat, gb / bestCat);
    std::printf("scan: %.3f s  %.2f GB/s  (%.2fx the time of cat)\n", bestScan, gb / bestScan,
                bestScan / bestCat);
    return 0;
}
