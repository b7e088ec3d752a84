#pragma once

// Splits a volume image into the components of a Solaris Volume Manager metadevice, the
// way the driver lays a metadevice's blocks out: written from the examples and rules of
// stripe.c and raid.c, sharing no code with the reader, so that tests of the reader check
// it against an independent hand.

#include <cstdint>
#include <vector>

namespace trevik::imagebuilder {

enum class SvmKind { Concat, Stripe, Raid5, Mirror };

struct SvmSpec {
    SvmKind kind = SvmKind::Stripe;
    uint32_t components = 3;
    uint32_t interlaceSectors = 32; // stripes and RAID-5
    uint32_t startSector = 0;       // each component's data begins here (zeros before)
};

// The component images (start block included) holding `volume` as block 0 on of the
// metadevice; the volume is padded with zeros to whole lines. A concatenation gets parts
// of unequal length (each a little longer than the one before); each half of a mirror
// the whole volume.
std::vector<std::vector<uint8_t>> SplitIntoComponents(const std::vector<uint8_t>& volume,
                                                      const SvmSpec& spec);

// The master block of a state database replica of `blocks` blocks, as metadb writes it at
// block 16 of a slice (magic "mdmb", revision 0x0201, its own block number).
std::vector<uint8_t> ReplicaMasterBlock(uint32_t blocks, uint32_t time);

} // namespace trevik::imagebuilder
