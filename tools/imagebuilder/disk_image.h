#pragma once

// SPARC disk labels and disk image files for tests and the sample disk.

#include "ufs_builder.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace trevik::imagebuilder {

struct SliceSpec {
    int index = 0;    // 0 to 7
    uint16_t tag = 0; // VTOC tag: 2 root, 5 backup (whole disk), 8 home, ...
    uint16_t flag = 0;
    uint32_t startCylinder = 0;
    uint32_t lengthSectors = 0;
};

struct LabelSpec {
    uint16_t heads = 16;
    uint16_t sectorsPerTrack = 64;
    uint32_t cylinders = 0; // data cylinders
    std::vector<SliceSpec> slices;
    std::string text = "Trevik test disk";
};

// A 512-byte Sun VTOC label with magic 0xDABE and a valid checksum.
std::array<uint8_t, 512> MakeSparcLabel(const LabelSpec& spec);

// A disk image built in memory: a label and volumes at their slices' places.
class DiskImage {
public:
    explicit DiskImage(uint64_t sizeSectors) : bytes(size_t(sizeSectors) * 512, 0) {}

    void PutLabel(const LabelSpec& spec);
    void ZeroLabel();
    // Copies a volume to `startSector`.
    void PutVolume(uint64_t startSector, const UfsVolume& volume);
    void PutBytes(uint64_t byteOffset, std::span<const uint8_t> data);
    void WriteTo(const std::string& path) const;

    std::vector<uint8_t> bytes;
};

// Writes `data` to a new file (replacing one), throwing on failure.
void WriteFile(const std::string& path, std::span<const uint8_t> data);

} // namespace trevik::imagebuilder
