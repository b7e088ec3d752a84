#pragma once

// The SPARC (Sun VTOC) disk label in sector 0: the fields volume discovery uses.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace trevik {

namespace label {
inline constexpr uint32_t kTagOffset = 142;    // 16-bit partition tag of slice i at 142 + 4i
inline constexpr uint32_t kSanityOffset = 188; // VTOC sanity word
inline constexpr uint32_t kSanity = 0x600DDEEE;
inline constexpr uint32_t kAlternatesPerCylinderOffset = 424;
inline constexpr uint32_t kDataCylindersOffset = 432;
inline constexpr uint32_t kAlternateCylindersOffset = 434;
inline constexpr uint32_t kHeadsOffset = 436;
inline constexpr uint32_t kSectorsOffset = 438;
inline constexpr uint32_t kMapOffset =
    444; // slice i: start cylinder at 444 + 8i, length at 448 + 8i
inline constexpr uint32_t kMagicOffset = 508;
inline constexpr uint16_t kMagic = 0xDABE;
inline constexpr uint32_t kChecksumOffset = 510;
inline constexpr uint16_t kTagBackup = 5; // the whole-disk slice
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
