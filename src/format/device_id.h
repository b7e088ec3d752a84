#pragma once

// Solaris device ids (illumos sys/ddi_impldefs.h, sys/dkio.h, common/os/devid_cache and
// cmlb): what a disk is, independent of where it is attached. A disk that reports none of
// its own (no world-wide name, no serial number) gets one made up by the driver and kept
// in a 512-byte block on the disk itself; the volume manager records each component's id
// in its state database, so that it finds the component again wherever the disk moves.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace trevik::devid {

// impl_devid's types.
inline constexpr uint16_t kScsi3Wwn = 1;
inline constexpr uint16_t kScsiSerial = 2;
inline constexpr uint16_t kFabricated = 3;
inline constexpr uint16_t kEncapsulated = 4;
inline constexpr uint16_t kAtaSerial = 5;
inline constexpr uint16_t kScsi3VpdT10 = 6;
inline constexpr uint16_t kScsi3VpdEui = 7;
inline constexpr uint16_t kScsi3VpdNaa = 8;

inline constexpr size_t kHeaderSize = 12;    // 'i' 'd', revision, type, length, driver hint
inline constexpr size_t kStoredIdSize = 505; // the id's room in the block kept on the disk

struct DeviceId {
    uint16_t type = 0;
    std::string driver;       // the driver's hint, "sd"
    std::vector<uint8_t> id;  // the identifier proper
    std::vector<uint8_t> raw; // the whole encoded id, header included, as recorded
};

// An encoded device id (impl_devid): magic, revision 0.1, a known type and a length that
// fits `bytes` (which may hold more after it). Empty when it is none.
std::optional<DeviceId> DecodeDeviceId(std::span<const uint8_t> bytes);

// The block a disk keeps its made-up id in (dk_devid): revision 0.1 and the XOR of its
// first 127 big-endian words in the last. Empty when the block holds none or its checksum
// is wrong.
std::optional<DeviceId> DecodeStoredDeviceId(std::span<const uint8_t> sector);

// The id as Solaris writes it out: "id1,sd@n5000c50012345678" (a lower-case type letter
// and hex, or an upper-case one and the text when the id is printable).
std::string DeviceIdText(const DeviceId& d);

// Whether a Linux world-wide identifier ("naa.5000c500...", "eui.0025...",
// "t10.ATA     ST3500...") names the same device as `d`.
bool SameDeviceAsWwid(const DeviceId& d, const std::string& wwid);

} // namespace trevik::devid
