#include "disk/block_device.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace trevik {
namespace {

// The suffix after the last dot when it numbers a segment: digits (001) or lower-case
// letters (aa). `index` is 0 for the first segment.
struct Numbering {
    std::string base; // up to and including the dot
    size_t width = 0;
    bool letters = false;
};

std::optional<Numbering> FirstSegmentNumbering(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return std::nullopt;
    const std::string suffix = path.substr(dot + 1);
    if (suffix.size() < 2 || suffix.size() > 6)
        return std::nullopt;
    Numbering n{path.substr(0, dot + 1), suffix.size(), false};
    if (std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (std::stoul(suffix) != 1)
            return std::nullopt;
        return n;
    }
    if (std::all_of(suffix.begin(), suffix.end(), [](char c) { return c == 'a'; })) {
        n.letters = true;
        return n;
    }
    return std::nullopt;
}

// The name of segment `index` (0-based); empty past what the width can number.
std::string SegmentName(const Numbering& n, uint64_t index) {
    std::string suffix(n.width, '0');
    uint64_t v = n.letters ? index : index + 1;
    const uint64_t radix = n.letters ? 26 : 10;
    for (size_t i = n.width; i-- > 0;) {
        suffix[i] = static_cast<char>((n.letters ? 'a' : '0') + v % radix);
        v /= radix;
    }
    return v != 0 ? std::string() : n.base + suffix;
}

bool IsRegular(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// Numbered raw segments read as one disk.
class SplitBlockDevice final : public BlockDevice {
public:
    struct Segment {
        std::unique_ptr<BlockDevice> file;
        uint64_t start = 0;
    };
    SplitBlockDevice(std::vector<Segment> segments, std::string path)
        : segments_(std::move(segments)), path_(std::move(path)) {
        for (const Segment& s : segments_) {
            size_ = std::max(size_, s.start + s.file->SizeBytes());
            details_.files.push_back(s.file->Path());
        }
        details_.format = "split";
    }

    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        if (offset > size_ || out.size() > size_ - offset)
            return false;
        size_t done = 0;
        while (done < out.size()) {
            const uint64_t at = offset + done;
            // The last segment that starts at or before `at`.
            auto it = std::upper_bound(segments_.begin(), segments_.end(), at,
                                       [](uint64_t v, const Segment& s) { return v < s.start; });
            const Segment& s = *(it - 1);
            const uint64_t within = at - s.start;
            const size_t n = static_cast<size_t>(
                std::min<uint64_t>(out.size() - done, s.file->SizeBytes() - within));
            if (n == 0 || !s.file->ReadAt(within, out.subspan(done, n)))
                return false;
            done += n;
        }
        return true;
    }
    uint64_t SizeBytes() const override { return size_; }
    const std::string& Path() const override { return path_; }
    const ImageDetails& Details() const override { return details_; }

private:
    std::vector<Segment> segments_;
    std::string path_;
    uint64_t size_ = 0;
    ImageDetails details_;
};

} // namespace

Result<std::vector<std::string>> SplitSegments(const std::string& first) {
    const auto numbering = FirstSegmentNumbering(first);
    if (!numbering || !IsRegular(first))
        return std::vector<std::string>{};
    std::vector<std::string> names;
    for (uint64_t i = 0;; ++i) {
        const std::string name = SegmentName(*numbering, i);
        if (name.empty() || !IsRegular(name))
            break;
        names.push_back(name);
    }
    // A later segment beside the set means one in between is missing.
    std::error_code ec;
    const fs::path dir =
        fs::path(first).parent_path().empty() ? fs::path(".") : fs::path(first).parent_path();
    const std::string stem = fs::path(numbering->base).filename().string();
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != stem.size() + numbering->width ||
            name.compare(0, stem.size(), stem) != 0)
            continue;
        const std::string suffix = name.substr(stem.size());
        const bool digits =
            std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; });
        const bool letters =
            std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= 'a' && c <= 'z'; });
        if (numbering->letters ? !letters : !digits)
            continue;
        uint64_t index = 0;
        for (char c : suffix)
            index = index * (numbering->letters ? 26 : 10) +
                    static_cast<uint64_t>(c - (numbering->letters ? 'a' : '0'));
        if (!numbering->letters)
            --index;
        if (index > names.size()) {
            return Error{"Cannot open " + first + ": segment " +
                         SegmentName(*numbering, names.size()) +
                         " of the split image is missing (" + entry.path().string() + " is there)"};
        }
    }
    return names;
}

Result<std::unique_ptr<BlockDevice>> OpenSplitImage(const std::string& path) {
    auto names = SplitSegments(path);
    if (!names)
        return Error{names.error()};
    return OpenSplitImage(path, *names);
}

Result<std::unique_ptr<BlockDevice>> OpenSplitImage(const std::string& path,
                                                    const std::vector<std::string>& names) {
    if (names.empty())
        return Error{"Cannot open " + path + ": not the first segment of a split image"};
    std::vector<SplitBlockDevice::Segment> segments;
    uint64_t start = 0;
    for (const std::string& name : names) {
        auto opened = OpenRawDevice(name);
        if (!opened)
            return Error{opened.error()};
        const uint64_t size = (*opened)->SizeBytes();
        segments.push_back({opened.Take(), start});
        start += size;
    }
    return std::unique_ptr<BlockDevice>(
        std::make_unique<SplitBlockDevice>(std::move(segments), path));
}

} // namespace trevik
