#include "disk_image.h"

#include "format/big_endian.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace trevik::imagebuilder {

std::array<uint8_t, 512> MakeSparcLabel(const LabelSpec& spec) {
    std::array<uint8_t, 512> l{};
    std::string text = spec.text + " cyl " + std::to_string(spec.cylinders) + " alt 2 hd " +
                       std::to_string(spec.heads) + " sec " + std::to_string(spec.sectorsPerTrack);
    std::memcpy(l.data(), text.data(), std::min<size_t>(text.size(), 127));
    WriteBe32(l, 128, 1); // v_version
    WriteBe16(l, 140, 8); // v_nparts
    for (const auto& s : spec.slices) {
        if (s.index < 0 || s.index > 7)
            throw std::runtime_error("slice index out of range");
        const size_t i = static_cast<size_t>(s.index);
        WriteBe16(l, 142 + 4 * i, s.tag);
        WriteBe16(l, 144 + 4 * i, s.flag);
        WriteBe32(l, 444 + 8 * i, s.startCylinder);
        WriteBe32(l, 448 + 8 * i, s.lengthSectors);
    }
    WriteBe32(l, 188, 0x600DDEEE);                                // v_sanity
    WriteBe16(l, 420, 3600);                                      // rpm
    WriteBe16(l, 422, static_cast<uint16_t>(spec.cylinders + 2)); // pcyl
    WriteBe16(l, 430, 1);                                         // interleave
    WriteBe16(l, 432, static_cast<uint16_t>(spec.cylinders));     // ncyl
    WriteBe16(l, 434, 2);                                         // acyl
    WriteBe16(l, 436, spec.heads);
    WriteBe16(l, 438, spec.sectorsPerTrack);
    WriteBe16(l, 508, 0xDABE);
    uint16_t sum = 0;
    for (size_t i = 0; i < 510; i += 2)
        sum ^= ReadBe16(l, i);
    WriteBe16(l, 510, sum);
    return l;
}

void DiskImage::PutLabel(const LabelSpec& spec) {
    const auto l = MakeSparcLabel(spec);
    PutBytes(0, l);
}

void DiskImage::ZeroLabel() {
    std::fill(bytes.begin(), bytes.begin() + 512, 0);
}

void DiskImage::PutVolume(uint64_t startSector, const UfsVolume& volume) {
    PutBytes(startSector * 512, volume.bytes);
}

void DiskImage::PutBytes(uint64_t byteOffset, std::span<const uint8_t> data) {
    if (byteOffset + data.size() > bytes.size()) {
        throw std::runtime_error("data does not fit in the disk image");
    }
    std::memcpy(bytes.data() + byteOffset, data.data(), data.size());
}

void DiskImage::WriteTo(const std::string& path) const {
    WriteFile(path, bytes);
}

void WriteFile(const std::string& path, std::span<const uint8_t> data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace trevik::imagebuilder
