#include "recovery/session.h"

namespace trevik {

std::string Session::Adopt(OpenDeviceResult opened) {
    if (!opened.device) {
        return opened.error;
    }
    device_ = std::move(opened.device);
    const uint64_t total = device_->SizeBytes() / kSectorBytes;
    reader_.Reset(device_.get(), total);
    reader_.SetBadSectorRetries(settings.badSectorRetries);
    return {};
}

std::string Session::OpenDisk(size_t k) {
    const DiskEntry* disk = disks.Listed(k);
    if (disk == nullptr) {
        return "No disk " + std::to_string(k);
    }
    std::string error = Adopt(OpenBlockDevice(disk->devicePath));
    if (error.empty()) {
        selectedDisk = static_cast<int>(k);
    }
    return error;
}

std::string Session::OpenPath(const std::string& path) {
    return Adopt(OpenBlockDevice(path));
}

void Session::CloseDisk() {
    reader_.Reset(nullptr, 0);
    device_.reset();
}

} // namespace trevik
