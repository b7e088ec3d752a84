#pragma once

// Solaris partition tags (illumos sys/vtoc.h's V_ numbers), as a VTOC slice stores them and
// as an EFI partition's type GUID translates to them. Numbered from 0 in the header's order.

#include <cstdint>

namespace trevik::tag {

enum PartitionTag : uint16_t {
    kUnassigned,
    kBoot,
    kRoot,
    kSwap,
    kUsr,
    kBackup, // a VTOC's whole-disk slice
    kStand,
    kVar,
    kHome,
    kAltSector,
    kCache,
    kReserved,
    kSystem, // the EFI system partition
    kBiosBoot = 24,
};

} // namespace trevik::tag
