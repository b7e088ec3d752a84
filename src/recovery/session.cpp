#include "recovery/session.h"

#include "disk/ddrescue_map.h"

#include <algorithm>

namespace trevik {

Status Session::Adopt(Result<std::unique_ptr<BlockDevice>> opened) {
    if (!opened) {
        return Error{opened.error()};
    }
    device_ = opened.Take();
    assembled_ = nullptr;
    reader_.Reset(device_.get(), device_->SizeBytes() / kSectorSize);
    reader_.SetBadSectorRetries(settings.badSectorRetries);
    ApplyRescueMap();
    // What the image's acquisition could not read is known unreadable without a read.
    for (const auto& [first, count] : device_->Details().unreadable) {
        reader_.BadSectors().Add(first, count);
    }
    return Ok();
}

Status Session::LoadBadSectorMap(const std::string& path) {
    BadSectorMap loaded;
    uint64_t extent = 0;
    const Status status = LoadDdrescueMap(path, loaded, &extent);
    if (!status) {
        return status;
    }
    rescueMap_ = loaded.Ranges();
    mapLoaded_ = true;
    mapExtent_ = extent;
    if (device_)
        ApplyRescueMap();
    return Ok();
}

void Session::ApplyRescueMap() {
    if (!mapLoaded_ || !device_)
        return;
    const uint64_t total = reader_.TotalSectors();
    for (const auto& r : rescueMap_) {
        if (r.first < total)
            reader_.BadSectors().Add(r.first, std::min(r.end, total) - r.first);
    }
    // What the map does not reach was never tried.
    const uint64_t reached = (mapExtent_ + kSectorSize - 1) / kSectorSize;
    if (reached < total)
        reader_.BadSectors().Add(reached, total - reached);
}

Session::MapCoverage Session::BadMapCoverage() const {
    MapCoverage c;
    c.loaded = mapLoaded_ && device_ != nullptr;
    c.mapBytes = mapExtent_;
    c.diskBytes = device_ ? device_->SizeBytes() : 0;
    return c;
}

uint64_t Session::BadMapSectors() const {
    uint64_t n = 0;
    for (const auto& r : rescueMap_) {
        n += r.end - r.first;
    }
    return n;
}

Status Session::OpenDisk(size_t k) {
    const DiskEntry* disk = disks.Listed(k);
    if (disk == nullptr) {
        return Error{"No disk " + std::to_string(k)};
    }
    Status opened =
        disk->layout ? OpenLayout(*disk->layout) : Adopt(OpenBlockDevice(disk->devicePath));
    if (opened) {
        selectedDisk = k;
    }
    return opened;
}

Status Session::OpenPath(const std::string& path) {
    return Adopt(OpenBlockDevice(path));
}

Status Session::OpenLayout(const LayoutSpec& spec) {
    auto opened = AssembledDevice::Open(spec);
    if (!opened)
        return Error{opened.error()};
    AssembledDevice* raw = opened->get();
    const Status adopted = Adopt(std::unique_ptr<BlockDevice>(opened.Take()));
    if (adopted)
        assembled_ = raw;
    return adopted;
}

void Session::CloseDisk() {
    reader_.Reset(nullptr, 0);
    assembled_ = nullptr;
    device_.reset();
}

void Session::SetMounted(std::unique_ptr<MountedVolume> volume) {
    std::unique_ptr<MountedVolume> old = std::move(mounted_);
    mounted_ = std::move(volume);
    // Reads show the mounted volume as its replayed log says, and nothing else's.
    reader_.SetOverlay(mounted_ ? mounted_->overlay : nullptr);
    if (onMountedChanged)
        onMountedChanged(mounted_.get());
}

} // namespace trevik
