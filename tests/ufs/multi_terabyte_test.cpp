// Multi-terabyte UFS (magic 0xDECADE, version 1, one fragment a block), as newfs makes it
// for volumes of 1 TB and more: found by the scan, mounted and copied byte for byte, with
// a block that lies past 2 TiB into the volume (past 2^32 sectors).

#include "format/big_endian.h"
#include "format/ufs_format.h"
#include "format/volume_geometry.h"
#include "support/engine_support.h"
#include "volume/superblock_scan.h"

#include <cstring>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::Slurp;
using testing::TempDir;
namespace fs = std::filesystem;

UfsParams MtbParams() {
    UfsParams p = testing::VolumeParams(8192, 8192);
    p.sizeSectors = 60000;
    return p;
}

TreeNode Tree() {
    return Dir("", {File("a.txt", "alpha\n"), GeneratedFile("big.bin", 700000, 5),
                    GeneratedFile("one.bin", 8192, 9),
                    Dir("d", {GeneratedFile("sparse.bin", 3u << 20, 3, {{8192, 2u << 20}}),
                              Symlink("link", "../a.txt")})});
}

// Every superblock of the volume (the primary and each group's copy) as a multi-terabyte
// volume has it.
void MakeMultiTerabyte(UfsVolume& v) {
    auto patch = [&](uint64_t byte) {
        std::span<uint8_t> sb(v.bytes.data() + byte, 1536);
        ASSERT_EQ(ReadBe32(sb, ufs::sb_field::kMagic), ufs::kFsMagic) << byte;
        WriteBe32(sb, ufs::sb_field::kMagic, ufs::kMtbMagic);
        WriteBe32(sb, ufs::sb_field::kVersion, ufs::kMtbVersion);
    };
    patch(uint64_t{ufs::kSuperblockSector} * 512);
    for (uint32_t c = 0; c < v.layout.ncg; ++c)
        patch(v.layout.CgSuperblockFrag(c) * v.layout.fsize);
}

ExtractionSummary RecoverAll(MountedVolume& v, SectorReader& reader, const std::string& to) {
    ExtractionControl control;
    return ExtractItems(v, reader, {}, true, to, DuplicatePolicy::Skip, control, nullptr);
}

TEST(MultiTerabyteUfs, MountsAndCopiesLikeAClassicVolume) {
    UfsVolume v = BuildUfs(Tree(), MtbParams());
    MakeMultiTerabyte(v);
    Fixture fx(v);
    for (const RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
        SCOPED_TRACE(static_cast<int>(mode));
        const auto r = fx.Mount(mode);
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_TRUE(fx.mounted.geometry.multiTerabyte);
        EXPECT_TRUE(r.warnings.empty());
        auto listed = testing::ListAll(fx.mounted.tree);
        listed.erase("/LostDir"); // Extensive mode's folder of found items
        EXPECT_EQ(listed, testing::Expected(fx.volume));
    }
    TempDir out;
    const ExtractionSummary s = RecoverAll(fx.mounted, fx.reader, out.File("to"));
    EXPECT_TRUE(s.Whole()) << s.error;
    const TreeNode tree = Tree();
    EXPECT_TRUE(Slurp(out.File("to/big.bin")) == testing::ExpectedBytes(tree.children[1], 700000));
    EXPECT_TRUE(Slurp(out.File("to/d/sparse.bin")) ==
                testing::ExpectedBytes(tree.children[3].children[0], 3u << 20));
    EXPECT_EQ(fs::read_symlink(out.File("to/d/link")), "../a.txt");
}

TEST(MultiTerabyteUfs, TheScanFindsItByItsMagic) {
    UfsVolume v = BuildUfs(Tree(), MtbParams());
    MakeMultiTerabyte(v);
    // The primary gone too: the scan confirms group 1's copy by its header.
    for (const bool primaryLost : {false, true}) {
        SCOPED_TRACE(primaryLost);
        UfsVolume copy = v;
        if (primaryLost)
            copy.ZeroPrimarySuperblock();
        Fixture fx(copy);
        VolumeTable table;
        std::atomic<bool> stop{false};
        ScanOptions o;
        o.endSector = fx.reader.TotalSectors();
        ASSERT_EQ(ScanForVolumes(fx.reader, o, table, stop), ScanOutcome::Completed);
        ASSERT_GE(table.Count(), 1u);
        EXPECT_EQ(table[0].startSector, Fixture::kStart);
        if (primaryLost) {
            EXPECT_GT(table[0].superblockSector, Fixture::kStart + 16);
        }
    }
}

TEST(MultiTerabyteUfs, ASuperblockOnlyHalfMultiTerabyteIsRefusedWithItsReason) {
    UfsVolume v = BuildUfs(Tree(), MtbParams());
    MakeMultiTerabyte(v);
    std::vector<uint8_t> sb(v.bytes.begin() + 8192, v.bytes.begin() + 8192 + 1536);
    ASSERT_TRUE(DecodeSuperblock(sb).ok());
    auto wrongVersion = sb;
    WriteBe32(wrongVersion, ufs::sb_field::kVersion, 2);
    EXPECT_EQ(DecodeSuperblock(wrongVersion).error(), "multi-terabyte UFS version 2 is not 1");
    // The classic magic takes versions 0 and 2 (and a damaged one) as it always did.
    auto classic = sb;
    WriteBe32(classic, ufs::sb_field::kMagic, ufs::kFsMagic);
    for (const uint32_t version : {0u, 2u, 77u}) {
        WriteBe32(classic, ufs::sb_field::kVersion, version);
        EXPECT_TRUE(DecodeSuperblock(classic).ok()) << version;
    }
    UfsVolume split = BuildUfs(Tree(), testing::VolumeParams(1024, 8192));
    MakeMultiTerabyte(split);
    std::vector<uint8_t> fragmented(split.bytes.begin() + 8192, split.bytes.begin() + 8192 + 1536);
    EXPECT_EQ(DecodeSuperblock(fragmented).error(),
              "a multi-terabyte volume with 8 fragments a block");
}

// A disk of `size` bytes that holds `head` at its start and `far` at byte `farAt`, zeros
// elsewhere: a multi-terabyte volume without its terabytes.
class SparseDevice final : public BlockDevice {
public:
    SparseDevice(std::vector<uint8_t> head, uint64_t farAt, std::vector<uint8_t> far, uint64_t size)
        : head_(std::move(head)), far_(std::move(far)), farAt_(farAt), size_(size) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        if (offset > size_ || out.size() > size_ - offset)
            return false;
        std::memset(out.data(), 0, out.size());
        auto copy = [&](uint64_t at, const std::vector<uint8_t>& piece) {
            const uint64_t lo = std::max(offset, at);
            const uint64_t hi = std::min(offset + out.size(), at + piece.size());
            if (lo < hi)
                std::memcpy(out.data() + (lo - offset), piece.data() + (lo - at), hi - lo);
        };
        copy(0, head_);
        copy(farAt_, far_);
        ++reads;
        return true;
    }
    uint64_t SizeBytes() const override { return size_; }
    const std::string& Path() const override { return path_; }
    uint64_t reads = 0;

private:
    std::vector<uint8_t> head_, far_;
    uint64_t farAt_, size_;
    std::string path_ = "sparse";
};

TEST(MultiTerabyteUfs, ABlockPastTwoTebibytesIsReadExactly) {
    // One cylinder group stretched past 2 TiB, and one.bin's block moved to its far end.
    UfsParams p = MtbParams();
    p.cylindersPerGroup = 200;
    UfsVolume v = BuildUfs(Tree(), p);
    ASSERT_EQ(v.layout.ncg, 1u);
    MakeMultiTerabyte(v);
    const BuiltNode* one = v.Find("/one.bin");
    ASSERT_NE(one, nullptr);
    ASSERT_EQ(one->dataFrags.size(), 1u);
    constexpr uint32_t kFar = (1u << 28) + 4096; // fragments of 8 KiB: 2 TiB + 32 MiB
    const uint32_t frags = kFar + 1024;
    std::vector<uint8_t> block(v.bytes.begin() + uint64_t{one->dataFrags[0]} * 8192,
                               v.bytes.begin() + uint64_t{one->dataFrags[0]} * 8192 + 8192);
    std::fill_n(v.bytes.begin() + uint64_t{one->dataFrags[0]} * 8192, 8192, 0);
    WriteBe32(std::span(v.bytes).subspan(v.layout.InodeByteOffset(one->inode)),
              ufs::inode_field::kDirect, kFar);
    for (const uint64_t sb : {uint64_t{8192}, v.layout.CgSuperblockFrag(0) * 8192}) {
        WriteBe32(std::span(v.bytes).subspan(sb), ufs::sb_field::kSize, frags);
        WriteBe32(std::span(v.bytes).subspan(sb), ufs::sb_field::kDsize, frags);
        WriteBe32(std::span(v.bytes).subspan(sb), ufs::sb_field::kFpg, frags);
    }
    const uint64_t size = uint64_t{frags} * 8192;
    SparseDevice disk(v.bytes, uint64_t{kFar} * 8192, block, size);
    SectorReader reader(&disk, size / 512, 1);
    std::atomic<bool> stop{false};
    const PartitionEntry entry = FirstVolumeAt(0, size / 512);
    auto mounted = MountVolume(reader, entry, RecoveryMode::Normal, stop, nullptr);
    ASSERT_TRUE(mounted) << mounted.error();
    EXPECT_EQ(VolumeFragments(mounted->geometry), frags);
    EXPECT_GT(FragmentSector(mounted->geometry, kFar), uint64_t{1} << 32);
    TempDir out;
    const ExtractionSummary s = RecoverAll(*mounted, reader, out.File("to"));
    EXPECT_TRUE(s.Whole()) << s.error;
    EXPECT_TRUE(Slurp(out.File("to/one.bin")) == testing::ExpectedBytes(Tree().children[2], 8192));
    EXPECT_TRUE(Slurp(out.File("to/a.txt")) == "alpha\n");
    // Reading the volume never walks its terabytes.
    EXPECT_LT(disk.reads, 2000u);
}

} // namespace
} // namespace trevik
