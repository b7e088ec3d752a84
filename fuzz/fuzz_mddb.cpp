// The state database reader over a mutated slice: a replica at block 16 whose master,
// locator, directory and record blocks, unit structures (both layouts) and namespaces are
// hostile. Whatever they hold, the reader reads no block outside the replica more than
// the directory entries name, and the device id decoders stay inside their buffers.
#include "format/device_id.h"
#include "format/svm_mddb.h"
#include "fuzz_support.h"
#include "volume/state_database.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace trevik;
    auto disk = fuzz::DiskOf(data, size, 18 * 512);
    fuzz::CountingDevice counted(disk);
    const uint64_t total = disk.SizeBytes() / 512;
    SectorReader reader(&counted, total, 1);
    const auto db = ReadStateDatabase(reader, 0);
    // The master block, the locator's blocks, and per directory block (each read once)
    // itself and at most a block's worth of record blocks.
    if (counted.sectors > 1 + 2 * svm::kLocatorMaxBlocks + total * (1 + 128))
        __builtin_trap();
    if (db) {
        for (const svm::Unit& u : db->units)
            if (u.rows.empty())
                __builtin_trap(); // every unit read has its components
    }
    // The raw bytes as unit records of either layout, namespaces and device ids.
    const std::span<const uint8_t> bytes(data, size);
    for (const bool large : {false, true}) {
        (void)svm::DecodeStripeUnit(bytes, large);
        (void)svm::DecodeMirrorUnit(bytes, large);
        (void)svm::DecodeRaidUnit(bytes, large);
    }
    (void)svm::DecodeDeviceIdNames(bytes);
    for (const auto& id : svm::DecodeDeviceIds(bytes))
        if (const auto d = devid::DecodeDeviceId(id.bytes))
            (void)devid::DeviceIdText(*d);
    if (const auto d = devid::DecodeStoredDeviceId(bytes))
        if (d->raw.size() > devid::kStoredIdSize)
            __builtin_trap();
    return 0;
}
