#include "recovery/block_copy.h"

#include "format/volume_geometry.h"
#include "ufs/file_reader.h"

#include <algorithm>
#include <vector>

namespace trevik {

Copied CopyBlocks(InodeAccess& access, const Inode& inode, int fd, RecordKeeper* records,
                  const BadSectorMap& bad, BlockCopyControl& control) {
    bool damaged = false;
    uint64_t writtenEnd = 0;
    FileReader reader(access, inode);
    std::vector<uint8_t> block(reader.BlockSize());
    uint64_t blocks = reader.BlockCount();
    if (blocks > reader.Capacity()) {
        damaged = true; // more than the block map can address: the rest reads as zeros
        blocks = reader.Capacity();
    }
    const uint64_t volumeBlocks = VolumeBlocks(access.Geometry()) + 1;
    uint64_t dataBlocks = 0;
    for (uint64_t lbn = 0; lbn < blocks;) {
        if (control.SkipRequested())
            return {Copied::Skipped, damaged, {}, writtenEnd};
        if (control.Stopping())
            return {Copied::Stopped, damaged, {}, writtenEnd};
        const BlockMap::Next candidate = reader.NextCandidate(lbn);
        const uint64_t next = std::min(candidate.lbn, blocks);
        damaged = damaged || candidate.lost;
        if (next != lbn) { // a whole absent indirect range: a hole in the output too
            const uint64_t gap = reader.BlockOffset(next) - reader.BlockOffset(lbn);
            if (records != nullptr && candidate.lost)
                records->Lost(reader.BlockOffset(lbn), gap);
            control.Counted(gap, false);
            lbn = next;
            continue;
        }
        const uint32_t len = reader.BlockLength(lbn);
        const auto state = reader.ReadBlock(lbn, {block.data(), len});
        using State = FileReader::BlockState;
        damaged = damaged || state == State::Damaged || state == State::Lost;
        if (records != nullptr && state == State::Lost)
            records->Lost(reader.BlockOffset(lbn), len);
        if (state == State::Data || state == State::Damaged) {
            if (++dataBlocks > volumeBlocks)
                return {Copied::Whole, true, {}, writtenEnd, writtenEnd};
            if (records != nullptr)
                records->Block(bad, reader.BlockOffset(lbn), reader.LastSector(),
                               {block.data(), len}, state == State::Damaged);
            if (const SysError err = WriteAt(fd, block.data(), len, reader.BlockOffset(lbn)))
                return {Copied::Failed, damaged, err, writtenEnd};
            writtenEnd = reader.BlockOffset(lbn) + len;
        }
        control.Counted(len, true);
        ++lbn;
    }
    Copied whole{Copied::Whole, damaged, {}, writtenEnd};
    if (reader.Repeated())
        whole.fileEnd = reader.TrustedEnd();
    return whole;
}

} // namespace trevik
