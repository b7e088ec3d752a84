#include "format/sparc_label.h"

#include "format/big_endian.h"

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
    l.dataCylinders = ReadBe16(sector, label::kDataCylindersOffset);
    l.alternateCylinders = ReadBe16(sector, label::kAlternateCylindersOffset);
    l.alternatesPerCylinder = ReadBe16(sector, label::kAlternatesPerCylinderOffset);
    for (int i = 0; i < label::kSlices; ++i) {
        LabelSlice& s = l.slices[static_cast<size_t>(i)];
        s.index = i;
        s.tag = ReadBe16(sector, label::kTagOffset + 4u * static_cast<uint32_t>(i));
        s.startCylinder = ReadBe32(sector, label::kMapOffset + 8u * static_cast<uint32_t>(i));
        s.lengthSectors = ReadBe32(sector, label::kMapOffset + 8u * static_cast<uint32_t>(i) + 4);
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
