#pragma once

// The SPARC (Sun VTOC) disk label in sector 0: the fields volume discovery uses.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace trevik {

namespace label {
inline constexpr uint32_t kSanity = 0x600DDEEE; // vtoc_sanity
inline constexpr int kSlices = 8;
} // namespace label

struct LabelSlice {
    int index = 0;
    uint16_t tag = 0;
    uint32_t startCylinder = 0;
    uint32_t lengthSectors = 0;
};

struct SparcLabel {
    uint16_t heads = 0;
    uint16_t sectorsPerTrack = 0;
    uint16_t dataCylinders = 0;      // dkl_ncyl
    uint16_t alternateCylinders = 0; // dkl_acyl
    uint16_t alternatesPerCylinder = 0;
    std::array<LabelSlice, label::kSlices> slices{};
};

// A slice's first sector: slices begin on a cylinder boundary.
constexpr uint64_t SliceStartSector(const SparcLabel& l, const LabelSlice& s) {
    return uint64_t{s.startCylinder} * l.heads * l.sectorsPerTrack;
}

// Where the disk driver keeps the device id it made up for a disk that has none of its
// own: the second sector of the last track of the next-to-last alternate cylinder. None
// when the label keeps fewer than two alternate cylinders.
std::optional<uint64_t> DeviceIdSector(const SparcLabel& l);

// Decodes sector 0. Empty when the VTOC sanity word is wrong or the geometry is zero.
std::optional<SparcLabel> ParseSparcLabel(std::span<const uint8_t> sector);

} // namespace trevik
