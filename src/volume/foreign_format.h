#pragma once

// What a disk holds when it holds no Solaris SPARC volume the label or a scan can find:
// another system's file system or partition table, so that the user learns the disk is
// not one this program reads rather than that nothing is there.

#include "disk/sector_reader.h"

namespace trevik {

enum class ForeignFormat {
    None,
    UfsLittleEndian,  // UFS1 of a PC (BSD, Solaris x86)
    Ufs2LittleEndian, // FreeBSD's UFS2
    Ufs2BigEndian,    // UFS2 of a big-endian BSD
    Zfs,
    Ext,              // Linux ext2, ext3, ext4
    SvmReplica,       // a Solaris Volume Manager state database replica: a metadevice's part
    EfiLabel,         // an EFI (GPT) partition table
    PcPartitionTable, // an MBR
};

// Looks at the places those formats mark at the start of the disk (or of a slice image).
ForeignFormat IdentifyForeignFormat(SectorReader& reader);
// The same for the file systems alone, in a partition that begins at `startSector`.
ForeignFormat IdentifyForeignFileSystem(SectorReader& reader, uint64_t startSector);

} // namespace trevik
