#pragma once

#include "format/partition_tag.h"
#include "volume/foreign_format.h"

#include <cstdint>
#include <string>

namespace trevik {

// Where a volume was found: a slice of the SPARC (VTOC) label, a partition of an EFI label,
// a superblock the scan found, or the whole of a metadevice (which has no label).
enum class LabelKind { Vtoc, Efi, Scan, Metadevice };

// One found volume.
struct PartitionEntry {
    std::string name;              // "Solaris Partition - " and the 1-based table position
    uint64_t sizeSectors = 0;      // length in 512-byte sectors
    uint64_t startSector = 0;      // absolute first sector on the disk
    uint64_t superblockSector = 0; // absolute sector of the superblock to mount from
    LabelKind label = LabelKind::Scan;
    // The Solaris partition tag the label gives (2 root, 3 swap, 4 usr, ...; an EFI
    // partition's type translated to it); 0 when unassigned or found by a scan.
    uint16_t tag = 0;
    std::string typeGuid; // an EFI partition's type, as text; empty otherwise
    // What the partition holds when the label lists it but it holds no UFS: another file
    // system (ZFS shares the usr type), or None. Mounting it is refused.
    ForeignFormat content = ForeignFormat::None;
    // Whether a UFS magic stood at the superblock when the label was read.
    bool ufsMagic = true;
    // The slice number the label gives it (a VTOC slice 0-7, an EFI entry 0-based); -1 when
    // found by a scan. A metadevice's component names it: c1t1d0s7 is slice 7.
    int slice = -1;
};

// The first volume of a table: `sizeSectors` sectors from `startSector`, its superblock
// 16 sectors in, where a label or a scan would put it.
inline PartitionEntry FirstVolumeAt(uint64_t startSector, uint64_t sizeSectors) {
    PartitionEntry e;
    e.name = "Solaris Partition - 1";
    e.startSector = startSector;
    e.sizeSectors = sizeSectors;
    e.superblockSector = startSector + 16;
    return e;
}

// Whether an EFI partition of this tag can hold a file system: reserved, swap, boot and
// alternate-sector partitions are listed but never mounted.
constexpr bool TagHoldsFileSystem(uint16_t t) {
    return t != tag::kSwap && t != tag::kBoot && t != tag::kAltSector && t != tag::kReserved &&
           t != tag::kBiosBoot && t != tag::kCache && t != tag::kSystem;
}

} // namespace trevik
