// Impossible metadata is refused, not believed: damaged inodes are listed and never
// written, hostile superblocks fall back to an intact copy, repeated blocks end a map, and
// the work any of it can cause is bounded (reads, entries, bytes written are counted).

#include "format/big_endian.h"
#include "support/engine_support.h"

#include <random>
#include <sys/stat.h>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::Slurp;
using testing::TempDir;
namespace fs = std::filesystem;
namespace field = ufs::inode_field;

TreeNode Tree() {
    std::vector<TreeNode> files;
    for (int i = 0; i < 30; ++i)
        files.push_back(File("file" + std::to_string(i) + ".txt", "content " + std::to_string(i)));
    return Dir("", {Dir("docs", std::move(files)), GeneratedFile("big.bin", 300000, 2),
                    File("huge.txt", "h"), File("blocks.txt", "b"), File("odd.txt", "o"),
                    File("shadow", "s"), File("attrs", "a"),
                    File("repeat.bin", std::string(50000, 'r'))});
}

std::span<uint8_t> InodeBytes(UfsVolume& v, const std::string& path) {
    return std::span<uint8_t>(v.bytes).subspan(v.layout.InodeByteOffset(v.Find(path)->inode), 128);
}

size_t Reads(const Fixture& fx) {
    return fx.faulty.Calls().size();
}

// Every regular file below a folder, with its size.
std::map<std::string, uint64_t> WrittenFiles(const fs::path& root) {
    std::map<std::string, uint64_t> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file() && !e.is_symlink())
            out[e.path().lexically_relative(root).string()] = e.file_size();
    }
    return out;
}

TEST(HostileMetadata, DamagedInodesAreListedWithNothingTheyClaimAndNeverWritten) {
    UfsVolume vol = BuildUfs(Tree(), testing::VolumeParams());
    WriteBe64(InodeBytes(vol, "/huge.txt"), field::kSize,
              ~uint64_t{0}); // 18 446 744 073 709 551 615
    WriteBe32(InodeBytes(vol, "/blocks.txt"), field::kBlocks, 0x7FFFFFFF); // more than the volume
    WriteBe16(InodeBytes(vol, "/odd.txt"), field::kMode, 0x3000 | 0644);   // no such type
    WriteBe16(InodeBytes(vol, "/shadow"), field::kMode, ufs::kTypeShadow | 0644);
    WriteBe16(InodeBytes(vol, "/attrs"), field::kMode, ufs::kTypeAttrDir | 0755);
    Fixture fx(std::move(vol));
    for (RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
        ASSERT_TRUE(fx.Mount(mode).ok);
        const RecoveredTree& t = fx.mounted.tree;
        std::map<std::string, const FileNode*> byName;
        for (size_t i = 0; i < t.FileCount(); ++i)
            byName[std::string(t.FileName(i))] = &t.Files()[i];
        for (const char* name : {"huge.txt", "blocks.txt", "odd.txt"}) {
            SCOPED_TRACE(name);
            ASSERT_TRUE(byName.count(name)); // the name is data
            EXPECT_TRUE(byName[name]->damaged);
            EXPECT_EQ(byName[name]->size, 0u);
        }
        EXPECT_FALSE(byName.count("shadow")); // file-system metadata, never a file
        EXPECT_FALSE(byName.count("attrs"));
        EXPECT_FALSE(byName["big.bin"]->damaged);
        for (const FileNode& f : t.Files())
            EXPECT_LE(f.size, ufs::kMaxFileSize);
    }
    TempDir out;
    ExtractionControl control;
    const ExtractionSummary s = ExtractItems(fx.mounted, fx.reader, {}, true, out.File("to"),
                                             DuplicatePolicy::Skip, control, nullptr);
    EXPECT_TRUE(s.error.empty()) << s.error;
    std::vector<std::string> damaged = s.damaged;
    std::sort(damaged.begin(), damaged.end());
    EXPECT_EQ(damaged, (std::vector<std::string>{"/blocks.txt", "/huge.txt", "/odd.txt"}));
    const auto written = WrittenFiles(out.Path() / "to");
    EXPECT_FALSE(written.count("huge.txt"));
    uint64_t sum = 0;
    for (const auto& [path, size] : written)
        sum += size;
    EXPECT_EQ(s.bytesWritten, sum);
    EXPECT_EQ(written.at("big.bin"), 300000u);
}

TEST(HostileMetadata, HostileSuperblockFieldsFallBackToAnIntactCopyInBoundedReads) {
    struct Case {
        const char* what;
        uint32_t offset;
        uint32_t value;
        const char* reason;
    };
    for (const Case& c :
         {Case{"a huge group stagger", ufs::sb_field::kCgoffset, 0x7FFFFFF0, "group stagger"},
          Case{"a huge group size", ufs::sb_field::kFpg, 0x10000000, "does not fit"},
          Case{"a size beyond the groups", ufs::sb_field::kSize, 0x7FFFFFFF, "does not fit"}}) {
        SCOPED_TRACE(c.what);
        UfsVolume vol = BuildUfs(Tree(), testing::VolumeParams());
        WriteBe32(std::span<uint8_t>(vol.bytes).subspan(8192), c.offset, c.value);
        Fixture fx(std::move(vol));
        const testing::MountOutcome r = fx.Mount(RecoveryMode::Normal);
        ASSERT_TRUE(r.ok) << r.message;
        ASSERT_EQ(r.warnings.size(), 1u);
        EXPECT_EQ(r.warnings[0].kind, WarningKind::CorrectedSuperblock);
        EXPECT_NE(r.warnings[0].reason.find(c.reason), std::string::npos) << r.warnings[0].reason;
        EXPECT_EQ(testing::ListAll(fx.mounted.tree).size(), testing::Expected(fx.volume).size());
        EXPECT_LT(Reads(fx), 2000u); // the disk has 46 000 sectors
    }
    // The same in every copy: refused, after one pass over the slice at most.
    UfsVolume vol = BuildUfs(Tree(), testing::VolumeParams());
    const auto copies = vol.layout;
    for (uint32_t g = 0; g < copies.ncg; ++g)
        WriteBe32(std::span<uint8_t>(vol.bytes).subspan(copies.CgSuperblockFrag(g) * copies.fsize),
                  ufs::sb_field::kCgoffset, 0x7FFFFFF0);
    WriteBe32(std::span<uint8_t>(vol.bytes).subspan(8192), ufs::sb_field::kCgoffset, 0x7FFFFFF0);
    Fixture fx(std::move(vol));
    EXPECT_FALSE(fx.Mount(RecoveryMode::Normal).ok);
    EXPECT_LT(Reads(fx), 46000u / 64 + 200);
}

TEST(HostileMetadata, ARepeatedBlockEndsTheMapOfAFileOrAFolder) {
    UfsVolume vol = BuildUfs(Tree(), testing::VolumeParams());
    // The file names its first block again, and again; the folder names its first block
    // in every direct pointer and claims eight blocks.
    const auto rep = InodeBytes(vol, "/repeat.bin");
    const uint32_t first = vol.Find("/repeat.bin")->dataFrags[0];
    for (uint32_t i = 1; i < 7; ++i)
        WriteBe32(rep, field::kDirect + 4 * i, first);
    const auto docs = InodeBytes(vol, "/docs");
    const uint32_t docsBlock = vol.Find("/docs")->dataFrags[0];
    for (uint32_t i = 1; i < 12; ++i)
        WriteBe32(docs, field::kDirect + 4 * i, docsBlock);
    WriteBe64(docs, field::kSize, 12 * 8192);
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    size_t inDocs = 0;
    for (const auto& [path, e] : listed)
        inDocs += path.rfind("/docs/", 0) == 0 ? 1 : 0;
    EXPECT_EQ(inDocs, 30u); // every entry once, not twelve times
    EXPECT_EQ(testing::CountKind(fx.mounted.warnings, WarningKind::DamagedBlockMap), 1u);
    EXPECT_EQ(fx.mounted.warnings[0].path, "/docs");

    TempDir out;
    ExtractionControl control;
    const ExtractionSummary s = ExtractItems(fx.mounted, fx.reader, {}, true, out.File("to"),
                                             DuplicatePolicy::Skip, control, nullptr);
    EXPECT_EQ(s.incomplete, std::vector<std::string>{"/repeat.bin"});
    // Its own first block, and nothing of the repeats: the file ends where its map began
    // to repeat itself, not as zeros of the size its inode claims.
    EXPECT_EQ(Slurp(out.File("to/repeat.bin")), std::string(8192, 'r'));
}

// Random damage over the inode tables: whatever the engine lists, it lists no impossible
// size, writes no file larger than its listed size, and counts exactly what it wrote.
TEST(HostileMetadata, RandomDamageNeverShowsOrWritesImpossibleSizes) {
    const UfsVolume clean = BuildUfs(Tree(), testing::VolumeParams());
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        UfsVolume vol = clean;
        std::mt19937 rng(seed);
        const uint64_t tableStart = clean.layout.InodeTableFrag(0) * clean.layout.fsize;
        const uint64_t tableBytes = uint64_t{clean.layout.ipg} * 128;
        for (int i = 0; i < 3000; ++i)
            vol.bytes[tableStart + rng() % tableBytes] = static_cast<uint8_t>(rng());
        Fixture fx(std::move(vol));
        for (RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
            if (!fx.Mount(mode).ok)
                continue;
            for (const FileNode& f : fx.mounted.tree.Files())
                EXPECT_LE(f.size, ufs::kMaxFileSize);
            EXPECT_LT(fx.mounted.tree.FileCount() + fx.mounted.tree.FolderCount(), 100000u);
        }
        TempDir out;
        ExtractionControl control;
        const ExtractionSummary s = ExtractItems(fx.mounted, fx.reader, {}, true, out.File("to"),
                                                 DuplicatePolicy::Rename, control, nullptr);
        EXPECT_TRUE(s.error.empty()) << s.error;
        uint64_t sum = 0, allocated = 0;
        for (const auto& e : fs::recursive_directory_iterator(out.Path())) {
            struct stat st {};
            if (::lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                sum += static_cast<uint64_t>(st.st_size);
                allocated += static_cast<uint64_t>(st.st_blocks) * 512;
                EXPECT_LE(static_cast<uint64_t>(st.st_size), ufs::kMaxFileSize);
            }
        }
        EXPECT_EQ(s.bytesWritten, sum);
        EXPECT_LT(allocated, 256u << 20); // from a 20 MiB volume
    }
}

} // namespace
} // namespace trevik
