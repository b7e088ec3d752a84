#pragma once

// A Solaris Volume Manager metadevice put together from the images or disks of its
// components: a concatenation, a stripe, a RAID-5 set (one column may be missing or
// unreadable: it is rebuilt from parity) or a two-way mirror. Read-only like every
// device; the volume on it is read through the same sector reader as a disk.

#include "disk/block_device.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace trevik {

enum class LayoutKind { Concat, Stripe, Raid5, Mirror };

// A layout as the user gives it (or as the state database records it).
struct LayoutSpec {
    LayoutKind kind = LayoutKind::Concat;
    // In order; "missing" stands for a lost component (one RAID-5 column, or one half of
    // a mirror).
    std::vector<std::string> components;
    uint64_t interlaceSectors = 0; // stripes and RAID-5
    uint64_t startSector = 0;      // where each component's data begins
    // As a state database records them: each component's own first sector on its device
    // and the sectors of it the metadevice uses (0: up to the device's end). When given,
    // one per component, in place of startSector.
    std::vector<uint64_t> componentStarts;
    std::vector<uint64_t> componentSectors;
    // A component that is itself a metadevice (a mirror's half that is a stripe, a
    // concatenation's row that is one): when given, one per component; a layout with
    // components stands in for that component's path.
    std::vector<LayoutSpec> nested;
};

inline constexpr const char* kMissingComponent = "missing";

// "concat", "stripe", "raid5", "mirror".
const char* LayoutKindName(LayoutKind kind);

// A size as an interlace is given: bytes, with an optional k or m suffix (any case).
std::optional<uint64_t> ParseByteSize(std::string_view text);

class AssembledDevice final : public BlockDevice {
public:
    using Opener = std::function<Result<std::unique_ptr<BlockDevice>>(const std::string&)>;

    // Opens every component (with `open`, OpenBlockDevice by default) and checks the layout:
    // two or more components (a concatenation may have one, a mirror at most four), an
    // interlace for stripes and RAID-5, at most one missing RAID-5 column or mirror half,
    // components larger than the start block. The error names the component or the rule.
    static Result<std::unique_ptr<AssembledDevice>> Open(const LayoutSpec& spec,
                                                         const Opener& open = {});

    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override;
    uint64_t SizeBytes() const override { return sizeSectors_ * 512; }
    const std::string& Path() const override { return path_; }
    const ImageDetails& Details() const override { return details_; }

    const LayoutSpec& Spec() const { return spec_; }

    // Where sector s of the metadevice lies: the component (its index and path) and its
    // sector there. For RAID-5, the data column's.
    struct Place {
        size_t component = 0;
        std::string path;
        uint64_t sector = 0;
    };
    Place Locate(uint64_t sector) const;

    // RAID-5: the segments (of one interlace each) that were rebuilt from parity so far,
    // each counted once.
    uint64_t RebuiltSegments() const;

    // A mirror: the half read from (its index) and whether the other half was written at
    // the same time (then it stands in for the first where that cannot be read).
    size_t MirrorHalf() const { return mirrorHalf_; }
    bool MirrorInSync() const { return mirrorInSync_; }
    int64_t MirrorTime(size_t half) const { return half < times_.size() ? times_[half] : -1; }

private:
    AssembledDevice() = default;

    struct Component {
        std::unique_ptr<BlockDevice> device; // null: missing. Owned.
        std::string path;
        uint64_t start = 0;         // the sector its data begins at
        uint64_t usableSectors = 0; // past the start block
    };

    bool ReadComponent(size_t c, uint64_t sector, std::span<uint8_t> out);
    bool ReadRaid5(uint64_t sector, uint64_t count, uint8_t* out);
    bool ReadMirror(uint64_t sector, uint64_t count, uint8_t* out);
    bool ReadSectors(uint64_t sector, uint64_t count, uint8_t* out);

    LayoutSpec spec_;
    std::vector<Component> components_;
    std::vector<uint64_t> concatEnds_; // a concatenation: sector after each component's part
    uint64_t sizeSectors_ = 0;
    std::string path_;
    ImageDetails details_;
    size_t mirrorHalf_ = 0;
    bool mirrorInSync_ = false;
    std::vector<int64_t> times_;

    mutable std::mutex rebuiltMutex_;
    std::set<uint64_t> rebuiltSegments_; // (line * columns + column) of each rebuilt segment
};

} // namespace trevik
