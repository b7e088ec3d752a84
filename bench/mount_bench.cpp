// Mount, memory and Recover All on a volume of many files and folders, against The Sleuth
// Kit on the same image in the same run.
//
//   mount_bench [FILES] [FOLDERS] [WORKDIR] [--skip-tsk]   (defaults 200000 20000 /tmp)
//   mount_bench --measure IMAGE          one mount of each mode and a find in a fresh process,
//                                        with the process's peak memory

#include "disk/block_device.h"
#include "disk/sector_reader.h"
#include "disk_image.h"
#include "recovery/extraction.h"
#include "recovery/find_files.h"
#include "ufs/mount.h"
#include "ufs/tree_paths.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

long PeakRssKiB() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    }
    if (f != nullptr)
        std::fclose(f);
    return kib;
}

int Measure(const std::string& image) {
    auto dev = OpenBlockDevice(image);
    if (!dev)
        return 1;
    SectorReader reader(dev->get(), (*dev)->SizeBytes() / 512, 3);
    PartitionEntry entry = FirstVolumeAt(0, (*dev)->SizeBytes() / 512);
    std::atomic<bool> stop{false};
    const long base = PeakRssKiB();
    double times[2];
    size_t nodes = 0;
    double perNode = 0;
    double findTime = 0;
    size_t hits = 0;
    for (int m = 0; m < 2; ++m) {
        MountedVolume v;
        auto t0 = Clock::now();
        v = MountVolume(reader, entry, m == 0 ? RecoveryMode::Normal : RecoveryMode::Extensive,
                        stop, nullptr)
                .Take();
        times[m] = Since(t0);
        if (m == 0) {
            nodes = v.tree.FileCount() + v.tree.FolderCount();
            perNode = static_cast<double>(v.tree.IndexBytes()) / static_cast<double>(nodes);
            struct Count final : FindObserver {
                size_t n = 0;
                void OnHit(const FindHit&, size_t) override { ++n; }
            } count;
            t0 = Clock::now();
            FindFiles(v.tree, "*7.txt", stop, nullptr, count);
            findTime = Since(t0);
            hits = count.n;
        }
    }
    const long peak = PeakRssKiB();
    std::printf(
        "measure: nodes %zu, Normal %.3f s, Extensive %.3f s, find %.3f s (%zu hits), "
        "tree %.0f B/node beyond names, peak RSS %ld KiB (%ld KiB over the start, %.0f B/node)\n",
        nodes, times[0], times[1], findTime, hits, perNode, peak, peak - base,
        static_cast<double>(peak - base) * 1024.0 / static_cast<double>(nodes));
    return 0;
}

// The limit of creating the recovered tree here: a plain loop of mkdir, then for each file
// open, write, futimens, close and rename, one thread, with the files' sizes and names as
// the tree has them (the bytes are not read from the volume).
double PlainCreationLoop(const RecoveredTree& tree, const fs::path& dest) {
    const auto t0 = Clock::now();
    fs::create_directories(dest);
    std::vector<std::string> folderPath(tree.FolderCount());
    for (uint32_t f = 0; f < tree.FolderCount(); ++f) {
        folderPath[f] = dest.string() + "/" + FolderPath(tree, tree.Folders()[f].inode, '/', false);
        ::mkdir(folderPath[f].c_str(), 0755);
    }
    std::vector<char> data(64 * 1024, 'x');
    uint32_t openParent = UINT32_MAX;
    int dirFd = -1;
    const timespec times[2] = {{1199145600, 0}, {1199145600, 0}};
    uint64_t n = 0;
    for (uint32_t i = 0; i < tree.FileCount(); ++i) {
        const FileNode& file = tree.Files()[i];
        if (file.parentInode != openParent) {
            if (dirFd >= 0)
                ::close(dirFd);
            const int64_t f = tree.FindFolder(file.parentInode);
            const std::string dir = f < 0 ? dest.string() : folderPath[static_cast<size_t>(f)];
            dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            openParent = file.parentInode;
        }
        const std::string temp = ".tmp-" + std::to_string(++n);
        const int fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        for (uint64_t left = file.size; left > 0;) {
            const size_t len = static_cast<size_t>(std::min<uint64_t>(left, data.size()));
            if (::write(fd, data.data(), len) != static_cast<ssize_t>(len))
                break;
            left -= len;
        }
        ::futimens(fd, times);
        ::close(fd);
        ::renameat(dirFd, temp.c_str(), dirFd, std::string(tree.FileName(i)).c_str());
    }
    if (dirFd >= 0)
        ::close(dirFd);
    return Since(t0);
}

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--measure")
        return Measure(argv[2]);
    bool skipTsk = false;
    for (int i = 1; i < argc; ++i)
        skipTsk |= std::string(argv[i]) == "--skip-tsk";
    const uint32_t files = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 200000;
    const uint32_t folders = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 20000;
    const fs::path work = argc > 3 ? argv[3] : "/tmp";
    const std::string image =
        (work / ("trevik-mount-bench-" + std::to_string(files) + ".img")).string();

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
                    sub.children.push_back(File(
                        "file-" + std::to_string(fileNo) + ".txt",
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

    auto dev = OpenBlockDevice(image);
    SectorReader reader(dev->get(), (*dev)->SizeBytes() / 512, 3);
    PartitionEntry entry = FirstVolumeAt(0, vol.bytes.size() / 512);

    // Reading the inode tables and directory blocks raw, in the sizes the mount reads them.
    // Each figure below is the best of five runs: this machine is noisy.
    constexpr int kRuns = 5;
    double raw = 1e9;
    Clock::time_point t0;
    for (int run = 0; run < kRuns; ++run) {
        t0 = Clock::now();
        std::vector<uint8_t> buf(64 * 512);
        for (uint32_t c = 0; c < vol.layout.ncg; ++c) {
            const uint64_t first = vol.layout.InodeTableFrag(c) * vol.layout.nspf;
            for (uint32_t s = 0; s < vol.layout.ipg / 4; s += 64)
                reader.Read(first + s, 64, buf.data());
        }
        for (const auto& n : vol.nodes) {
            if (n.kind != imagebuilder::NodeKind::Directory)
                continue;
            for (uint32_t f : n.dataFrags)
                reader.Read(uint64_t{f} * vol.layout.nspf, 16, buf.data());
        }
        raw = std::min(raw, Since(t0));
    }
    const size_t nodes = vol.nodes.size();
    vol = {}; // the builder's memory is not the mount's

    const double fls = skipTsk ? 0 : TimeCommand("fls -r -p -f ufs1 '" + image + "' > /dev/null");
    std::atomic<bool> stop{false};
    MountedVolume normal;
    double tNormal = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        normal = {};
        t0 = Clock::now();
        normal = MountVolume(reader, entry, RecoveryMode::Normal, stop, nullptr).Take();
        tNormal = std::min(tNormal, Since(t0));
    }
    const long rssNormal = MaxRssKiB();
    const size_t treeNodes = normal.tree.FileCount() + normal.tree.FolderCount();
    const double perNode =
        static_cast<double>(normal.tree.IndexBytes()) / static_cast<double>(treeNodes);

    double tExtensive = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        t0 = Clock::now();
        MountedVolume extensive =
            MountVolume(reader, entry, RecoveryMode::Extensive, stop, nullptr).Take();
        tExtensive = std::min(tExtensive, Since(t0));
    }

    const fs::path ours = work / "trevik-bench-recover";
    const fs::path theirs = work / "trevik-bench-tsk";
    fs::remove_all(ours);
    fs::remove_all(theirs);
    ExtractionControl control;
    // One worker, then the default pool (one per core, at most 8).
    ExtractionOptions one;
    one.workers = 1;
    t0 = Clock::now();
    const ExtractionSummary s1 =
        ExtractItems(normal, reader, {}, true, ours.string(), one, control, nullptr);
    const double tRecoverOne = Since(t0);
    fs::remove_all(ours);
    t0 = Clock::now();
    const ExtractionSummary s = ExtractItems(normal, reader, {}, true, ours.string(),
                                             ExtractionOptions{}, control, nullptr);
    const double tRecover = Since(t0);
    const double tTsk = skipTsk ? 0
                                : TimeCommand("tsk_recover -e -f ufs1 '" + image + "' '" +
                                              theirs.string() + "' > /dev/null");
    // The limit for creating that many files here: a plain copy of the recovered tree.
    const fs::path copied = work / "trevik-bench-cp";
    fs::remove_all(copied);
    const double tCp = TimeCommand("cp -a '" + ours.string() + "' '" + copied.string() + "'");
    fs::remove_all(copied);
    const fs::path plain = work / "trevik-bench-plain";
    fs::remove_all(plain);
    const double tPlain = PlainCreationLoop(normal.tree, plain);
    fs::remove_all(plain);
    fs::remove_all(ours);
    fs::remove_all(theirs);
    std::fflush(stdout);
    if (std::system((std::string("'") + argv[0] + "' --measure '" + image + "'").c_str()) != 0)
        return 1;

    std::printf("nodes: %zu built, %zu mounted (%u files, %u folders)\n", nodes, treeNodes,
                normal.tree.FileCount(), normal.tree.FolderCount());
    std::printf("raw read of inode tables and directory blocks: %.3f s\n", raw);
    std::printf("fls -r -p:         %.3f s\n", fls);
    std::printf("Normal mount:      %.3f s  (%.2fx faster than fls, %.2fx the raw read)\n", tNormal,
                fls / tNormal, tNormal / raw);
    std::printf("Extensive mount:   %.3f s  (%.2fx Normal)\n", tExtensive, tExtensive / tNormal);
    std::printf("tree memory:       %.0f bytes per node beyond the names (%zu name bytes)\n",
                perNode, normal.tree.ArenaBytes());
    (void)rssBefore;
    (void)rssNormal;
    std::printf("Recover All, 1 worker: %.3f s (%llu files, %s)\n", tRecoverOne,
                static_cast<unsigned long long>(s1.filesWritten),
                s1.Whole() ? "whole" : s1.error.c_str());
    std::printf("Recover All:       %.3f s (%llu files, %s)\n", tRecover,
                static_cast<unsigned long long>(s.filesWritten),
                s.Whole() ? "whole" : s.error.c_str());
    std::printf("tsk_recover -e:    %.3f s  (ours %.2fx its speed)\n", tTsk, tTsk / tRecover);
    std::printf("cp -a of the tree: %.3f s  (Recover All %.2fx its time)\n", tCp, tRecover / tCp);
    std::printf("plain C loop:      %.3f s  (open/write/futimens/rename, one thread; Recover All "
                "%.2fx the better of it and cp -a, limit 1.2)\n",
                tPlain, tRecover / std::min(tPlain, tCp));
    return 0;
}
