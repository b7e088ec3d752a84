#pragma once

// Shared pieces of the fuzz targets: a disk made of the fuzzer's bytes.

#include "disk/block_device.h"
#include "disk/sector_reader.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace trevik::fuzz {

// The input, padded to whole sectors, as a disk.
inline MemoryBlockDevice DiskOf(const uint8_t* data, size_t size, size_t minimum = 0) {
    std::vector<uint8_t> bytes(data, data + size);
    bytes.resize(std::max<size_t>((bytes.size() + 511) / 512 * 512, minimum), 0);
    return MemoryBlockDevice(std::move(bytes), "fuzz");
}

// Counts the sectors read, to hold a reader to its bound.
class CountingDevice final : public BlockDevice {
public:
    explicit CountingDevice(MemoryBlockDevice& inner) : inner_(inner) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        sectors += (out.size() + 511) / 512;
        return inner_.ReadAt(offset, out);
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    const std::string& Path() const override { return inner_.Path(); }
    uint64_t sectors = 0;

private:
    MemoryBlockDevice& inner_;
};

} // namespace trevik::fuzz
