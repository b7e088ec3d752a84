#pragma once

// Whole-volume targets: the input is a small volume image (the seeds are the builder's),
// mounted as the first volume of a disk.

#include "fuzz_support.h"
#include "recovery/extraction.h"
#include "ufs/mount.h"

#include <filesystem>
#include <unistd.h>

namespace trevik::fuzz {

inline PartitionEntry EntryFor(const MemoryBlockDevice& disk) {
    PartitionEntry e;
    e.name = "Solaris Partition - 1";
    e.startSector = 0;
    e.sizeSectors = static_cast<uint32_t>(disk.SizeBytes() / 512);
    e.superblockSector = 16;
    return e;
}

inline std::string ScratchDir() {
    static const std::string dir = [] {
        const auto p =
            std::filesystem::temp_directory_path() / ("trevik-fuzz-" + std::to_string(::getpid()));
        return p.string();
    }();
    return dir;
}

} // namespace trevik::fuzz
