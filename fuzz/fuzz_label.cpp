#include "fuzz_support.h"
#include "volume/disk_label.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto disk = trevik::fuzz::DiskOf(data, size, 512);
    trevik::SectorReader reader(&disk, disk.SizeBytes() / 512, 1);
    trevik::VolumeTable table;
    const size_t n = trevik::ReadDiskLabel(reader, table);
    if (n > 8)
        __builtin_trap(); // a label has eight slices
    return 0;
}
