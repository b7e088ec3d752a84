// Writes the fuzz targets' seed corpora from the test-image builder:
//   fuzz_make_seeds DIR      (DIR/<target>/seed-N)

#include "disk_image.h"
#include "format/big_endian.h"
#include "format/ufs_format.h"
#include "log_builder.h"
#include "svm_builder.h"
#include "ufs_builder.h"

#include <filesystem>
#include <string>
#include <vector>

using namespace trevik::imagebuilder;
namespace fs = std::filesystem;

namespace {

// Volumes small enough to mutate quickly: two staggered groups in 256 KiB.
UfsVolume Small(const TreeNode& tree, uint32_t fsize = 1024, uint32_t bsize = 8192) {
    UfsParams p;
    p.sizeSectors = 512;
    p.fragmentSize = fsize;
    p.blockSize = bsize;
    p.sectorsPerTrack = 16;
    p.tracksPerCylinder = 4;
    p.cylindersPerGroup = 4;
    p.inodesPerGroup = 64;
    return BuildUfs(tree, p);
}

// The hostile fields and maps the engine must refuse: one volume each.
std::vector<std::vector<uint8_t>> Hostile(const UfsVolume& v) {
    using namespace trevik;
    namespace field = ufs::inode_field;
    std::vector<std::vector<uint8_t>> out;
    auto variant = [&](auto&& damage) {
        std::vector<uint8_t> bytes = v.bytes;
        damage(bytes);
        out.push_back(std::move(bytes));
    };
    auto inode = [&](std::vector<uint8_t>& b, const char* path) {
        return std::span<uint8_t>(b).subspan(v.layout.InodeByteOffset(v.Find(path)->inode), 128);
    };
    auto primary = [](std::vector<uint8_t>& b) { return std::span<uint8_t>(b).subspan(8192); };
    variant([&](auto& b) { WriteBe64(inode(b, "/readme"), field::kSize, ~uint64_t{0}); });
    variant([&](auto& b) { WriteBe32(inode(b, "/readme"), field::kBlocks, 0x7FFFFFFF); });
    variant([&](auto& b) { WriteBe16(inode(b, "/readme"), field::kMode, 0x3000); });
    variant([&](auto& b) { WriteBe32(primary(b), ufs::sb_field::kCgoffset, 0x7FFFFFF0); });
    variant([&](auto& b) { WriteBe32(primary(b), ufs::sb_field::kFpg, 0x10000000); });
    variant([&](auto& b) { WriteBe32(primary(b), ufs::sb_field::kSize, 0x7FFFFFFF); });
    variant([&](auto& b) { // a file naming its first block again
        const uint32_t first = v.Find("/home/a/big")->dataFrags[0];
        for (uint32_t i = 1; i < 5; ++i)
            WriteBe32(inode(b, "/home/a/big"), field::kDirect + 4 * i, first);
    });
    variant([&](auto& b) { // a folder whose map names its only block again and again
        const uint32_t first = v.Find("/etc")->dataFrags[0];
        for (uint32_t i = 1; i < 12; ++i)
            WriteBe32(inode(b, "/etc"), field::kDirect + 4 * i, first);
        WriteBe64(inode(b, "/etc"), field::kSize, 12 * v.layout.bsize);
    });
    return out;
}

void Put(const fs::path& dir, const std::string& what, int n, std::span<const uint8_t> bytes) {
    fs::create_directories(dir / what);
    WriteFile((dir / what / ("seed-" + std::to_string(n))).string(), bytes);
}

} // namespace

int main(int argc, char** argv) {
    const fs::path dir = argc > 1 ? argv[1] : "fuzz/corpus";
    const TreeNode tree =
        Dir("", {Dir("etc", {File("passwd", "root:x:0:0::/:/sbin/sh\n")}),
                 Dir("home", {Dir("a", {GeneratedFile("big", 40000, 1), Symlink("l", "big")})}),
                 File("readme", "hi\n")});
    const UfsVolume volumes[] = {Small(tree), Small(tree, 512, 4096), Small(Dir(""))};
    int n = 0;
    for (const auto& v : volumes) {
        Put(dir, "mount", n, v.bytes);
        Put(dir, "inode", n, v.bytes);
        Put(dir, "superblock", n, std::span<const uint8_t>(v.bytes).subspan(8192, 1536));
        Put(dir, "directory", n,
            std::span<const uint8_t>(v.bytes).subspan(
                uint64_t{v.Find("/")->dataFrags[0]} * v.layout.fsize, 512));
        ++n;
    }
    // The hostile variants, after the sound volumes' seeds.
    for (const auto& bytes : Hostile(volumes[0])) {
        Put(dir, "mount", n, bytes);
        Put(dir, "inode", n, bytes);
        Put(dir, "superblock", n, std::span<const uint8_t>(bytes).subspan(8192, 1536));
        ++n;
    }
    LabelSpec label;
    label.cylinders = 100;
    label.slices = {{0, 2, 0, 0, 20480}, {2, 5, 0, 0, 102400}, {7, 8, 0, 20, 4096}};
    const auto l = MakeSparcLabel(label);
    Put(dir, "label", 0, l);
    // A disk of a label and a volume, for the scan.
    DiskImage disk(1024 + 512);
    disk.PutLabel(label);
    disk.PutVolume(1024, volumes[0]);
    Put(dir, "scan", 0, disk.bytes);
    // Crashed logging volumes: a plain log, one that wraps over two extents, an open
    // transaction and a cancellation.
    {
        TreeNode after = tree;
        after.children[1].children[0].children.push_back(File("new", "created before the crash\n"));
        const CrashImages crash = MakeCrash(Small(tree), Small(after));
        const auto change = DeltasBetween(crash.stale, crash.rolled, crash.layout);
        int k = 0;
        for (int variant = 0; variant < 3; ++variant) {
            LogSpec spec;
            spec.logSectors = 24;
            spec.transactions = {{change, true}};
            if (variant == 1) {
                spec.headOffset = 20;
                spec.twoExtents = true;
            }
            if (variant == 2) {
                LogDelta cancel;
                cancel.type = delta::kCancel;
                cancel.mof = change.front().mof;
                cancel.length = 512;
                spec.transactions.push_back({{cancel}, true});
                spec.transactions.push_back({{change.back()}, false});
            }
            std::vector<uint8_t> bytes = crash.stale;
            WriteLog(bytes, crash, spec);
            Put(dir, "log", k++, bytes);
        }
    }
    // State database replicas (at block 16 of a slice): a stripe with device ids, a mirror
    // and a RAID-5 set, in the small and the large layout.
    {
        const auto id = EncodeDeviceId(3, "sd", {1, 2, 3, 4, 5, 6, 7, 8});
        int k = 0;
        for (const bool large : {false, true}) {
            ReplicaSpec spec;
            spec.blocks = 48;
            spec.large = large;
            spec.units.push_back({SvmKind::Stripe,
                                  10,
                                  2000,
                                  16,
                                  {{{"c1t1d0s0", 0, 1, id}, {"c1t2d0s0", 0, 1, {}}}},
                                  {2000},
                                  {},
                                  0xffffffff});
            spec.units.push_back({SvmKind::Mirror, 20, 1000, 0, {}, {}, {21}, 0xffffffff});
            spec.units.push_back(
                {SvmKind::Stripe, 21, 1000, 0, {{{"c1t3d0s0", 0, 1, {}}}}, {1000}, {}, 20});
            spec.units.push_back(
                {SvmKind::Raid5,
                 30,
                 2000,
                 32,
                 {{{"c2t1d0s0", 0, 1, {}}, {"c2t2d0s0", 0, 1, {}}, {"c2t3d0s0", 0, 1, {}}}},
                 {},
                 {},
                 0xffffffff});
            std::vector<uint8_t> slice(16 * 512, 0);
            const auto replica = ReplicaBytes(spec);
            slice.insert(slice.end(), replica.begin(), replica.end());
            Put(dir, "mddb", k++, slice);
        }
        Put(dir, "mddb", k, DeviceIdBlock(id));
    }
    return 0;
}
