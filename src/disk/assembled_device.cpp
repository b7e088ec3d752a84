#include "disk/assembled_device.h"

#include "format/big_endian.h"
#include "format/sector.h"
#include "format/svm_layout.h"
#include "format/ufs_format.h"

#include <algorithm>
#include <cstring>

namespace trevik {

const char* LayoutKindName(LayoutKind kind) {
    switch (kind) {
    case LayoutKind::Concat:
        return "concat";
    case LayoutKind::Stripe:
        return "stripe";
    case LayoutKind::Raid5:
        return "raid5";
    case LayoutKind::Mirror:
        return "mirror";
    }
    return "concat";
}

std::optional<uint64_t> ParseByteSize(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    uint64_t unit = 1;
    const char last = text.back();
    if (last == 'k' || last == 'K' || last == 'm' || last == 'M') {
        unit = last == 'k' || last == 'K' ? 1024 : 1024 * 1024;
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT64_MAX / unit)
        return std::nullopt;
    return v * unit;
}

namespace {

// fs_time of the UFS superblock 16 sectors into a mirror half's data, or -1.
int64_t SuperblockTime(BlockDevice& d, uint64_t startSector) {
    std::vector<uint8_t> sb(3 * kSectorSize);
    if (!d.ReadAt((startSector + ufs::kSuperblockSector) * kSectorSize, sb) ||
        !ufs::IsUfsMagic(ReadBe32(sb, ufs::sb_field::kMagic)))
        return -1;
    return ReadBe32(sb, ufs::sb_field::kTime);
}

} // namespace

Result<std::unique_ptr<AssembledDevice>>
AssembledDevice::Open(const LayoutSpec& spec, const AssembledDevice::Opener& open) {
    const Opener opener = open ? open : [](const std::string& p) { return OpenBlockDevice(p); };
    const size_t n = spec.components.size();
    const char* kind = LayoutKindName(spec.kind);
    if (n == 0)
        return Error{std::string("a ") + kind + " needs its components"};
    if (n < 2 && spec.kind != LayoutKind::Concat)
        return Error{std::string("a ") + kind + " needs at least two components"};
    if (spec.kind == LayoutKind::Mirror && n > 4)
        return Error{"a mirror has at most four submirrors"};
    if ((spec.kind == LayoutKind::Stripe || spec.kind == LayoutKind::Raid5) &&
        spec.interlaceSectors == 0)
        return Error{std::string("a ") + kind + " needs its interlace (--interlace SIZE)"};
    if (spec.kind == LayoutKind::Raid5 && n < 3)
        return Error{"a RAID-5 set needs at least three columns"};
    if ((!spec.componentStarts.empty() && spec.componentStarts.size() != n) ||
        (!spec.componentSectors.empty() && spec.componentSectors.size() != n) ||
        (!spec.nested.empty() && spec.nested.size() != n))
        return Error{"the start blocks and lengths must be given for every component"};

    std::unique_ptr<AssembledDevice> d(new AssembledDevice);
    d->spec_ = spec;
    d->details_.format = kind;
    size_t missing = 0;
    for (size_t i = 0; i < n; ++i) {
        const std::string& path = spec.components[i];
        Component c;
        c.path = path;
        c.start = spec.componentStarts.empty() ? spec.startSector : spec.componentStarts[i];
        if (path == kMissingComponent) {
            if (spec.kind != LayoutKind::Raid5 && spec.kind != LayoutKind::Mirror)
                return Error{std::string("a ") + kind +
                             " cannot do without a component: every one holds data no other "
                             "does"};
            if (++missing > 1)
                return Error{"only one component can be missing: the others cannot rebuild "
                             "two"};
            d->components_.push_back(std::move(c));
            continue;
        }
        if (spec.nested.size() == n && !spec.nested[i].components.empty()) {
            auto inner = AssembledDevice::Open(spec.nested[i], open);
            if (!inner)
                return Error{inner.error()};
            c.path = (*inner)->Path();
            c.device = inner.Take();
        } else {
            auto opened = opener(path);
            if (!opened)
                return Error{opened.error()};
            c.device = opened.Take();
        }
        const uint64_t sectors = c.device->SizeBytes() / kSectorSize;
        if (sectors <= c.start)
            return Error{path + ": the component holds " + std::to_string(sectors) +
                         " sectors, none past its start block " + std::to_string(c.start)};
        c.usableSectors = sectors - c.start;
        const uint64_t wanted = spec.componentSectors.empty() ? 0 : spec.componentSectors[i];
        if (wanted != 0 && wanted > c.usableSectors)
            return Error{path + ": the component holds " + std::to_string(c.usableSectors) +
                         " sectors past its start block, the metadevice uses " +
                         std::to_string(wanted)};
        if (wanted != 0)
            c.usableSectors = wanted;
        for (const std::string& f : c.device->Details().files)
            d->details_.files.push_back(f);
        if (c.device->Details().files.empty())
            d->details_.files.push_back(path);
        d->components_.push_back(std::move(c));
    }
    if (missing == n)
        return Error{"every component is missing"};

    uint64_t smallest = UINT64_MAX;
    for (const Component& c : d->components_)
        if (c.device)
            smallest = std::min(smallest, c.usableSectors);
    switch (spec.kind) {
    case LayoutKind::Concat:
        for (const Component& c : d->components_) {
            d->sizeSectors_ += c.usableSectors;
            d->concatEnds_.push_back(d->sizeSectors_);
        }
        break;
    case LayoutKind::Stripe:
        d->sizeSectors_ =
            svm::StripeBlocks(smallest, static_cast<uint32_t>(n), spec.interlaceSectors);
        break;
    case LayoutKind::Raid5:
        d->sizeSectors_ =
            svm::Raid5Blocks(smallest, static_cast<uint32_t>(n), spec.interlaceSectors);
        break;
    case LayoutKind::Mirror: {
        d->sizeSectors_ = smallest;
        // The fresher half is read: the one whose file system was written last. The other
        // stands in where the first cannot be read only when both were written together.
        int64_t best = -2;
        for (size_t i = 0; i < n; ++i) {
            const Component& c = d->components_[i];
            d->times_.push_back(c.device ? SuperblockTime(*c.device, c.start) : -1);
            if (c.device && d->times_[i] > best) {
                best = d->times_[i];
                d->mirrorHalf_ = i;
            }
        }
        d->mirrorInSync_ = n > 1 && std::count(d->times_.begin(), d->times_.end(), best) > 1;
        break;
    }
    }
    if (d->sizeSectors_ == 0)
        return Error{std::string("the ") + kind + " holds no whole interlace"};
    d->path_ = std::string(kind) + ":";
    for (size_t i = 0; i < n; ++i)
        d->path_ += (i == 0 ? "" : ",") + d->components_[i].path;
    return d;
}

bool AssembledDevice::ReadComponent(size_t c, uint64_t sector, std::span<uint8_t> out) {
    const Component& comp = components_[c];
    if (!comp.device || sector + out.size() / kSectorSize > comp.usableSectors)
        return false;
    return comp.device->ReadAt((comp.start + sector) * kSectorSize, out);
}

bool AssembledDevice::ReadRaid5(uint64_t sector, uint64_t count, uint8_t* out) {
    const auto columns = static_cast<uint32_t>(components_.size());
    const svm::Raid5Place p = svm::Raid5Block(sector, columns, spec_.interlaceSectors);
    const std::span<uint8_t> data(out, count * kSectorSize);
    if (ReadComponent(p.dataColumn, p.block, data))
        return true;
    // The data column is missing or cannot be read here: the XOR of every other column of
    // the line, parity included, is what it held.
    std::fill(data.begin(), data.end(), 0);
    std::vector<uint8_t> other(data.size());
    for (uint32_t c = 0; c < columns; ++c) {
        if (c == p.dataColumn)
            continue;
        if (!ReadComponent(c, p.block, other))
            return false;
        for (size_t i = 0; i < other.size(); ++i)
            data[i] ^= other[i];
    }
    std::lock_guard lock(rebuiltMutex_);
    rebuiltSegments_.insert(p.line * columns + p.dataColumn);
    return true;
}

bool AssembledDevice::ReadMirror(uint64_t sector, uint64_t count, uint8_t* out) {
    const std::span<uint8_t> data(out, count * kSectorSize);
    if (ReadComponent(mirrorHalf_, sector, data))
        return true;
    if (!mirrorInSync_)
        return false;
    for (size_t i = 0; i < components_.size(); ++i) {
        if (i != mirrorHalf_ && times_[i] == times_[mirrorHalf_] && ReadComponent(i, sector, data))
            return true;
    }
    return false;
}

bool AssembledDevice::ReadSectors(uint64_t sector, uint64_t count, uint8_t* out) {
    while (count > 0) {
        uint64_t run = count;
        bool ok = false;
        switch (spec_.kind) {
        case LayoutKind::Concat: {
            const size_t c = static_cast<size_t>(
                std::upper_bound(concatEnds_.begin(), concatEnds_.end(), sector) -
                concatEnds_.begin());
            const uint64_t begin = c == 0 ? 0 : concatEnds_[c - 1];
            run = std::min(count, concatEnds_[c] - sector);
            ok = ReadComponent(c, sector - begin, {out, run * kSectorSize});
            break;
        }
        case LayoutKind::Stripe: {
            const svm::StripePlace p = svm::StripeBlock(
                sector, static_cast<uint32_t>(components_.size()), spec_.interlaceSectors);
            run = std::min(count, p.run);
            ok = ReadComponent(p.component, p.block, {out, run * kSectorSize});
            break;
        }
        case LayoutKind::Raid5: {
            run = std::min(count, svm::Raid5Block(sector, static_cast<uint32_t>(components_.size()),
                                                  spec_.interlaceSectors)
                                      .run);
            ok = ReadRaid5(sector, run, out);
            break;
        }
        case LayoutKind::Mirror:
            ok = ReadMirror(sector, count, out);
            break;
        }
        if (!ok)
            return false;
        sector += run;
        count -= run;
        out += run * kSectorSize;
    }
    return true;
}

bool AssembledDevice::ReadAt(uint64_t offset, std::span<uint8_t> out) {
    if (offset > SizeBytes() || out.size() > SizeBytes() - offset)
        return false;
    if (offset % kSectorSize == 0 && out.size() % kSectorSize == 0)
        return ReadSectors(offset / kSectorSize, out.size() / kSectorSize, out.data());
    // Not on sector bounds: through whole sectors.
    const uint64_t first = offset / kSectorSize;
    const uint64_t end = (offset + out.size() + kSectorSize - 1) / kSectorSize;
    std::vector<uint8_t> buf((end - first) * kSectorSize);
    if (!ReadSectors(first, end - first, buf.data()))
        return false;
    std::memcpy(out.data(), buf.data() + (offset - first * kSectorSize), out.size());
    return true;
}

AssembledDevice::Place AssembledDevice::Locate(uint64_t sector) const {
    size_t c = 0;
    uint64_t at = sector;
    switch (spec_.kind) {
    case LayoutKind::Concat: {
        c = static_cast<size_t>(std::upper_bound(concatEnds_.begin(), concatEnds_.end(), sector) -
                                concatEnds_.begin());
        c = std::min(c, components_.size() - 1);
        at = sector - (c == 0 ? 0 : concatEnds_[c - 1]);
        break;
    }
    case LayoutKind::Stripe: {
        const auto p = svm::StripeBlock(sector, static_cast<uint32_t>(components_.size()),
                                        spec_.interlaceSectors);
        c = p.component;
        at = p.block;
        break;
    }
    case LayoutKind::Raid5: {
        const auto p = svm::Raid5Block(sector, static_cast<uint32_t>(components_.size()),
                                       spec_.interlaceSectors);
        c = p.dataColumn;
        at = p.block;
        break;
    }
    case LayoutKind::Mirror:
        c = mirrorHalf_;
        break;
    }
    return {c, components_[c].path, components_[c].start + at};
}

uint64_t AssembledDevice::RebuiltSegments() const {
    std::lock_guard lock(rebuiltMutex_);
    return rebuiltSegments_.size();
}

} // namespace trevik
