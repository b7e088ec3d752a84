#pragma once

// Where Solaris Volume Manager (DiskSuite) puts a block of a metadevice on its
// components, the way stripe.c and raid.c map it: 512-byte blocks, counted from each
// component's start block (past its label and state database replicas).

#include <cstdint>

namespace trevik::svm {

// A stripe of `components` components with an interlace of `interlace` blocks: block b
// of the stripe lies in chunk b / interlace, the chunks dealt round the components.
struct StripePlace {
    uint32_t component = 0;
    uint64_t block = 0; // on the component, from its start block
    uint64_t run = 0;   // blocks that follow on the same component (to the chunk's end)
};
constexpr StripePlace StripeBlock(uint64_t b, uint32_t components, uint64_t interlace) {
    const uint64_t chunk = b / interlace;
    const uint64_t within = b % interlace;
    return {static_cast<uint32_t>(chunk % components), (chunk / components) * interlace + within,
            interlace - within};
}

// A RAID-5 set of `columns` columns, segments of `interlace` blocks: a line holds one
// segment on each column, columns - 1 of data and one of parity (the XOR of the others).
// The parity column of line l is (l + columns - 1) % columns; the data segments of the
// line begin on the column after it (raid_line, raid_dcolumn, raid_pcolumn).
struct Raid5Place {
    uint32_t dataColumn = 0;
    uint32_t parityColumn = 0;
    uint64_t line = 0;
    uint64_t block = 0; // on each column of the line, from the column's start block
    uint64_t run = 0;   // blocks to the end of the segment
};
constexpr Raid5Place Raid5Block(uint64_t b, uint32_t columns, uint64_t interlace) {
    const uint64_t segment = b / interlace;
    const uint64_t within = b % interlace;
    const uint64_t line = segment / (columns - 1);
    const auto data = static_cast<uint32_t>((segment % (columns - 1) + line) % columns);
    const auto parity = static_cast<uint32_t>((line + columns - 1) % columns);
    return {data, parity, line, line * interlace + within, interlace - within};
}

// Blocks a stripe or RAID-5 set offers, from the blocks its smallest component holds past
// its start block: whole chunks only.
constexpr uint64_t StripeBlocks(uint64_t smallestUsable, uint32_t components, uint64_t interlace) {
    return smallestUsable / interlace * interlace * components;
}
constexpr uint64_t Raid5Blocks(uint64_t smallestUsable, uint32_t columns, uint64_t interlace) {
    return smallestUsable / interlace * interlace * (columns - 1);
}

} // namespace trevik::svm
