#include "disk/block_device.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trevik {
namespace {

class FileBlockDevice final : public BlockDevice {
public:
    FileBlockDevice(int fd, uint64_t size, std::string path)
        : fd_(fd), size_(size), path_(std::move(path)) {}
    ~FileBlockDevice() override { ::close(fd_); }
    FileBlockDevice(const FileBlockDevice&) = delete;
    FileBlockDevice& operator=(const FileBlockDevice&) = delete;

    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        size_t done = 0;
        while (done < out.size()) {
            if (offset + done > static_cast<uint64_t>(INT64_MAX)) {
                return false;
            }
            const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                      static_cast<off_t>(offset + done));
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
    uint64_t SizeBytes() const override { return size_; }
    const std::string& Path() const override { return path_; }

private:
    int fd_;
    uint64_t size_;
    std::string path_;
};

std::string Failure(const std::string& path, const char* reason) {
    return "Cannot open " + path + ": " + reason;
}

} // namespace

OpenDeviceResult OpenBlockDevice(const std::string& path) {
    OpenDeviceResult result;
    // O_RDONLY only: the disk we recover from is never opened for writing. O_NONBLOCK so
    // that a FIFO or a drive without a medium cannot hang the open; it is cleared below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        result.error = Failure(path, std::strerror(errno));
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.error = Failure(path, std::strerror(errno));
        ::close(fd);
        return result;
    }
    uint64_t size = 0;
    if (S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
        if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
            result.error = Failure(path, std::strerror(errno));
            ::close(fd);
            return result;
        }
    } else if (S_ISDIR(st.st_mode)) {
        result.error = Failure(path, std::strerror(EISDIR));
        ::close(fd);
        return result;
    } else {
        result.error = Failure(path, "not a disk image or block device");
        ::close(fd);
        return result;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    result.device = std::make_unique<FileBlockDevice>(fd, size, path);
    return result;
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

} // namespace trevik
