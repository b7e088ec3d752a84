#include "disk/block_device.h"
#include "format/hex.h"
#include "format/unique_fd.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <libewf.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace trevik {
namespace {

constexpr uint8_t kEwfSignature[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
constexpr size_t kFileHeaderSize = 13;
constexpr size_t kSectionSize = 76;

std::string Hex(const uint8_t* bytes, size_t n) {
    return HexBytes(std::span<const uint8_t>(bytes, n));
}

uint64_t Le(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;)
        v = v << 8 | p[i];
    return v;
}

bool ReadExactly(int fd, uint8_t* out, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// What a segment file's own header and section chain say: its number, and whether it
// ends the set ("done") or is followed by another ("next").
struct SegmentCheck {
    std::string problem; // empty when sound
    uint32_t number = 0;
    bool last = false;
};

SegmentCheck CheckSegment(const std::string& path) {
    SegmentCheck c;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
        c.problem = std::strerror(errno);
        return c;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    uint8_t header[kFileHeaderSize];
    if (!ReadExactly(fd.Get(), header, sizeof header, 0) ||
        std::memcmp(header, kEwfSignature, sizeof kEwfSignature) != 0 || header[8] != 1) {
        c.problem = "not an EWF segment (its signature is wrong)";
        return c;
    }
    c.number = static_cast<uint32_t>(Le(header + 9, 2));
    uint64_t offset = kFileHeaderSize;
    // The sections form a chain; a chain that loops or leaves the file is a corrupt header.
    for (int n = 0; n < 1000000; ++n) {
        uint8_t section[kSectionSize];
        if (offset + kSectionSize > size || !ReadExactly(fd.Get(), section, sizeof section, offset))
            break;
        char type[17] = {};
        std::memcpy(type, section, 16);
        const uint64_t next = Le(section + 16, 8);
        if (std::strcmp(type, "done") == 0 || std::strcmp(type, "next") == 0) {
            c.last = std::strcmp(type, "done") == 0;
            return c;
        }
        if (next <= offset || next > size)
            break;
        offset = next;
    }
    c.problem = "corrupt EWF header: its section chain is broken at byte " + std::to_string(offset);
    return c;
}

std::string LibewfError(libewf_error_t*& error) {
    char text[1024] = {};
    if (error != nullptr) {
        libewf_error_sprint(error, text, sizeof text);
        libewf_error_free(&error);
    }
    return text;
}

// Sector ranges (first, count) sorted and merged, so that a read finds its range by a
// binary search.
std::vector<std::pair<uint64_t, uint64_t>>
SortedAndMerged(std::vector<std::pair<uint64_t, uint64_t>> ranges) {
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& [first, count] : ranges) {
        const uint64_t end = first + count;
        if (!out.empty() && first <= out.back().first + out.back().second) {
            auto& last = out.back();
            last.second = std::max(last.first + last.second, end) - last.first;
        } else {
            out.emplace_back(first, count);
        }
    }
    return out;
}

class EwfBlockDevice final : public BlockDevice {
public:
    EwfBlockDevice(libewf_handle_t* handle, uint64_t size, std::string path, ImageDetails details)
        : handle_(handle), size_(size), path_(std::move(path)), details_(std::move(details)) {}
    ~EwfBlockDevice() override {
        libewf_handle_close(handle_, nullptr);
        libewf_handle_free(&handle_, nullptr);
    }

    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        if (offset > size_ || out.size() > size_ - offset)
            return false;
        const uint64_t first = offset / 512, end = (offset + out.size() + 511) / 512;
        {
            std::lock_guard lock(mutex_); // the handle keeps one position
            size_t done = 0;
            while (done < out.size()) {
                const ssize_t n =
                    libewf_handle_read_random(handle_, out.data() + done, out.size() - done,
                                              static_cast<off64_t>(offset + done), nullptr);
                if (n <= 0)
                    return false;
                done += static_cast<size_t>(n);
            }
            // A chunk whose checksum or compressed data does not verify comes back as zeros,
            // and libewf notes its sectors: they are unreadable, not data.
            NoteChecksumErrors();
            if (Touches(checksumErrors_, first, end))
                return false;
        }
        // What the acquisition could not read is stored as zeros: no data.
        return !Touches(details_.unreadable, first, end);
    }
    uint64_t SizeBytes() const override { return size_; }
    const std::string& Path() const override { return path_; }
    const ImageDetails& Details() const override { return details_; }

private:
    using Ranges = std::vector<std::pair<uint64_t, uint64_t>>; // first sector, count

    // Whether [first, end) meets a range of `bad`, which is sorted and disjoint: the last
    // one starting before `end` is the only candidate.
    static bool Touches(const Ranges& bad, uint64_t first, uint64_t end) {
        auto it = std::lower_bound(bad.begin(), bad.end(), end,
                                   [](const auto& r, uint64_t v) { return r.first < v; });
        return it != bad.begin() && std::prev(it)->first + std::prev(it)->second > first;
    }

    // Brings the list of sectors in chunks that failed to verify up to date (they are noted
    // as chunks are read). Under the lock.
    void NoteChecksumErrors() {
        uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(handle_, &count, nullptr) != 1 ||
            count == knownChecksumErrors_)
            return;
        knownChecksumErrors_ = count;
        Ranges found;
        for (uint32_t i = 0; i < count; ++i) {
            uint64_t start = 0, n = 0;
            if (libewf_handle_get_checksum_error(handle_, i, &start, &n, nullptr) == 1 && n != 0 &&
                start + n > start)
                found.emplace_back(start, n);
        }
        checksumErrors_ = SortedAndMerged(std::move(found));
    }

    libewf_handle_t* handle_;
    uint64_t size_;
    uint32_t knownChecksumErrors_ = 0;
    Ranges checksumErrors_;
    std::string path_;
    ImageDetails details_;
    std::mutex mutex_;
};

} // namespace

bool IsEwfSignature(std::span<const uint8_t> head) {
    return head.size() >= sizeof kEwfSignature &&
           std::memcmp(head.data(), kEwfSignature, sizeof kEwfSignature) == 0;
}

std::string EwfSegmentName(const std::string& first, uint32_t number) {
    const size_t dot = first.rfind('.');
    const std::string base = dot == std::string::npos ? first + "." : first.substr(0, dot + 1);
    const bool lower = dot != std::string::npos && dot + 1 < first.size() &&
                       first[dot + 1] >= 'a' && first[dot + 1] <= 'z';
    std::string ext(3, 'E');
    if (number <= 99) {
        ext[1] = static_cast<char>('0' + number / 10);
        ext[2] = static_cast<char>('0' + number % 10);
    } else {
        uint32_t k = number - 100;
        ext[2] = static_cast<char>('A' + k % 26);
        k /= 26;
        ext[1] = static_cast<char>('A' + k % 26);
        k /= 26;
        ext[0] = static_cast<char>('E' + k);
    }
    if (lower) {
        for (char& c : ext)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return base + ext;
}

Result<std::unique_ptr<BlockDevice>> OpenEwfImage(const std::string& path) {
    const auto fail = [&path](const std::string& why) {
        return Error{"Cannot open " + path + ": " + why};
    };
    // The set, found from the first segment's name; each segment's own header says which
    // it is and whether another follows, so a missing one is named, not guessed at.
    std::vector<std::string> names;
    for (uint32_t number = 1;; ++number) {
        const std::string name = number == 1 ? path : EwfSegmentName(path, number);
        struct stat st {};
        if (::stat(name.c_str(), &st) != 0)
            return fail("EWF segment " + name + " is missing");
        const SegmentCheck c = CheckSegment(name);
        if (!c.problem.empty())
            return fail(name + ": " + c.problem);
        if (c.number != number) {
            return fail(name + " is segment " + std::to_string(c.number) + " of its set" +
                        (number == 1 ? "; name the first segment" : ""));
        }
        names.push_back(name);
        if (c.last)
            break;
        if (number == 14971) // past .ZZZ
            return fail("too many EWF segments");
    }
    libewf_error_t* error = nullptr;
    libewf_handle_t* handle = nullptr;
    if (libewf_handle_initialize(&handle, &error) != 1)
        return fail(LibewfError(error));
    std::vector<char*> list;
    for (std::string& n : names)
        list.push_back(n.data());
    if (libewf_handle_open(handle, list.data(), static_cast<int>(list.size()), LIBEWF_OPEN_READ,
                           &error) != 1) {
        libewf_handle_free(&handle, nullptr);
        return fail("corrupt EWF image: " + LibewfError(error));
    }
    size64_t size = 0;
    if (libewf_handle_get_media_size(handle, &size, &error) != 1 || size == 0) {
        libewf_handle_close(handle, nullptr);
        libewf_handle_free(&handle, nullptr);
        return fail("corrupt EWF image: no media size");
    }
    ImageDetails d;
    d.format = "ewf";
    d.files = names;
    uint8_t md5[16], sha1[20];
    if (libewf_handle_get_md5_hash(handle, md5, sizeof md5, nullptr) == 1)
        d.storedMd5 = Hex(md5, sizeof md5);
    if (libewf_handle_get_sha1_hash(handle, sha1, sizeof sha1, nullptr) == 1)
        d.storedSha1 = Hex(sha1, sizeof sha1);
    uint32_t errors = 0;
    if (libewf_handle_get_number_of_acquiry_errors(handle, &errors, nullptr) == 1) {
        std::vector<std::pair<uint64_t, uint64_t>> ranges; // first, count
        for (uint32_t i = 0; i < errors; ++i) {
            uint64_t start = 0, count = 0;
            if (libewf_handle_get_acquiry_error(handle, i, &start, &count, nullptr) == 1 &&
                count != 0 && start + count > start)
                ranges.emplace_back(start, count);
        }
        d.unreadable = SortedAndMerged(std::move(ranges));
    }
    return std::unique_ptr<BlockDevice>(
        std::make_unique<EwfBlockDevice>(handle, size, path, std::move(d)));
}

} // namespace trevik
