#pragma once

#include "disk/assembled_device.h"
#include "disk/block_device.h"
#include "disk/disk_table.h"
#include "disk/sector_reader.h"
#include "format/result.h"
#include "recovery/filter_table.h"
#include "recovery/recovery_settings.h"
#include "ufs/mount.h"
#include "volume/volume_table.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trevik {

// Everything one run of the program holds about the disk being recovered: owned by the
// front end and handed to the core. Cross-thread flags are atomics.
class Session {
public:
    DiskTable disks;
    VolumeTable volumes;
    RecoverySettings settings;
    FilterTable filters;
    std::atomic<bool> stopRequested{false};
    // The disk and volume the user chose; none before the first choice.
    std::optional<size_t> selectedDisk;
    std::optional<size_t> selectedVolume;

    // Opens listed disk k for reading. On failure nothing changes and the error names the
    // device and the system's reason.
    Status OpenDisk(size_t k);
    // Opens a device or image by path, outside the disk table.
    Status OpenPath(const std::string& path);
    // Opens a metadevice assembled from the images or disks of its components.
    Status OpenLayout(const LayoutSpec& spec);
    // The metadevice open now, or null when the open device is a plain disk or image.
    AssembledDevice* Assembled() const { return assembled_; }
    void CloseDisk();

    bool DiskOpen() const { return device_ != nullptr; }
    SectorReader& Reader() { return reader_; }
    BlockDevice* Device() const { return device_.get(); }

    // Reads a GNU ddrescue mapfile: the areas it does not mark finished are unreadable
    // without a read, on the disk open now and on those opened after it, until another map
    // is loaded. On failure nothing changes.
    Status LoadBadSectorMap(const std::string& path);
    // How the loaded map fits the open disk: a map of another disk (or of part of this one)
    // reaches less or further than the disk. What it does not reach is unreadable; what it
    // names past the disk's end is ignored.
    struct MapCoverage {
        bool loaded = false; // a map is loaded and a disk open
        uint64_t mapBytes = 0;
        uint64_t diskBytes = 0;
        bool Mismatch() const { return loaded && mapBytes != diskBytes; }
        bool Short() const { return loaded && mapBytes < diskBytes; }
    };
    MapCoverage BadMapCoverage() const;
    // Sectors and areas of the loaded map.
    uint64_t BadMapSectors() const;
    size_t BadMapAreas() const { return rescueMap_.size(); }

    // The volume mounted now, or null.
    MountedVolume* Mounted() const { return mounted_.get(); }
    // Replaces the mounted volume (null: none). Whoever shows it hears of the change through
    // onMountedChanged before the volume it showed is freed.
    void SetMounted(std::unique_ptr<MountedVolume> volume);
    std::function<void(MountedVolume*)> onMountedChanged;

    // Carries changed settings to the reader; call after the settings change.
    void ApplySettings() { reader_.SetBadSectorRetries(settings.badSectorRetries); }

private:
    Status Adopt(Result<std::unique_ptr<BlockDevice>> opened);

    std::unique_ptr<BlockDevice> device_;
    AssembledDevice* assembled_ = nullptr; // device_, when it is a metadevice. Not owned.
    std::unique_ptr<MountedVolume> mounted_;
    SectorReader reader_;
    void ApplyRescueMap();
    std::vector<BadSectorMap::Range> rescueMap_;
    bool mapLoaded_ = false;
    uint64_t mapExtent_ = 0;
};

} // namespace trevik
