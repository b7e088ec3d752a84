#pragma once

// Writes big-endian UFS1 volumes laid out as Solaris on SPARC writes them, from a tree
// described in code or read from a host directory, and can damage them afterwards the
// way tests need (zeroed superblock, inode or block, a removed directory entry).

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace trevik::imagebuilder {

enum class NodeKind { Directory, File, Symlink };

inline constexpr uint32_t kAutoUsec = 0xFFFFFFFF;

struct TreeNode {
    NodeKind kind = NodeKind::Directory;
    std::string name;               // any bytes but NUL (hostile names are allowed on purpose)
    uint16_t permissions = 0;       // 0: 0755 for directories and links, 0644 for files
    int64_t mtime = -1;             // -1: the volume's time
    uint32_t ctimeUsec = kAutoUsec; // microseconds of the change time; auto is non-zero
    uint32_t uid = 0;               // owner and group, where Solaris keeps them
    uint32_t gid = 0;
    uint32_t shadow = 0; // Solaris' ACL shadow inode, where BSD would keep a 16-bit uid

    // File content: literal bytes, or `generatedSize` bytes of GeneratedByte(seed, offset)
    // with `holes` (byte ranges [first, second)) reading as zeros; whole blocks inside a
    // hole are left unallocated. Or the content of a host file.
    std::vector<uint8_t> data;
    uint64_t generatedSize = 0;
    uint32_t seed = 0;
    std::vector<std::pair<uint64_t, uint64_t>> holes;
    std::string hostPath;

    std::string target; // symbolic link target

    // Type bits to write instead of the kind's own (0x1000 FIFO, 0x2000 character device,
    // 0x6000 block device, 0xC000 socket); such a node holds no data.
    uint16_t typeOverride = 0;

    std::vector<TreeNode> children; // directory entries, in this order after "." and ".."
};

TreeNode Dir(std::string name, std::vector<TreeNode> children = {});
TreeNode File(std::string name, std::string_view content);
TreeNode GeneratedFile(std::string name, uint64_t size, uint32_t seed,
                       std::vector<std::pair<uint64_t, uint64_t>> holes = {});
TreeNode Symlink(std::string name, std::string target);

// Deterministic content of generated files, so tests can check every byte read back.
uint8_t GeneratedByte(uint32_t seed, uint64_t offset);
void FillGenerated(uint32_t seed, uint64_t offset, std::span<uint8_t> out);
// The content a generated node reads back as (holes as zeros).
void ExpectedContent(const TreeNode& node, uint64_t offset, std::span<uint8_t> out);

// A tree read from a host directory, walked without recursion; entries sorted by name.
// Regular files keep their host path (read while building), links their target; other
// kinds of files are skipped.
TreeNode TreeFromHostDirectory(const std::string& path);

struct UfsParams {
    uint32_t sizeSectors = 8192;     // volume length
    uint32_t fragmentSize = 1024;    // 512 to 8192
    uint32_t blockSize = 8192;       // up to 8192, 1 to 8 fragments
    uint32_t sectorsPerTrack = 32;   // newfs -n... nsect: sets fs_cgoffset
    uint32_t tracksPerCylinder = 16; // ntrak: sets fs_cgmask
    uint32_t cylindersPerGroup = 16; // cpg
    uint32_t inodesPerGroup = 0;     // 0: one inode per 2048 bytes of group
    int64_t time = 1199145600;       // 2008-01-01 00:00:00 UTC
    bool lostAndFound = false;       // add a lost+found directory as newfs does
    std::string mountPoint = "/";
};

// Geometry of a built volume, in fragments unless said otherwise.
struct UfsLayout {
    uint32_t fsize = 0, bsize = 0, frag = 0, nspf = 0;
    uint32_t sblkno = 0, cblkno = 0, iblkno = 0, dblkno = 0;
    uint32_t cgoffset = 0, cgmask = 0;
    uint32_t fpg = 0, ipg = 0, ncg = 0, cpg = 0;
    uint32_t sizeFrags = 0;
    uint32_t csaddr = 0, cssize = 0;

    uint64_t CgStart(uint32_t c) const;
    uint64_t CgSuperblockFrag(uint32_t c) const { return CgStart(c) + sblkno; }
    uint64_t CgHeaderFrag(uint32_t c) const { return CgStart(c) + cblkno; }
    uint64_t InodeTableFrag(uint32_t c) const { return CgStart(c) + iblkno; }
    // Byte offset of inode n within the volume.
    uint64_t InodeByteOffset(uint32_t n) const;
};

struct BuiltNode {
    std::string path; // "/" for the root, "/a/b" below it (names as raw bytes)
    NodeKind kind = NodeKind::Directory;
    uint32_t inode = 0;
    uint64_t size = 0;
    std::vector<uint32_t> dataFrags;     // first fragment of each data block, 0 for holes
    std::vector<uint32_t> indirectFrags; // indirect blocks of any level
};

class UfsVolume {
public:
    std::vector<uint8_t> bytes; // the whole volume, sizeSectors x 512
    UfsLayout layout;
    std::vector<BuiltNode> nodes;

    const BuiltNode* Find(const std::string& path) const;

    // Damage, as later tests need it.
    void ZeroPrimarySuperblock();
    void ZeroInode(uint32_t inode);
    void ZeroFragments(uint32_t firstFrag, uint32_t count);
    // Removes `name` from a directory as Solaris does: merged into the entry before it,
    // or, as the first entry of its 512-byte chunk, left with inode number 0. False when
    // the entry was not found.
    bool RemoveDirEntry(const std::string& dirPath, const std::string& name);
};

// Builds a volume; throws std::runtime_error with a reason when the parameters or the
// tree do not fit.
UfsVolume BuildUfs(const TreeNode& root, const UfsParams& params);

} // namespace trevik::imagebuilder
