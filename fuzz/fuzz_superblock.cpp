#include "format/volume_geometry.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> sb(data, data + size);
    sb.resize(std::max<size_t>(sb.size(), 1536), 0);
    const auto d = trevik::DecodeSuperblock(sb);
    if (d) {
        const auto& g = *d;
        // What the checks promise everything after them.
        if (g.sectorsPerFragment == 0 || g.inodesPerGroup == 0 || g.groupCount == 0 ||
            g.blockSize > 65536 || g.inodesPerGroup % (g.blockSize / 128) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}
