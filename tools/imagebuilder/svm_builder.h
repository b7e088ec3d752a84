#pragma once

// Splits a volume image into the components of a Solaris Volume Manager metadevice, the
// way the driver lays a metadevice's blocks out: written from the examples and rules of
// stripe.c and raid.c, sharing no code with the reader, so that tests of the reader check
// it against an independent hand.

#include <cstdint>
#include <string>
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
// block 16 of a slice (magic "mdmb", revision 0x0201, its own block number, the map of
// the blocks after it, its checksum).
std::vector<uint8_t> ReplicaMasterBlock(uint32_t blocks, uint32_t time);

// A whole state database replica recording metadevices, as metadb and metainit leave it:
// the master block, the locator block, one directory block, the namespace record with
// the components' names and one record a metadevice in the layout Solaris keeps those
// under 1 TB in. Each component is named ("c1t1d0s0") and given its start block.
struct ReplicaComponent {
    std::string name;
    uint64_t startBlock = 0;
    uint32_t state = 1;            // Okay
    std::vector<uint8_t> deviceId; // its disk's encoded device id, recorded when given
};
struct ReplicaUnit {
    SvmKind kind = SvmKind::Stripe; // Concat and Stripe make a stripe unit of `rows`
    uint32_t unit = 10;
    uint64_t blocks = 0;
    uint32_t interlace = 0;                          // stripes (the one row of several) and RAID-5
    std::vector<std::vector<ReplicaComponent>> rows; // RAID-5: one row, the columns
    std::vector<uint64_t> rowBlocks;                 // stripes: each row's blocks
    std::vector<uint32_t> submirrors;                // a mirror: its submirrors' units
    uint32_t parent = 0xffffffff;                    // a submirror: its mirror's unit
};
struct ReplicaSpec {
    uint32_t blocks = 1024; // the replica's size, master block included
    uint32_t time = 1199145600;
    uint32_t commitCount = 1;
    // The units in the layout Solaris keeps metadevices of 1 TB and more in (64-bit block
    // and device numbers, record revision 0x0201), not the one for smaller ones.
    bool large = false;
    std::vector<ReplicaUnit> units;
};
// When a component carries a device id, the replica also holds the device id namespace:
// one record mapping each component's key to the key of its id, one with the ids.
// The replica's bytes from block 16 of its slice on (blocks - 16 ... the replica's size).
std::vector<uint8_t> ReplicaBytes(const ReplicaSpec& spec);

// A device id as Solaris encodes one (impl_devid): 'i' 'd', revision 0.1, the type (3: made
// up by the driver), the length, a 4-byte driver hint and the id.
std::vector<uint8_t> EncodeDeviceId(uint16_t type, const std::string& driver,
                                    const std::vector<uint8_t>& id);
// The 512-byte block a disk keeps a made-up device id in (dk_devid), with its checksum.
std::vector<uint8_t> DeviceIdBlock(const std::vector<uint8_t>& deviceId);

// A disk as Solaris sets one up for the volume manager: a SPARC label (4 heads, 32
// sectors a track) whose slice 7, cylinders 0-8, holds `replica` at its block 16 and
// whose slice 0 holds `component` from block 0; the two alternate cylinders after the
// data keep `deviceId` (when given) in its block, where the disk driver keeps it.
inline constexpr uint16_t kComponentDiskHeads = 4;
inline constexpr uint16_t kComponentDiskSectors = 32;
inline constexpr uint32_t kComponentDiskReplicaCylinders = 9;
struct ComponentDiskImage {
    std::vector<uint8_t> bytes;
    uint64_t idSector = 0; // where the device id block is
};
ComponentDiskImage ComponentDisk(const std::vector<uint8_t>& component,
                                 const std::vector<uint8_t>& replica,
                                 const std::vector<uint8_t>& deviceId);

} // namespace trevik::imagebuilder
