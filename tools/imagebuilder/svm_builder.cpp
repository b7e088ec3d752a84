#include "svm_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace trevik::imagebuilder {
namespace {

constexpr size_t kSector = 512;

std::vector<uint8_t> Padded(const std::vector<uint8_t>& v, size_t multiple) {
    std::vector<uint8_t> out = v;
    out.resize((out.size() + multiple - 1) / multiple * multiple, 0);
    return out;
}

} // namespace

std::vector<std::vector<uint8_t>> SplitIntoComponents(const std::vector<uint8_t>& volume,
                                                      const SvmSpec& spec) {
    const size_t n = spec.components;
    const size_t start = size_t{spec.startSector} * kSector;
    if (n == 0 || (spec.kind != SvmKind::Concat && spec.kind != SvmKind::Mirror && n < 2) ||
        (spec.kind == SvmKind::Raid5 && n < 3))
        throw std::runtime_error("too few components");
    std::vector<std::vector<uint8_t>> out(n);

    if (spec.kind == SvmKind::Mirror) {
        for (auto& c : out) {
            c.assign(start, 0);
            c.insert(c.end(), volume.begin(), volume.end());
        }
        return out;
    }
    if (spec.kind == SvmKind::Concat) {
        // Parts of weights 1, 2, ..., n sectors apart: no two components alike.
        const std::vector<uint8_t> v = Padded(volume, kSector);
        const size_t sectors = v.size() / kSector;
        const size_t weights = n * (n + 1) / 2;
        size_t at = 0;
        for (size_t i = 0; i < n; ++i) {
            size_t len = i + 1 == n ? sectors - at : sectors * (i + 1) / weights;
            out[i].assign(start, 0);
            out[i].insert(out[i].end(), v.begin() + at * kSector, v.begin() + (at + len) * kSector);
            at += len;
        }
        return out;
    }
    const size_t chunk = size_t{spec.interlaceSectors} * kSector;
    if (spec.kind == SvmKind::Stripe) {
        // Chunk k of the stripe goes to component k mod n, after the k div n chunks that
        // component already holds.
        const std::vector<uint8_t> v = Padded(volume, chunk * n);
        for (auto& c : out)
            c.assign(start + v.size() / n, 0);
        for (size_t k = 0; k * chunk < v.size(); ++k)
            std::memcpy(out[k % n].data() + start + (k / n) * chunk, v.data() + k * chunk, chunk);
        return out;
    }
    // RAID-5: line l keeps its parity on column (l + n - 1) mod n and its n - 1 data
    // segments on the columns after that one, in turn round the set; the parity is the XOR
    // of the line's data.
    const std::vector<uint8_t> v = Padded(volume, chunk * (n - 1));
    const size_t lines = v.size() / (chunk * (n - 1));
    for (auto& c : out)
        c.assign(start + lines * chunk, 0);
    for (size_t l = 0; l < lines; ++l) {
        const size_t parity = (l + n - 1) % n;
        uint8_t* p = out[parity].data() + start + l * chunk;
        for (size_t k = 0; k + 1 < n; ++k) {
            const size_t column = (parity + 1 + k) % n;
            const uint8_t* seg = v.data() + (l * (n - 1) + k) * chunk;
            std::memcpy(out[column].data() + start + l * chunk, seg, chunk);
            for (size_t i = 0; i < chunk; ++i)
                p[i] ^= seg[i];
        }
    }
    return out;
}

std::vector<uint8_t> ReplicaMasterBlock(uint32_t blocks, uint32_t time) {
    std::vector<uint8_t> b(kSector, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    put(0, 0x6d646d62); // mb_magic
    put(4, 0x0201);     // mb_revision
    put(20, time);      // mb_timestamp
    put(28, blocks);    // mb_blkcnt
    put(32, 16);        // mb_blkno
    put(76, blocks);    // mb_blkmap: one run of the replica's blocks
    put(80, 16);
    return b;
}

} // namespace trevik::imagebuilder
