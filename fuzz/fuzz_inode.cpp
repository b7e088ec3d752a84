// Inode and block-map reading: every inode of a mutated volume, its whole block map and
// its contents, read as the file reader reads them.
#include "format/ufs_format.h"
#include "fuzz_volume.h"
#include "ufs/file_reader.h"
#include "ufs/inode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace trevik;
    auto disk = fuzz::DiskOf(data, size, 16 * 512 + 1536);
    SectorReader reader(&disk, disk.SizeBytes() / 512, 1);
    std::vector<uint8_t> sb(1536);
    reader.Read(16, 3, sb.data());
    const auto decoded = DecodeSuperblock(sb);
    if (!decoded)
        return 0;
    const VolumeGeometry g = *decoded;
    std::vector<uint64_t> groups{16};
    for (uint32_t c = 1; c < std::min<uint32_t>(g.groupCount, 64); ++c) {
        groups.push_back(SuperblockCopySector(g, c));
    }
    InodeAccess access(reader, g, groups);
    const uint64_t last = std::min<uint64_t>(uint64_t{g.inodesPerGroup} * groups.size(), 256);
    std::vector<uint8_t> block(g.blockSize);
    for (uint32_t n = 2; n < last; ++n) {
        const InodeRead read = access.ReadInode(n);
        if (!read.Ok())
            continue;
        const Inode& in = read.inode;
        if (in.IsSymlink()) {
            ReadSymlinkTarget(access, in);
            continue;
        }
        FileReader file(access, in);
        // A bounded walk: holes skipped whole, at most 64 blocks read per inode.
        uint32_t reads = 0;
        for (uint64_t lbn = 0; lbn < file.BlockCount() && reads < 64;) {
            const uint64_t next = file.NextCandidate(lbn).lbn;
            if (next != lbn) {
                lbn = next;
                continue;
            }
            file.ReadBlock(lbn, {block.data(), file.BlockLength(lbn)});
            ++reads;
            ++lbn;
        }
    }
    return 0;
}
