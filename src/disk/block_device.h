#pragma once

#include "format/result.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace trevik {

// What an image file says about itself beyond its bytes.
struct ImageDetails {
    // "device" (a block device), "raw" (one image file), "split" (numbered raw segments) or
    // "ewf" (an Expert Witness segment set).
    std::string format = "raw";
    std::string storedMd5;  // hex, as the acquisition recorded it; empty when none
    std::string storedSha1; // likewise
    // Sectors the acquisition could not read (first sector, count): the image holds zeros
    // there, which are no data. Sorted and disjoint.
    std::vector<std::pair<uint64_t, uint64_t>> unreadable;
    std::vector<std::string> files; // the files that make up the image, in order
};

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

    virtual const ImageDetails& Details() const;
};

// Opens a block device or a disk image file for reading only. Directories and other
// special files are refused; the error names the path and the system's reason.
// Block devices are read with O_DIRECT, so that every attempt the engine makes is one the
// drive sees (the page cache would re-read a failing page behind our back); image files
// are read with read-ahead off, so that a bad page is not fetched again by the kernel.
//
// Image files are recognised by their content and names: an Expert Witness (EWF-E01) set by
// its signature, whatever its name, its sibling segments (.E02 ...) found beside it; a split
// raw image when the name ends in .001 (or .aa) and the next segment is there. A set with a
// missing segment, or a corrupt EWF header, is refused with a message naming the file.
Result<std::unique_ptr<BlockDevice>> OpenBlockDevice(const std::string& path);

// The world-wide identifier Linux knows a block device (or the disk a partition belongs
// to) by, as sysfs gives it ("naa.5000c500..."); empty for an image file or a device that
// reports none.
std::string DeviceWwid(const std::string& path);

// Lends an open device to an owner that wants its own (a metadevice tried with several
// layouts): reads go to `inner`, which must outlive it.
class BorrowedDevice final : public BlockDevice {
public:
    explicit BorrowedDevice(BlockDevice& inner) : inner_(inner) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        return inner_.ReadAt(offset, out);
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    const std::string& Path() const override { return inner_.Path(); }
    const ImageDetails& Details() const override { return inner_.Details(); }

private:
    BlockDevice& inner_; // not owned
};

// The pieces of the above: one file or device as it is, an EWF segment set named by its
// first segment, numbered raw segments named by the first.
Result<std::unique_ptr<BlockDevice>> OpenRawDevice(const std::string& path);
Result<std::unique_ptr<BlockDevice>> OpenEwfImage(const std::string& path);
Result<std::unique_ptr<BlockDevice>> OpenSplitImage(const std::string& path);
// The same, with the segments SplitSegments(path) found.
Result<std::unique_ptr<BlockDevice>> OpenSplitImage(const std::string& path,
                                                    const std::vector<std::string>& segments);

// True when the bytes begin with the EWF-E01 segment signature.
bool IsEwfSignature(std::span<const uint8_t> head);
// The name of segment `number` (1-based) of the EWF set whose first segment is `first`:
// .E01 ... .E99, then .EAA ... .EZZ, .FAA ... (the case of `first` kept).
std::string EwfSegmentName(const std::string& first, uint32_t number);
// The segments of a split raw image whose first segment is `first` (disk.001, disk.002 ...
// or disk.aa, disk.ab ...), in order; an error names a segment missing between two present
// ones. Empty when `first` is not named as a first segment.
Result<std::vector<std::string>> SplitSegments(const std::string& first);

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
