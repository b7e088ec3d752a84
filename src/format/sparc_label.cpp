#include "format/sparc_label.h"

#include "format/big_endian.h"

namespace trevik {

std::optional<SparcLabel> ParseSparcLabel(std::span<const uint8_t> sector) {
    // dk_label's fields at the offsets illumos's sys/dklabel.h gives them: the VTOC's slice
    // tags (16 bits each, 4 bytes apart) from 142 and its sanity word at 188; the geometry
    // from 424; the slice map (start cylinder, length) from 444, 8 bytes a slice.
    if (ReadBe32(sector, 188) != label::kSanity) {
        return std::nullopt;
    }
    SparcLabel l;
    l.heads = ReadBe16(sector, 436);
    l.sectorsPerTrack = ReadBe16(sector, 438);
    if (l.heads == 0 || l.sectorsPerTrack == 0) {
        return std::nullopt;
    }
    l.alternatesPerCylinder = ReadBe16(sector, 424);
    l.dataCylinders = ReadBe16(sector, 432);
    l.alternateCylinders = ReadBe16(sector, 434);
    for (int i = 0; i < label::kSlices; ++i) {
        LabelSlice& s = l.slices[static_cast<size_t>(i)];
        const uint32_t n = static_cast<uint32_t>(i);
        s.index = i;
        s.tag = ReadBe16(sector, 142 + 4 * n);
        s.startCylinder = ReadBe32(sector, 444 + 8 * n);
        s.lengthSectors = ReadBe32(sector, 448 + 8 * n);
    }
    return l;
}

std::optional<uint64_t> DeviceIdSector(const SparcLabel& l) {
    const uint64_t perCylinder = uint64_t{l.heads} * l.sectorsPerTrack;
    if (l.alternateCylinders < 2 || l.alternatesPerCylinder >= perCylinder)
        return std::nullopt;
    const uint64_t cylinder = uint64_t{l.dataCylinders} + l.alternateCylinders - 2;
    return cylinder * (perCylinder - l.alternatesPerCylinder) +
           uint64_t{l.heads - 1u} * l.sectorsPerTrack + 1;
}

} // namespace trevik
