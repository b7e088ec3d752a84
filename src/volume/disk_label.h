#pragma once

#include "disk/sector_reader.h"
#include "format/device_id.h"
#include "format/sparc_label.h"
#include "volume/volume_table.h"

#include <cstdint>
#include <string>

namespace trevik {

// What the label reader found, beyond the volumes: which label, and what was wrong with
// the copy of an EFI label it could not use.
struct LabelReport {
    LabelKind kind = LabelKind::Scan; // Scan: no label found
    // An EFI label's primary header or entries could not be used: why, and whether the
    // backup at the disk's end was used instead.
    std::string primaryDamage;
    bool usedBackup = false;
    std::string backupDamage; // both copies unusable: why the backup was not used
    size_t notListed = 0;     // used entries past the table's capacity
};

// Fills the table from the label of the chosen disk.
//
// A SPARC (VTOC) label in sector 0: every slice with a non-zero length except the
// whole-disk backup slice, in slice order, each with its superblock 16 sectors in.
// Otherwise an EFI label (header in sector 1, its backup in the last sector when the
// primary or its entries are damaged): every used partition in entry order. Each entry
// carries its tag, and the file system it holds where that is not UFS.
// Returns the number of volumes (0: no label or no usable slice).
size_t ReadDiskLabel(SectorReader& reader, VolumeTable& table, LabelReport* report = nullptr);

// The device id the disk keeps on itself (one the driver made up for a disk without its
// own): in the alternate cylinders a SPARC label keeps, or at the start of the reserved
// partition of an EFI label (in `table`, as ReadDiskLabel filled it). Empty when there is
// none or its checksum is wrong.
std::optional<devid::DeviceId> ReadStoredDeviceId(SectorReader& reader, const VolumeTable& table);

// A metadevice has no label: its file system begins at its block 0. Fills the table with
// that one volume when a UFS superblock decodes 16 sectors in; returns the count (0 or 1).
size_t ReadMetadeviceVolume(SectorReader& reader, VolumeTable& table);

// Whether the volume may be mounted: a partition the EFI label marks as swap, boot,
// reserved or alternate sectors, or one holding another file system, is not.
bool HoldsUfs(const PartitionEntry& entry);

} // namespace trevik
