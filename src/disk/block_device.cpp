#include "disk/block_device.h"

#include "format/unique_fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace trevik {
namespace {

bool PreadAll(int fd, uint8_t* out, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        if (offset + done > static_cast<uint64_t>(INT64_MAX)) {
            return false;
        }
        const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false; // past the end
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

class FileBlockDevice final : public BlockDevice {
public:
    // `alignment` > 0: the descriptor was opened with O_DIRECT, and every request must be
    // aligned to it in offset, length and memory.
    FileBlockDevice(UniqueFd fd, uint64_t size, std::string path, uint32_t alignment, bool device)
        : fd_(std::move(fd)), size_(size), path_(std::move(path)), alignment_(alignment) {
        details_.format = device ? "device" : "raw";
        details_.files = {path_};
    }
    const ImageDetails& Details() const override { return details_; }

    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        if (alignment_ == 0) {
            return PreadAll(fd_.Get(), out.data(), out.size(), offset);
        }
        const uint64_t a = alignment_;
        const uint64_t first = offset / a * a;
        const uint64_t end = (offset + out.size() + a - 1) / a * a;
        const auto length = static_cast<size_t>(end - first);
        struct FreeDeleter {
            void operator()(uint8_t* p) const { std::free(p); }
        };
        // aligned_alloc wants a size that is a multiple of the alignment.
        const size_t align = std::max<size_t>(a, 4096);
        std::unique_ptr<uint8_t, FreeDeleter> bounce(
            static_cast<uint8_t*>(std::aligned_alloc(align, (length + align - 1) / align * align)));
        if (!bounce || !PreadAll(fd_.Get(), bounce.get(), length, first)) {
            return false;
        }
        std::memcpy(out.data(), bounce.get() + (offset - first), out.size());
        return true;
    }
    uint64_t SizeBytes() const override { return size_; }
    const std::string& Path() const override { return path_; }

private:
    UniqueFd fd_;
    uint64_t size_;
    std::string path_;
    uint32_t alignment_;
    ImageDetails details_;
};

Error Failure(const std::string& path, const char* reason) {
    return Error{"Cannot open " + path + ": " + reason};
}

} // namespace

const ImageDetails& BlockDevice::Details() const {
    static const ImageDetails kRaw;
    return kRaw;
}

Result<std::unique_ptr<BlockDevice>> OpenBlockDevice(const std::string& path) {
    auto raw = OpenRawDevice(path);
    if (!raw || (*raw)->Details().format != "raw") {
        return raw;
    }
    std::array<uint8_t, 8> head{};
    if ((*raw)->ReadAt(0, head) && IsEwfSignature(head)) {
        return OpenEwfImage(path);
    }
    auto segments = SplitSegments(path);
    if (!segments) {
        return Error{segments.error()};
    }
    if (segments->size() > 1) {
        return OpenSplitImage(path, *segments);
    }
    return raw;
}

Result<std::unique_ptr<BlockDevice>> OpenRawDevice(const std::string& path) {
    // O_RDONLY only: the disk we recover from is never opened for writing. O_NONBLOCK so
    // that a FIFO or a drive without a medium cannot hang the open; it is cleared below.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.Valid()) {
        return Failure(path, std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        return Failure(path, std::strerror(errno));
    }
    uint64_t size = 0;
    uint32_t alignment = 0;
    if (S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
        ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_RANDOM);
    } else if (S_ISBLK(st.st_mode)) {
        if (::ioctl(fd.Get(), BLKGETSIZE64, &size) != 0) {
            return Failure(path, std::strerror(errno));
        }
        int logical = 0;
        UniqueFd direct(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_DIRECT));
        if (direct.Valid() && ::ioctl(direct.Get(), BLKSSZGET, &logical) == 0 && logical > 0) {
            fd = std::move(direct);
            alignment = static_cast<uint32_t>(logical);
        } else {
            ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_RANDOM);
        }
    } else if (S_ISDIR(st.st_mode)) {
        return Failure(path, std::strerror(EISDIR));
    } else {
        return Failure(path, "not a disk image or block device");
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
        ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    return std::unique_ptr<BlockDevice>(std::make_unique<FileBlockDevice>(
        std::move(fd), size, path, alignment, S_ISBLK(st.st_mode)));
}

bool MemoryBlockDevice::ReadAt(uint64_t offset, std::span<uint8_t> out) {
    if (offset >= bytes_.size()) {
        return out.empty();
    }
    const uint64_t avail = bytes_.size() - offset;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(avail, out.size()));
    std::memcpy(out.data(), bytes_.data() + offset, n);
    return n == out.size();
}

std::string DeviceWwid(const std::string& path) {
    namespace fs = std::filesystem;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return {};
    std::error_code ec;
    fs::path base = fs::canonical("/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                                      std::to_string(minor(st.st_rdev)),
                                  ec);
    if (ec)
        return {};
    if (fs::exists(base / "partition", ec))
        base = base.parent_path();
    for (const fs::path& p : {base / "device" / "wwid", base / "wwid"}) {
        std::ifstream in(p);
        std::string line;
        if (in && std::getline(in, line) && !line.empty())
            return line;
    }
    return {};
}

} // namespace trevik
