#include "recovery/session.h"

#include "disk/ddrescue_map.h"

namespace trevik {

Status Session::Adopt(Result<std::unique_ptr<BlockDevice>> opened) {
    if (!opened) {
        return Error{opened.error()};
    }
    device_ = opened.Take();
    reader_.Reset(device_.get(), device_->SizeBytes() / kSectorSize);
    reader_.SetBadSectorRetries(settings.badSectorRetries);
    for (const auto& r : rescueMap_) {
        reader_.BadSectors().Add(r.first, r.end - r.first);
    }
    // What the image's acquisition could not read is known unreadable without a read.
    for (const auto& [first, count] : device_->Details().unreadable) {
        reader_.BadSectors().Add(first, count);
    }
    return Ok();
}

Status Session::LoadBadSectorMap(const std::string& path) {
    BadSectorMap loaded;
    const Status status = LoadDdrescueMap(path, loaded);
    if (!status) {
        return status;
    }
    rescueMap_ = loaded.Ranges();
    for (const auto& r : rescueMap_) {
        reader_.BadSectors().Add(r.first, r.end - r.first);
    }
    return Ok();
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
    Status opened = Adopt(OpenBlockDevice(disk->devicePath));
    if (opened) {
        selectedDisk = static_cast<int>(k);
    }
    return opened;
}

Status Session::OpenPath(const std::string& path) {
    return Adopt(OpenBlockDevice(path));
}

void Session::CloseDisk() {
    reader_.Reset(nullptr, 0);
    device_.reset();
}

void Session::SetMounted(std::unique_ptr<MountedVolume> volume) {
    std::unique_ptr<MountedVolume> old = std::move(mounted_);
    mounted_ = std::move(volume);
    if (onMountedChanged)
        onMountedChanged(mounted_.get());
}

} // namespace trevik
