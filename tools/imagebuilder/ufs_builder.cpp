#include "ufs_builder.h"

#include "format/big_endian.h"
#include "format/ufs_format.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace trevik::imagebuilder {
namespace fs = std::filesystem;
using namespace trevik::ufs;

// ---------------------------------------------------------------- tree helpers

TreeNode Dir(std::string name, std::vector<TreeNode> children) {
    TreeNode n;
    n.kind = NodeKind::Directory;
    n.name = std::move(name);
    n.children = std::move(children);
    return n;
}

TreeNode File(std::string name, std::string_view content) {
    TreeNode n;
    n.kind = NodeKind::File;
    n.name = std::move(name);
    n.data.assign(content.begin(), content.end());
    return n;
}

TreeNode GeneratedFile(std::string name, uint64_t size, uint32_t seed,
                       std::vector<std::pair<uint64_t, uint64_t>> holes) {
    TreeNode n;
    n.kind = NodeKind::File;
    n.name = std::move(name);
    n.generatedSize = size;
    n.seed = seed;
    n.holes = std::move(holes);
    return n;
}

TreeNode Symlink(std::string name, std::string target) {
    TreeNode n;
    n.kind = NodeKind::Symlink;
    n.name = std::move(name);
    n.target = std::move(target);
    return n;
}

namespace {
uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}
} // namespace

uint8_t GeneratedByte(uint32_t seed, uint64_t offset) {
    const uint64_t word = Mix((uint64_t{seed} << 40) ^ (offset >> 3) ^ 0x9E3779B97F4A7C15ULL);
    return static_cast<uint8_t>(word >> ((offset & 7) * 8));
}

void FillGenerated(uint32_t seed, uint64_t offset, std::span<uint8_t> out) {
    size_t i = 0;
    while (i < out.size()) {
        const uint64_t pos = offset + i;
        const uint64_t word = Mix((uint64_t{seed} << 40) ^ (pos >> 3) ^ 0x9E3779B97F4A7C15ULL);
        for (uint64_t b = pos & 7; b < 8 && i < out.size(); ++b, ++i) {
            out[i] = static_cast<uint8_t>(word >> (b * 8));
        }
    }
}

void ExpectedContent(const TreeNode& node, uint64_t offset, std::span<uint8_t> out) {
    if (!node.data.empty() || node.generatedSize == 0) {
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = offset + i < node.data.size() ? node.data[offset + i] : 0;
        }
        return;
    }
    FillGenerated(node.seed, offset, out);
    for (const auto& [first, last] : node.holes) {
        for (uint64_t p = std::max(first, offset); p < std::min(last, offset + out.size()); ++p) {
            out[p - offset] = 0;
        }
    }
    for (size_t i = 0; i < out.size(); ++i) {
        if (offset + i >= node.generatedSize)
            out[i] = 0;
    }
}

TreeNode TreeFromHostDirectory(const std::string& path) {
    if (!fs::is_directory(path)) {
        throw std::runtime_error(path + " is not a directory");
    }
    TreeNode root = Dir("");
    // Breadth-first with explicit work items, so deep host trees need no deep stack. The
    // children vectors are filled completely before their elements are queued.
    std::deque<std::pair<TreeNode*, fs::path>> work{{&root, fs::path(path)}};
    while (!work.empty()) {
        auto [node, dir] = work.front();
        work.pop_front();
        std::vector<fs::directory_entry> entries;
        for (const auto& e : fs::directory_iterator(dir))
            entries.push_back(e);
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return a.path().filename() < b.path().filename();
        });
        for (const auto& e : entries) {
            const std::string name = e.path().filename().string();
            const auto st = e.symlink_status();
            if (fs::is_symlink(st)) {
                node->children.push_back(Symlink(name, fs::read_symlink(e.path()).string()));
            } else if (fs::is_directory(st)) {
                node->children.push_back(Dir(name));
            } else if (fs::is_regular_file(st)) {
                TreeNode f;
                f.kind = NodeKind::File;
                f.name = name;
                f.hostPath = e.path().string();
                node->children.push_back(std::move(f));
            } else {
                continue;
            }
            struct stat st2 {};
            if (::lstat(e.path().c_str(), &st2) == 0) {
                node->children.back().mtime = st2.st_mtime;
                node->children.back().permissions = static_cast<uint16_t>(st2.st_mode & 07777);
            }
        }
        for (auto& c : node->children) {
            if (c.kind == NodeKind::Directory)
                work.emplace_back(&c, dir / c.name);
        }
    }
    return root;
}

// ---------------------------------------------------------------- layout

uint64_t UfsLayout::CgStart(uint32_t c) const {
    return trevik::ufs::CgStart(fpg, cgoffset, cgmask, c);
}

uint64_t UfsLayout::InodeByteOffset(uint32_t n) const {
    const uint32_t c = n / ipg;
    return InodeTableFrag(c) * fsize + uint64_t{n % ipg} * kInodeSize;
}

namespace {

uint32_t Log2(uint32_t v) {
    return static_cast<uint32_t>(std::countr_zero(v));
}
uint32_t HowMany(uint64_t x, uint64_t y) {
    return static_cast<uint32_t>((x + y - 1) / y);
}
uint64_t RoundUp(uint64_t x, uint64_t y) {
    return (x + y - 1) / y * y;
}

struct BlockMap {
    uint32_t db[kDirectBlocks] = {};
    uint32_t ib[3] = {};
    uint64_t fragsHeld = 0;
    std::vector<uint32_t> dataFrags;
    std::vector<uint32_t> indirectFrags;
};

// An indirect block under construction: its pointers and, above level 1, its children.
struct Indirect {
    std::vector<uint32_t> ptrs;
    std::vector<std::unique_ptr<Indirect>> kids;
};

class Builder {
public:
    Builder(const UfsParams& p, UfsVolume& out) : p_(p), vol_(out), L_(out.layout) {}

    void Build(const TreeNode& rootIn);

private:
    struct Work {
        const TreeNode* node;
        uint32_t inode;
        uint32_t parentInode;
        std::string path;
        std::vector<uint32_t> childInodes;
        uint16_t subdirs = 0;
    };

    void ComputeLayout();
    uint32_t CgHeaderBytes() const {
        constexpr uint32_t kNrpos = 8;
        return cg_field::kHeaderEnd + L_.cpg * 4 + L_.cpg * kNrpos * 2 + HowMany(L_.ipg, 8) +
               HowMany(L_.fpg, 8);
    }
    void InitGroups();
    uint32_t AllocInode(uint32_t preferred);
    uint32_t AllocRun(uint32_t preferred, uint32_t nfrags);
    void Write(uint64_t frag, std::span<const uint8_t> data);
    BlockMap WriteData(uint32_t group, uint64_t size,
                       const std::function<void(uint64_t, std::span<uint8_t>)>& fill,
                       const std::function<bool(uint64_t)>& isHole);
    uint32_t FlushIndirect(uint32_t group, Indirect& ind, int level, BlockMap& map);
    void WriteOwner(uint32_t n, uint32_t uid, uint32_t gid, uint32_t shadow);
    void WriteInode(uint32_t n, uint16_t mode, uint16_t nlink, uint64_t size, int64_t mtime,
                    uint32_t ctimeUsec, const BlockMap& map);
    std::vector<uint8_t> DirectoryBytes(const Work& w);
    void WriteGroups();
    void WriteSuperblocks();

    const UfsParams& p_;
    UfsVolume& vol_;
    UfsLayout& L_;
    std::vector<uint32_t> groupFrags_;
    std::vector<std::vector<uint8_t>> fragFree_; // 1 = free
    std::vector<std::vector<uint8_t>> inodeUsed_;
    std::vector<uint32_t> ndir_;
    std::vector<uint32_t> blockCursor_;
    std::vector<std::vector<uint32_t>> partial_;
    uint32_t dirRotor_ = 0;
};

void Builder::ComputeLayout() {
    const uint32_t fsize = p_.fragmentSize;
    const uint32_t bsize = p_.blockSize;
    if (fsize < 512 || fsize > 8192 || !std::has_single_bit(fsize)) {
        throw std::runtime_error("fragment size must be a power of two from 512 to 8192");
    }
    if (bsize < fsize || bsize > 8192 || !std::has_single_bit(bsize) || bsize / fsize > 8) {
        throw std::runtime_error("block size must be 1, 2, 4 or 8 fragments and at most 8192");
    }
    if (p_.sectorsPerTrack == 0 || p_.tracksPerCylinder == 0 || p_.cylindersPerGroup == 0) {
        throw std::runtime_error("geometry values must be non-zero");
    }
    L_.fsize = fsize;
    L_.bsize = bsize;
    L_.frag = bsize / fsize;
    L_.nspf = fsize / kSectorSize;
    // Superblock copy, group header and inode table at 16, 24 and 32 KiB into a group,
    // whatever the fragment size.
    L_.sblkno = 16384 / fsize;
    L_.cblkno = 24576 / fsize;
    L_.iblkno = 32768 / fsize;
    // As Solaris newfs: groups staggered by a track's worth of fragments rounded to a
    // block, cycling every power-of-two-below-ntrak groups.
    L_.cgoffset = static_cast<uint32_t>(RoundUp(HowMany(p_.sectorsPerTrack, L_.nspf), L_.frag));
    L_.cgmask = 0xFFFFFFFF;
    for (uint32_t i = p_.tracksPerCylinder; i > 1; i >>= 1)
        L_.cgmask <<= 1;
    const uint64_t spc = uint64_t{p_.sectorsPerTrack} * p_.tracksPerCylinder;
    const uint64_t fpg = p_.cylindersPerGroup * spc / L_.nspf;
    if (fpg == 0 || fpg % L_.frag != 0 || fpg > (1u << 24)) {
        throw std::runtime_error("cylinders per group give an unusable group size");
    }
    L_.fpg = static_cast<uint32_t>(fpg);
    L_.cpg = p_.cylindersPerGroup;
    const uint32_t inopb = bsize / kInodeSize;
    uint64_t ipg = p_.inodesPerGroup != 0 ? p_.inodesPerGroup : fpg * fsize / 2048;
    ipg = RoundUp(std::max<uint64_t>(ipg, inopb), inopb);
    L_.ipg = static_cast<uint32_t>(ipg);
    L_.dblkno = L_.iblkno + static_cast<uint32_t>(ipg * kInodeSize / fsize);
    const uint64_t maxStagger = uint64_t{L_.cgoffset} * (~L_.cgmask);
    if (maxStagger + L_.dblkno + L_.frag > fpg) {
        throw std::runtime_error("inode table and group stagger do not fit in a group");
    }

    uint64_t sizeFrags = p_.sizeSectors / L_.nspf;
    uint64_t ncg = (sizeFrags + fpg - 1) / fpg;
    if (ncg > 0) {
        const uint64_t last = sizeFrags - (ncg - 1) * fpg;
        const uint32_t c = static_cast<uint32_t>(ncg - 1);
        const uint64_t need = L_.CgStart(c) - uint64_t{c} * fpg + L_.dblkno + L_.frag;
        if (last < need) { // too small for its own metadata: newfs drops it
            --ncg;
            sizeFrags = ncg * fpg;
        }
    }
    if (ncg == 0) {
        throw std::runtime_error("volume too small for one cylinder group");
    }
    L_.ncg = static_cast<uint32_t>(ncg);
    L_.sizeFrags = static_cast<uint32_t>(sizeFrags);
    L_.csaddr = L_.dblkno;
    L_.cssize = static_cast<uint32_t>(RoundUp(ncg * 16, fsize));
    const uint32_t cgsize = CgHeaderBytes();
    if (cgsize > bsize) {
        throw std::runtime_error("cylinder group header does not fit in a block");
    }
}

void Builder::InitGroups() {
    groupFrags_.assign(L_.ncg, L_.fpg);
    groupFrags_.back() = L_.sizeFrags - (L_.ncg - 1) * L_.fpg;
    fragFree_.resize(L_.ncg);
    inodeUsed_.assign(L_.ncg, std::vector<uint8_t>(L_.ipg, 0));
    ndir_.assign(L_.ncg, 0);
    blockCursor_.assign(L_.ncg, 0);
    partial_.assign(L_.ncg, {});
    for (uint32_t c = 0; c < L_.ncg; ++c) {
        auto& free = fragFree_[c];
        free.assign(groupFrags_[c], 1);
        const uint64_t base = uint64_t{c} * L_.fpg;
        // Group metadata: superblock copy, header and inode table; in group 0 also the boot
        // area with the primary superblock before it and the summary area after it.
        uint64_t metaFirst = L_.CgSuperblockFrag(c) - base;
        uint64_t metaEnd = L_.CgStart(c) - base + L_.dblkno;
        if (c == 0) {
            metaFirst = 0;
            metaEnd += HowMany(L_.cssize, L_.fsize);
        }
        for (uint64_t f = metaFirst; f < metaEnd && f < free.size(); ++f)
            free[f] = 0;
    }
    inodeUsed_[0][0] = inodeUsed_[0][1] = 1;
}

uint32_t Builder::AllocInode(uint32_t preferred) {
    for (uint32_t k = 0; k < L_.ncg; ++k) {
        const uint32_t c = (preferred + k) % L_.ncg;
        auto& used = inodeUsed_[c];
        for (uint32_t i = 0; i < L_.ipg; ++i) {
            if (!used[i]) {
                used[i] = 1;
                return c * L_.ipg + i;
            }
        }
    }
    throw std::runtime_error("out of inodes");
}

// Allocates `nfrags` (1 .. frag) contiguous free fragments, in the preferred group first.
// Whole blocks come from a cursor that only moves forward (nothing is ever freed); a
// tail of fewer fragments goes into the free end of a block already holding tails, as
// the file system packs them.
uint32_t Builder::AllocRun(uint32_t preferred, uint32_t nfrags) {
    for (uint32_t k = 0; k < L_.ncg; ++k) {
        const uint32_t c = (preferred + k) % L_.ncg;
        auto& free = fragFree_[c];
        if (nfrags < L_.frag) {
            auto& partial = partial_[c];
            for (size_t i = partial.size(); i-- > 0;) {
                const uint32_t b = partial[i];
                uint32_t used = 0;
                while (used < L_.frag && !free[b + used])
                    ++used;
                if (L_.frag - used >= nfrags) {
                    for (uint32_t j = 0; j < nfrags; ++j)
                        free[b + used + j] = 0;
                    if (used + nfrags == L_.frag)
                        partial.erase(partial.begin() + static_cast<std::ptrdiff_t>(i));
                    return static_cast<uint32_t>(uint64_t{c} * L_.fpg + b + used);
                }
            }
        }
        auto& cursor = blockCursor_[c];
        for (; cursor + L_.frag <= free.size(); cursor += L_.frag) {
            bool whole = true;
            for (uint32_t j = 0; j < L_.frag && whole; ++j)
                whole = free[cursor + j] != 0;
            if (!whole)
                continue;
            const uint32_t b = cursor;
            for (uint32_t j = 0; j < nfrags; ++j)
                free[b + j] = 0;
            cursor += L_.frag;
            if (nfrags < L_.frag)
                partial_[c].push_back(b);
            return static_cast<uint32_t>(uint64_t{c} * L_.fpg + b);
        }
    }
    throw std::runtime_error("volume full");
}

void Builder::Write(uint64_t frag, std::span<const uint8_t> data) {
    const uint64_t at = frag * L_.fsize;
    if (at + data.size() > vol_.bytes.size()) {
        throw std::runtime_error("write past the end of the volume");
    }
    std::memcpy(vol_.bytes.data() + at, data.data(), data.size());
}

uint32_t Builder::FlushIndirect(uint32_t group, Indirect& ind, int level, BlockMap& map) {
    if (level > 1) {
        for (size_t i = 0; i < ind.kids.size(); ++i) {
            if (ind.kids[i])
                ind.ptrs[i] = FlushIndirect(group, *ind.kids[i], level - 1, map);
        }
    }
    if (std::all_of(ind.ptrs.begin(), ind.ptrs.end(), [](uint32_t v) { return v == 0; })) {
        return 0;
    }
    std::vector<uint8_t> block(L_.bsize, 0);
    for (size_t i = 0; i < ind.ptrs.size(); ++i)
        WriteBe32(block, i * 4, ind.ptrs[i]);
    const uint32_t at = AllocRun(group, L_.frag);
    Write(at, block);
    map.fragsHeld += L_.frag;
    map.indirectFrags.push_back(at);
    return at;
}

BlockMap Builder::WriteData(uint32_t group, uint64_t size,
                            const std::function<void(uint64_t, std::span<uint8_t>)>& fill,
                            const std::function<bool(uint64_t)>& isHole) {
    BlockMap map;
    const uint64_t nindir = L_.bsize / 4;
    const uint64_t nblocks = (size + L_.bsize - 1) / L_.bsize;
    if (nblocks > kDirectBlocks + nindir + nindir * nindir + nindir * nindir * nindir) {
        throw std::runtime_error("file too large for the block map");
    }
    Indirect roots[3];
    std::vector<uint8_t> buf(L_.bsize);
    for (uint64_t lbn = 0; lbn < nblocks; ++lbn) {
        const uint64_t len = std::min<uint64_t>(L_.bsize, size - lbn * L_.bsize);
        const bool lastBlock = lbn + 1 == nblocks;
        uint32_t at = 0;
        if (lastBlock || !isHole(lbn)) {
            std::fill(buf.begin(), buf.end(), 0);
            fill(lbn, std::span<uint8_t>(buf.data(), len));
            // Only the tail of a small file lives in fragments.
            const uint32_t nfrags =
                lbn < kDirectBlocks && len < L_.bsize ? HowMany(len, L_.fsize) : L_.frag;
            at = AllocRun(group, nfrags);
            Write(at, std::span<const uint8_t>(buf.data(), size_t{nfrags} * L_.fsize));
            map.fragsHeld += nfrags;
        }
        map.dataFrags.push_back(at);
        if (at == 0)
            continue;
        if (lbn < kDirectBlocks) {
            map.db[lbn] = at;
            continue;
        }
        // Find the pointer's place in the single, double or triple indirect tree.
        uint64_t rel = lbn - kDirectBlocks;
        int level = 1;
        uint64_t span = nindir;
        while (rel >= span) {
            rel -= span;
            span *= nindir;
            ++level;
        }
        Indirect* node = &roots[level - 1];
        for (int l = level; l >= 1; --l) {
            if (node->ptrs.empty()) {
                node->ptrs.assign(nindir, 0);
                if (l > 1)
                    node->kids.resize(nindir);
            }
            const uint64_t below = l == 1 ? 1 : (l == 2 ? nindir : nindir * nindir);
            const uint64_t idx = rel / below;
            rel %= below;
            if (l == 1) {
                node->ptrs[idx] = at;
            } else {
                if (!node->kids[idx])
                    node->kids[idx] = std::make_unique<Indirect>();
                node = node->kids[idx].get();
            }
        }
    }
    for (int l = 0; l < 3; ++l) {
        if (!roots[l].ptrs.empty())
            map.ib[l] = FlushIndirect(group, roots[l], l + 1, map);
    }
    return map;
}

void Builder::WriteInode(uint32_t n, uint16_t mode, uint16_t nlink, uint64_t size, int64_t mtime,
                         uint32_t ctimeUsec, const BlockMap& map) {
    std::vector<uint8_t> in(kInodeSize, 0);
    WriteBe16(in, inode_field::kMode, mode);
    WriteBe16(in, inode_field::kNlink, nlink);
    WriteBe64(in, inode_field::kSize, size);
    const auto t = static_cast<uint32_t>(mtime);
    WriteBe32(in, inode_field::kAtime, t);
    WriteBe32(in, inode_field::kMtime, t);
    WriteBe32(in, inode_field::kCtime, t);
    WriteBe32(in, inode_field::kCtimeUsec,
              ctimeUsec == kAutoUsec ? 1 + (n * 7919u) % 999999u : ctimeUsec);
    for (uint32_t i = 0; i < kDirectBlocks; ++i)
        WriteBe32(in, inode_field::kDirect + 4 * i, map.db[i]);
    for (uint32_t i = 0; i < 3; ++i)
        WriteBe32(in, inode_field::kIndirect + 4 * i, map.ib[i]);
    WriteBe32(in, inode_field::kBlocks, static_cast<uint32_t>(map.fragsHeld * L_.nspf));
    WriteBe32(in, inode_field::kGen, n * 2654435761u);
    const uint64_t at = L_.InodeByteOffset(n);
    std::memcpy(vol_.bytes.data() + at, in.data(), in.size());
}

void Builder::WriteOwner(uint32_t n, uint32_t uid, uint32_t gid, uint32_t shadow) {
    std::span<uint8_t> in(vol_.bytes.data() + L_.InodeByteOffset(n), kInodeSize);
    WriteBe32(in, inode_field::kShadow, shadow);
    WriteBe32(in, inode_field::kUid, uid);
    WriteBe32(in, inode_field::kGid, gid);
}

std::vector<uint8_t> Builder::DirectoryBytes(const Work& w) {
    std::vector<std::pair<std::string_view, uint32_t>> entries;
    entries.emplace_back(".", w.inode);
    entries.emplace_back("..", w.parentInode);
    for (size_t i = 0; i < w.node->children.size(); ++i) {
        entries.emplace_back(w.node->children[i].name, w.childInodes[i]);
    }
    std::vector<uint8_t> out;
    size_t chunkStart = 0;
    size_t used = kDirChunk; // forces a first chunk
    size_t lastEntry = 0;
    auto closeChunk = [&] {
        if (!out.empty())
            WriteBe16(out, lastEntry + 4,
                      static_cast<uint16_t>(chunkStart + kDirChunk - lastEntry));
    };
    for (const auto& [name, inode] : entries) {
        if (name.empty() || name.size() > 255 || name.find('\0') != std::string_view::npos) {
            throw std::runtime_error("unusable name in " + w.path);
        }
        const uint32_t size = DirEntrySize(static_cast<uint32_t>(name.size()));
        if (used + size > kDirChunk) {
            closeChunk();
            chunkStart = out.size();
            out.resize(out.size() + kDirChunk, 0);
            used = 0;
        }
        lastEntry = chunkStart + used;
        WriteBe32(out, lastEntry, inode);
        WriteBe16(out, lastEntry + 4, static_cast<uint16_t>(size));
        WriteBe16(out, lastEntry + 6, static_cast<uint16_t>(name.size()));
        std::memcpy(out.data() + lastEntry + 8, name.data(), name.size());
        used += size;
    }
    closeChunk();
    return out;
}

void Builder::Build(const TreeNode& rootIn) {
    ComputeLayout();
    vol_.bytes.assign(size_t{p_.sizeSectors} * kSectorSize, 0);
    InitGroups();

    TreeNode withLost;
    const TreeNode* root = &rootIn;
    if (p_.lostAndFound) {
        withLost = rootIn;
        withLost.children.insert(withLost.children.begin(), Dir("lost+found"));
        root = &withLost;
    }

    // Pass 1: inode numbers, breadth-first. Directories are spread over the groups the
    // way newfs spreads them; files stay in their parent's group.
    std::deque<Work> order;
    inodeUsed_[0][kRootInode] = 1;
    order.push_back({root, kRootInode, kRootInode, "/", {}, 0});
    for (size_t k = 0; k < order.size(); ++k) {
        Work& w = order[k];
        if (w.node->kind != NodeKind::Directory)
            continue;
        const uint32_t group = w.inode / L_.ipg;
        for (const TreeNode& child : w.node->children) {
            uint32_t n;
            if (child.kind == NodeKind::Directory) {
                dirRotor_ = (dirRotor_ + 1) % L_.ncg;
                n = AllocInode(dirRotor_);
                ++order[k].subdirs;
            } else {
                n = AllocInode(group);
            }
            order[k].childInodes.push_back(n);
            std::string path = (w.path == "/" ? "" : w.path) + "/" + child.name;
            order.push_back({&child, n, order[k].inode, std::move(path), {}, 0});
        }
    }

    // Pass 2: contents and inodes.
    for (const Work& w : order) {
        const TreeNode& node = *w.node;
        const uint32_t group = w.inode / L_.ipg;
        const int64_t mtime = node.mtime >= 0 ? node.mtime : p_.time;
        BuiltNode built;
        built.path = w.path;
        built.kind = node.kind;
        built.inode = w.inode;
        BlockMap map;
        uint16_t mode = 0;
        uint16_t nlink = 1;
        auto noHoles = [](uint64_t) { return false; };
        if (node.kind == NodeKind::Directory) {
            ++ndir_[group];
            const std::vector<uint8_t> bytes = DirectoryBytes(w);
            built.size = bytes.size();
            map = WriteData(
                group, bytes.size(),
                [&](uint64_t lbn, std::span<uint8_t> out) {
                    std::memcpy(out.data(), bytes.data() + lbn * L_.bsize, out.size());
                },
                noHoles);
            mode = static_cast<uint16_t>(kTypeDir | (node.permissions ? node.permissions : 0755));
            nlink = static_cast<uint16_t>(2 + w.subdirs);
        } else if (node.kind == NodeKind::Symlink) {
            built.size = node.target.size();
            map = WriteData(
                group, node.target.size(),
                [&](uint64_t, std::span<uint8_t> out) {
                    std::memcpy(out.data(), node.target.data(), out.size());
                },
                noHoles);
            mode = static_cast<uint16_t>(kTypeSymlink | 0777);
        } else if (!node.hostPath.empty()) {
            std::ifstream in(node.hostPath, std::ios::binary);
            if (!in)
                throw std::runtime_error("cannot read " + node.hostPath);
            built.size = fs::file_size(node.hostPath);
            map = WriteData(
                group, built.size,
                [&](uint64_t, std::span<uint8_t> out) {
                    in.read(reinterpret_cast<char*>(out.data()),
                            static_cast<std::streamsize>(out.size()));
                },
                noHoles);
            mode = static_cast<uint16_t>(kTypeFile | (node.permissions ? node.permissions : 0644));
        } else {
            built.size = node.data.empty() ? node.generatedSize : node.data.size();
            const uint64_t bsize = L_.bsize;
            map = WriteData(
                group, built.size,
                [&](uint64_t lbn, std::span<uint8_t> out) {
                    ExpectedContent(node, lbn * bsize, out);
                },
                [&](uint64_t lbn) {
                    for (const auto& [first, last] : node.holes) {
                        if (first <= lbn * bsize && (lbn + 1) * bsize <= last)
                            return true;
                    }
                    return false;
                });
            mode = static_cast<uint16_t>(kTypeFile | (node.permissions ? node.permissions : 0644));
        }
        if (node.typeOverride != 0) {
            mode = static_cast<uint16_t>(node.typeOverride | (mode & 07777));
        }
        WriteInode(w.inode, mode, nlink, built.size, mtime, node.ctimeUsec, map);
        WriteOwner(w.inode, node.uid, node.gid, node.shadow);
        built.dataFrags = std::move(map.dataFrags);
        built.indirectFrags = std::move(map.indirectFrags);
        vol_.nodes.push_back(std::move(built));
    }
    WriteGroups();
    WriteSuperblocks();
}

void Builder::WriteGroups() {
    constexpr uint32_t kNrpos = 8;
    const uint64_t spc = uint64_t{p_.sectorsPerTrack} * p_.tracksPerCylinder;
    std::vector<uint8_t> summary(L_.cssize, 0);
    for (uint32_t c = 0; c < L_.ncg; ++c) {
        std::vector<uint8_t> h(CgHeaderBytes(), 0);
        const auto& free = fragFree_[c];
        uint32_t nbfree = 0;
        uint32_t nffree = 0;
        uint32_t frsum[8] = {};
        for (size_t b = 0; b + L_.frag <= free.size(); b += L_.frag) {
            uint32_t n = 0;
            for (uint32_t j = 0; j < L_.frag; ++j)
                n += free[b + j];
            if (n == L_.frag) {
                ++nbfree;
                continue;
            }
            nffree += n;
            uint32_t runLen = 0;
            for (uint32_t j = 0; j <= L_.frag; ++j) {
                if (j < L_.frag && free[b + j]) {
                    ++runLen;
                } else if (runLen > 0) {
                    ++frsum[runLen];
                    runLen = 0;
                }
            }
        }
        uint32_t nifree = 0;
        for (uint8_t u : inodeUsed_[c])
            nifree += u ? 0 : 1;

        WriteBe32(h, cg_field::kMagic, kCgMagic);
        WriteBe32(h, cg_field::kTime, static_cast<uint32_t>(p_.time));
        WriteBe32(h, cg_field::kCgx, c);
        WriteBe16(h, cg_field::kNcyl,
                  static_cast<uint16_t>(HowMany(uint64_t{groupFrags_[c]} * L_.nspf, spc)));
        WriteBe16(h, cg_field::kNiblk, static_cast<uint16_t>(L_.ipg));
        WriteBe32(h, cg_field::kNdblk, groupFrags_[c]);
        WriteBe32(h, cg_field::kCs + 0, ndir_[c]);
        WriteBe32(h, cg_field::kCs + 4, nbfree);
        WriteBe32(h, cg_field::kCs + 8, nifree);
        WriteBe32(h, cg_field::kCs + 12, nffree);
        for (uint32_t k = 0; k < 8; ++k)
            WriteBe32(h, cg_field::kFrsum + 4 * k, frsum[k]);
        const uint32_t btotoff = cg_field::kHeaderEnd;
        const uint32_t boff = btotoff + L_.cpg * 4;
        const uint32_t iusedoff = boff + L_.cpg * kNrpos * 2;
        const uint32_t freeoff = iusedoff + HowMany(L_.ipg, 8);
        const uint32_t nextfreeoff = freeoff + HowMany(L_.fpg, 8);
        WriteBe32(h, cg_field::kBtotoff, btotoff);
        WriteBe32(h, cg_field::kBoff, boff);
        WriteBe32(h, cg_field::kIusedoff, iusedoff);
        WriteBe32(h, cg_field::kFreeoff, freeoff);
        WriteBe32(h, cg_field::kNextfreeoff, nextfreeoff);
        for (uint32_t i = 0; i < L_.ipg; ++i) {
            if (inodeUsed_[c][i])
                h[iusedoff + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
        for (size_t f = 0; f < free.size(); ++f) {
            if (free[f])
                h[freeoff + f / 8] |= static_cast<uint8_t>(1u << (f % 8));
        }
        Write(L_.CgHeaderFrag(c), h);

        WriteBe32(summary, c * 16 + 0, ndir_[c]);
        WriteBe32(summary, c * 16 + 4, nbfree);
        WriteBe32(summary, c * 16 + 8, nifree);
        WriteBe32(summary, c * 16 + 12, nffree);
    }
    Write(L_.csaddr, summary);
}

void Builder::WriteSuperblocks() {
    const uint32_t sbsize = static_cast<uint32_t>(RoundUp(sb_field::kStructEnd, L_.fsize));
    std::vector<uint8_t> s(std::min<uint32_t>(sbsize, kSuperblockSize), 0);
    uint64_t ndir = 0, nbfree = 0, nifree = 0, nffree = 0;
    for (uint32_t c = 0; c < L_.ncg; ++c) {
        const auto h = std::span<const uint8_t>(vol_.bytes).subspan(L_.CgHeaderFrag(c) * L_.fsize);
        ndir += ReadBe32(h, cg_field::kCs);
        nbfree += ReadBe32(h, cg_field::kCs + 4);
        nifree += ReadBe32(h, cg_field::kCs + 8);
        nffree += ReadBe32(h, cg_field::kCs + 12);
    }
    const uint64_t spc = uint64_t{p_.sectorsPerTrack} * p_.tracksPerCylinder;
    const uint32_t t = static_cast<uint32_t>(p_.time);
    WriteBe32(s, sb_field::kSblkno, L_.sblkno);
    WriteBe32(s, sb_field::kCblkno, L_.cblkno);
    WriteBe32(s, sb_field::kIblkno, L_.iblkno);
    WriteBe32(s, sb_field::kDblkno, L_.dblkno);
    WriteBe32(s, sb_field::kCgoffset, L_.cgoffset);
    WriteBe32(s, sb_field::kCgmask, L_.cgmask);
    WriteBe32(s, sb_field::kTime, t);
    WriteBe32(s, sb_field::kSize, L_.sizeFrags);
    WriteBe32(s, sb_field::kDsize,
              L_.sizeFrags - L_.ncg * L_.dblkno - HowMany(L_.cssize, L_.fsize));
    WriteBe32(s, sb_field::kNcg, L_.ncg);
    WriteBe32(s, sb_field::kBsize, L_.bsize);
    WriteBe32(s, sb_field::kFsize, L_.fsize);
    WriteBe32(s, sb_field::kFrag, L_.frag);
    WriteBe32(s, sb_field::kMinfree, 10);
    WriteBe32(s, sb_field::kRps, 60);
    WriteBe32(s, sb_field::kBmask, ~(L_.bsize - 1));
    WriteBe32(s, sb_field::kFmask, ~(L_.fsize - 1));
    WriteBe32(s, sb_field::kBshift, Log2(L_.bsize));
    WriteBe32(s, sb_field::kFshift, Log2(L_.fsize));
    WriteBe32(s, sb_field::kMaxcontig, std::max<uint32_t>(1, 131072 / L_.bsize));
    WriteBe32(s, sb_field::kMaxbpg, L_.bsize / 4);
    WriteBe32(s, sb_field::kFragshift, Log2(L_.frag));
    WriteBe32(s, sb_field::kFsbtodb, Log2(L_.nspf));
    WriteBe32(s, sb_field::kSbsize, sbsize);
    WriteBe32(s, sb_field::kNindir, L_.bsize / 4);
    WriteBe32(s, sb_field::kInopb, L_.bsize / kInodeSize);
    WriteBe32(s, sb_field::kNspf, L_.nspf);
    WriteBe32(s, 132, p_.sectorsPerTrack); // fs_npsect
    WriteBe32(s, 136, 1);                  // fs_interleave
    WriteBe32(s, sb_field::kId, t);
    WriteBe32(s, sb_field::kId + 4, L_.sizeFrags ^ 0x5A5A1234u);
    WriteBe32(s, sb_field::kCsaddr, L_.csaddr);
    WriteBe32(s, sb_field::kCssize, L_.cssize);
    WriteBe32(s, sb_field::kCgsize, static_cast<uint32_t>(RoundUp(CgHeaderBytes(), L_.fsize)));
    WriteBe32(s, sb_field::kNtrak, p_.tracksPerCylinder);
    WriteBe32(s, sb_field::kNsect, p_.sectorsPerTrack);
    WriteBe32(s, sb_field::kSpc, static_cast<uint32_t>(spc));
    WriteBe32(s, sb_field::kNcyl, HowMany(uint64_t{L_.sizeFrags} * L_.nspf, spc));
    WriteBe32(s, sb_field::kCpg, L_.cpg);
    WriteBe32(s, sb_field::kIpg, L_.ipg);
    WriteBe32(s, sb_field::kFpg, L_.fpg);
    WriteBe32(s, sb_field::kCstotal + 0, static_cast<uint32_t>(ndir));
    WriteBe32(s, sb_field::kCstotal + 4, static_cast<uint32_t>(nbfree));
    WriteBe32(s, sb_field::kCstotal + 8, static_cast<uint32_t>(nifree));
    WriteBe32(s, sb_field::kCstotal + 12, static_cast<uint32_t>(nffree));
    s[sb_field::kClean] = 0xFC; // FSCLEAN
    const std::string& mnt = p_.mountPoint;
    std::memcpy(s.data() + sb_field::kFsmnt, mnt.data(), std::min<size_t>(mnt.size(), 511));
    WriteBe32(s, sb_field::kState, 0x7c269d38u - t); // FSOKAY - fs_time
    WriteBe64(s, sb_field::kQbmask, L_.bsize - 1);
    WriteBe64(s, sb_field::kQfmask, L_.fsize - 1);
    WriteBe32(s, sb_field::kPostblformat, 1);
    WriteBe32(s, sb_field::kNrpos, 8);
    WriteBe32(s, sb_field::kPostbloff, sb_field::kStructEnd);
    WriteBe32(s, sb_field::kRotbloff, sb_field::kStructEnd);
    WriteBe32(s, sb_field::kMagic, kFsMagic);

    std::memcpy(vol_.bytes.data() + (kSuperblockSector * kSectorSize), s.data(), s.size());
    for (uint32_t c = 0; c < L_.ncg; ++c)
        Write(L_.CgSuperblockFrag(c), s);
}

} // namespace

UfsVolume BuildUfs(const TreeNode& root, const UfsParams& params) {
    if (root.kind != NodeKind::Directory) {
        throw std::runtime_error("the root must be a directory");
    }
    UfsVolume vol;
    Builder(params, vol).Build(root);
    return vol;
}

// ---------------------------------------------------------------- damage

const BuiltNode* UfsVolume::Find(const std::string& path) const {
    for (const auto& n : nodes) {
        if (n.path == path)
            return &n;
    }
    return nullptr;
}

void UfsVolume::ZeroPrimarySuperblock() {
    std::fill(bytes.begin() + (kSuperblockSector * kSectorSize),
              bytes.begin() + 2 * (kSuperblockSector * kSectorSize), 0);
}

void UfsVolume::ZeroInode(uint32_t inode) {
    const uint64_t at = layout.InodeByteOffset(inode);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
              bytes.begin() + static_cast<std::ptrdiff_t>(at + kInodeSize), 0);
}

void UfsVolume::ZeroFragments(uint32_t firstFrag, uint32_t count) {
    const uint64_t at = uint64_t{firstFrag} * layout.fsize;
    const uint64_t end = std::min<uint64_t>(bytes.size(), at + uint64_t{count} * layout.fsize);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
              bytes.begin() + static_cast<std::ptrdiff_t>(end), 0);
}

bool UfsVolume::RemoveDirEntry(const std::string& dirPath, const std::string& name) {
    const BuiltNode* dir = Find(dirPath);
    if (dir == nullptr || dir->kind != NodeKind::Directory)
        return false;
    uint64_t remaining = dir->size;
    for (uint32_t frag : dir->dataFrags) {
        const uint64_t len = std::min<uint64_t>(remaining, layout.bsize);
        remaining -= len;
        if (frag == 0)
            continue;
        const uint64_t base = uint64_t{frag} * layout.fsize;
        std::span<uint8_t> block(bytes.data() + base, len);
        for (uint64_t chunk = 0; chunk + kDirChunk <= len; chunk += kDirChunk) {
            uint64_t prev = UINT64_MAX;
            for (uint64_t off = chunk; off < chunk + kDirChunk;) {
                const uint16_t reclen = ReadBe16(block, off + 4);
                const uint16_t namlen = ReadBe16(block, off + 6);
                if (reclen == 0)
                    break;
                const std::string_view entryName(
                    reinterpret_cast<const char*>(block.data() + off + 8),
                    std::min<uint64_t>(namlen, 255));
                if (ReadBe32(block, off) != 0 && entryName == name) {
                    if (prev == UINT64_MAX) {
                        WriteBe32(block, off, 0);
                    } else {
                        WriteBe16(block, prev + 4,
                                  static_cast<uint16_t>(ReadBe16(block, prev + 4) + reclen));
                    }
                    return true;
                }
                prev = off;
                off += reclen;
            }
        }
    }
    return false;
}

} // namespace trevik::imagebuilder
