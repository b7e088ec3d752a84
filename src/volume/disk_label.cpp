#include "volume/disk_label.h"

#include "ufs/big_endian.h"
#include "ufs/ufs_format.h"

#include <vector>

namespace trevik {

std::optional<SparcLabel> ParseSparcLabel(std::span<const uint8_t> sector) {
    if (ReadBe32(sector, label::kSanityOffset) != label::kSanity) {
        return std::nullopt;
    }
    SparcLabel l;
    l.heads = ReadBe16(sector, label::kHeadsOffset);
    l.sectorsPerTrack = ReadBe16(sector, label::kSectorsOffset);
    if (l.heads == 0 || l.sectorsPerTrack == 0) {
        return std::nullopt;
    }
    for (int i = 0; i < label::kSlices; ++i) {
        LabelSlice& s = l.slices[static_cast<size_t>(i)];
        s.index = i;
        s.tag = ReadBe16(sector, label::kTagOffset + 4u * static_cast<uint32_t>(i));
        s.startCylinder = ReadBe32(sector, label::kMapOffset + 8u * static_cast<uint32_t>(i));
        s.lengthSectors = ReadBe32(sector, label::kMapOffset + 8u * static_cast<uint32_t>(i) + 4);
    }
    return l;
}

size_t ReadDiskLabel(SectorReader& reader, VolumeTable& table) {
    table.Clear();
    std::vector<uint8_t> sector(kSectorBytes, 0);
    if (reader.Read(0, 1, sector.data()) != 1) {
        return 0;
    }
    const auto parsed = ParseSparcLabel(sector);
    if (!parsed) {
        return 0;
    }
    const uint64_t sectorsPerCylinder = uint64_t{parsed->heads} * parsed->sectorsPerTrack;
    for (const LabelSlice& s : parsed->slices) {
        // Boot disks keep their root slice at cylinder 0, so a zero start is listed; only
        // empty slices and the whole-disk backup slice are passed over.
        if (s.lengthSectors == 0 || s.tag == label::kTagBackup) {
            continue;
        }
        const uint64_t start = uint64_t{s.startCylinder} * sectorsPerCylinder;
        const uint64_t superblock = start + ufs::kSuperblockSector;
        if (superblock > UINT32_MAX) {
            continue; // cannot be addressed with 32-bit sector numbers
        }
        table.Append(static_cast<uint32_t>(start), s.lengthSectors,
                     static_cast<uint32_t>(superblock));
    }
    return table.Count();
}

} // namespace trevik
