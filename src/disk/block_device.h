#pragma once

#include "format/result.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace trevik {

// A disk or disk image, read-only. Everything the program reads from the disk it
// recovers from goes through this interface; there is no way to write through it.
class BlockDevice {
public:
    virtual ~BlockDevice() = default;

    // Reads out.size() bytes at byte offset `offset`. True only when every byte was
    // delivered; on false the buffer may hold part of the data.
    virtual bool ReadAt(uint64_t offset, std::span<uint8_t> out) = 0;

    // Size in bytes, as the device or file reports it.
    virtual uint64_t SizeBytes() const = 0;

    virtual const std::string& Path() const = 0;
};

// Opens a block device or a disk image file for reading only. Directories and other
// special files are refused; the error names the path and the system's reason.
// Block devices are read with O_DIRECT, so that every attempt the engine makes is one the
// drive sees (the page cache would re-read a failing page behind our back); image files
// are read with read-ahead off, so that a bad page is not fetched again by the kernel.
Result<std::unique_ptr<BlockDevice>> OpenBlockDevice(const std::string& path);

// A device held in memory, for tests, fuzzing and tools.
class MemoryBlockDevice final : public BlockDevice {
public:
    explicit MemoryBlockDevice(std::vector<uint8_t> bytes, std::string path = "memory")
        : bytes_(std::move(bytes)), path_(std::move(path)) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override;
    uint64_t SizeBytes() const override { return bytes_.size(); }
    const std::string& Path() const override { return path_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    std::string path_;
};

} // namespace trevik
