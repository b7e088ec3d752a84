#include "volume/disk_label.h"

#include "format/ufs_format.h"

#include <vector>

namespace trevik {

size_t ReadDiskLabel(SectorReader& reader, VolumeTable& table) {
    table.Clear();
    std::vector<uint8_t> sector(kSectorSize, 0);
    if (!reader.Read(0, sector).Whole()) {
        return 0;
    }
    const auto parsed = ParseSparcLabel(sector);
    if (!parsed) {
        return 0;
    }
    for (const LabelSlice& s : parsed->slices) {
        // Boot disks keep their root slice at cylinder 0, so a zero start is listed; only
        // empty slices and the whole-disk backup slice are passed over.
        if (s.lengthSectors == 0 || s.tag == label::kTagBackup) {
            continue;
        }
        const uint64_t start = SliceStartSector(*parsed, s);
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
