// Directory-block parsing: the input replaces the root directory's first block of a
// valid volume, which is then mounted in both modes.
#include "fuzz_volume.h"
#include "ufs_builder.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace trevik;
    static const imagebuilder::UfsVolume base = [] {
        imagebuilder::UfsParams p;
        p.sizeSectors = 2048;
        return imagebuilder::BuildUfs(
            imagebuilder::Dir("", {imagebuilder::File("a", "1"),
                                   imagebuilder::Dir("d", {imagebuilder::File("b", "2")})}),
            p);
    }();
    std::vector<uint8_t> bytes = base.bytes;
    const uint64_t at = uint64_t{base.Find("/")->dataFrags[0]} * base.layout.fsize;
    std::memcpy(bytes.data() + at, data, std::min<size_t>(size, base.layout.bsize));
    MemoryBlockDevice disk(std::move(bytes));
    SectorReader reader(&disk, disk.SizeBytes() / 512, 1);
    std::atomic<bool> stop{false};
    for (RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
        (void)MountVolume(reader, fuzz::EntryFor(disk), mode, stop, nullptr);
    }
    return 0;
}
