#include "fuzz_support.h"
#include "volume/superblock_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto disk = trevik::fuzz::DiskOf(data, size);
    trevik::SectorReader reader(&disk, disk.SizeBytes() / 512, 1);
    trevik::VolumeTable table;
    std::atomic<bool> stop{false};
    trevik::ScanOptions o;
    o.endSector = static_cast<uint32_t>(disk.SizeBytes() / 512 + 7); // the last run passes the end
    o.sectorsPerRead = 7;
    trevik::ScanForVolumes(reader, o, table, stop);
    if (table.Count() > trevik::VolumeTable::kScanLimit)
        __builtin_trap();
    return 0;
}
