#pragma once

#include "disk/sector_reader.h"
#include "format/sparc_label.h"
#include "volume/volume_table.h"

#include <cstdint>

namespace trevik {

// Fills the table from the label of the chosen disk: every slice with a non-zero length
// except the whole-disk backup slice, in slice order, each with its superblock 16
// sectors in. Returns the number of volumes (0: no label or no usable slice).
size_t ReadDiskLabel(SectorReader& reader, VolumeTable& table);

} // namespace trevik
