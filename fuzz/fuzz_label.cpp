// The disk label reader over any first sectors: a SPARC label, an EFI label (primary and
// backup) or neither. Whatever they hold, a SPARC label gives at most its eight slices and
// an EFI label no more than the table holds.
#include "fuzz_support.h"
#include "volume/disk_label.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto disk = trevik::fuzz::DiskOf(data, size, 512);
    trevik::SectorReader reader(&disk, disk.SizeBytes() / 512, 1);
    trevik::VolumeTable table;
    trevik::LabelReport report;
    const size_t n = trevik::ReadDiskLabel(reader, table, &report);
    if (report.kind == trevik::LabelKind::Vtoc && n > 8)
        __builtin_trap(); // a label has eight slices
    if (n > trevik::VolumeTable::kCapacity)
        __builtin_trap();
    for (size_t i = 0; i < n; ++i) {
        if (table[i].sizeSectors == 0 && report.kind == trevik::LabelKind::Efi)
            __builtin_trap(); // an EFI partition holds at least its first sector
    }
    return 0;
}
