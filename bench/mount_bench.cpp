// Mount, memory and Recover All on a volume of many files and folders, against The Sleuth
// Kit on the same image in the same run.
//
//   mount_bench [FILES] [FOLDERS] [WORKDIR]     (defaults 200000 20000 /tmp)

#include "disk/block_device.h"
#include "disk/sector_reader.h"
#include "disk_image.h"
#include "recovery/extraction.h"
#include "ufs/mount.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>

using namespace trevik;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double TimeCommand(const std::string& cmd) {
    const auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    }
    return Since(t0);
}

long MaxRssKiB() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t files = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 200000;
    const uint32_t folders = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 20000;
    const fs::path work = argc > 3 ? argv[3] : "/tmp";
    const std::string image = (work / ("trevik-mount-bench-" + std::to_string(files) + ".img")).string();

    imagebuilder::UfsVolume vol;
    {
        // Folders in two levels (a hundred per top folder), files spread evenly over them.
        using namespace imagebuilder;
        TreeNode root = Dir("");
        const uint32_t tops = std::max<uint32_t>(1, folders / 100);
        uint32_t made = 0;
        uint32_t fileNo = 0;
        const uint32_t perFolder = files / std::max<uint32_t>(folders, 1);
        for (uint32_t t = 0; t < tops && made < folders; ++t) {
            TreeNode top = Dir("top" + std::to_string(t));
            ++made;
            for (uint32_t s = 0; s < 99 && made < folders; ++s, ++made) {
                TreeNode sub = Dir("folder" + std::to_string(s));
                for (uint32_t f = 0; f < perFolder && fileNo < files; ++f, ++fileNo) {
                    sub.children.push_back(File("file-" + std::to_string(fileNo) + ".txt",
                                                std::string(100 + fileNo % 1500, static_cast<char>('a' + fileNo % 26))));
                }
                top.children.push_back(std::move(sub));
            }
            root.children.push_back(std::move(top));
        }
        UfsParams p;
        const uint64_t bytes = uint64_t{files} * 2048 + uint64_t{folders} * 4096 + (64u << 20);
        p.sizeSectors = static_cast<uint32_t>(bytes / 512);
        p.cylindersPerGroup = 32;
        p.inodesPerGroup = 4096;
        std::printf("building %u files in %u folders (%llu MiB)...\n", fileNo, made,
                    static_cast<unsigned long long>(bytes >> 20));
        const auto t0 = Clock::now();
        vol = BuildUfs(root, p);
        WriteFile(image, vol.bytes);
        std::printf("built in %.1f s\n", Since(t0));
    }
    const long rssBefore = MaxRssKiB();
    TimeCommand("cat '" + image + "' > /dev/null");

    OpenDeviceResult dev = OpenBlockDevice(image);
    SectorReader reader(dev.device.get(), dev.device->SizeBytes() / 512, 3);
    PartitionEntry entry{"Solaris Partition - 1", static_cast<uint32_t>(vol.bytes.size() / 512), 0, 16};

    // Reading the inode tables and directory blocks raw, in the sizes the mount reads them.
    auto t0 = Clock::now();
    {
        std::vector<uint8_t> buf(64 * 512);
        for (uint32_t c = 0; c < vol.layout.ncg; ++c) {
            const uint64_t first = vol.layout.InodeTableFrag(c) * vol.layout.nspf;
            for (uint32_t s = 0; s < vol.layout.ipg / 4; s += 64) reader.Read(first + s, 64, buf.data());
        }
        for (const auto& n : vol.nodes) {
            if (n.kind != imagebuilder::NodeKind::Directory) continue;
            for (uint32_t f : n.dataFrags) reader.Read(uint64_t{f} * vol.layout.nspf, 16, buf.data());
        }
    }
    const double raw = Since(t0);
    const size_t nodes = vol.nodes.size();
    vol = {}; // the builder's memory is not the mount's

    const double fls = TimeCommand("fls -r -p -f ufs1 '" + image + "' > /dev/null");
    std::atomic<bool> stop{false};
    MountedVolume normal;
    t0 = Clock::now();
    MountVolume(reader, entry, RecoveryMode::Normal, stop, nullptr, normal);
    const double tNormal = Since(t0);
    const long rssNormal = MaxRssKiB();
    const size_t treeNodes = normal.tree.FileCount() + normal.tree.FolderCount();
    const double perNode = static_cast<double>(normal.tree.IndexBytes()) / static_cast<double>(treeNodes);

    MountedVolume extensive;
    t0 = Clock::now();
    MountVolume(reader, entry, RecoveryMode::Extensive, stop, nullptr, extensive);
    const double tExtensive = Since(t0);
    extensive = {};

    const fs::path ours = work / "trevik-bench-recover";
    const fs::path theirs = work / "trevik-bench-tsk";
    fs::remove_all(ours);
    fs::remove_all(theirs);
    ExtractionControl control;
    t0 = Clock::now();
    const ExtractionSummary s =
        ExtractItems(normal, reader, {}, true, ours.string(), DuplicatePolicy::Skip, control, nullptr);
    const double tRecover = Since(t0);
    const double tTsk = TimeCommand("tsk_recover -e -f ufs1 '" + image + "' '" + theirs.string() + "' > /dev/null");
    fs::remove_all(ours);
    fs::remove_all(theirs);

    std::printf("nodes: %zu built, %zu mounted (%u files, %u folders)\n", nodes, treeNodes,
                normal.tree.FileCount(), normal.tree.FolderCount());
    std::printf("raw read of inode tables and directory blocks: %.3f s\n", raw);
    std::printf("fls -r -p:         %.3f s\n", fls);
    std::printf("Normal mount:      %.3f s  (%.2fx faster than fls, %.2fx the raw read)\n", tNormal,
                fls / tNormal, tNormal / raw);
    std::printf("Extensive mount:   %.3f s  (%.2fx Normal)\n", tExtensive, tExtensive / tNormal);
    std::printf("tree memory:       %.0f bytes per node beyond the names (%zu name bytes)\n", perNode,
                normal.tree.ArenaBytes());
    std::printf("peak RSS growth during the mount: %ld KiB (%.0f bytes per node)\n",
                rssNormal - rssBefore, static_cast<double>(rssNormal - rssBefore) * 1024.0 / static_cast<double>(treeNodes));
    std::printf("Recover All:       %.3f s (%llu files, %s)\n", tRecover,
                static_cast<unsigned long long>(s.filesWritten), s.Whole() ? "whole" : s.error.c_str());
    std::printf("tsk_recover -e:    %.3f s  (ours %.2fx its speed)\n", tTsk, tTsk / tRecover);
    return 0;
}
