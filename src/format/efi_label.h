#pragma once

// The EFI (GPT) label Solaris writes on disks over 1 TB and wherever `format -e` is asked
// for it: a header in sector 1 (its backup in the disk's last sector) and an array of
// partition entries, all little-endian even on SPARC, each guarded by a CRC-32.

#include "format/result.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace trevik {

namespace efi {
inline constexpr uint64_t kPrimaryHeaderSector = 1;
inline constexpr uint32_t kHeaderMinSize = 92;
inline constexpr uint32_t kEntryMinSize = 128;
inline constexpr uint32_t kMaxEntries = 1024; // far beyond the 9 Solaris writes
inline constexpr uint32_t kMaxEntryArrayBytes = 1u << 20;
} // namespace efi

// A GUID as it is stored: its first three fields little-endian.
using Guid = std::array<uint8_t, 16>;

// "6A85CF4D-1DD2-11B2-99A6-080020736631" for the stored bytes of that GUID.
std::string GuidText(const Guid& guid);
bool IsZeroGuid(const Guid& guid);

struct EfiHeader {
    uint64_t myLba = 0;
    uint64_t alternateLba = 0;
    uint64_t firstUsableLba = 0;
    uint64_t lastUsableLba = 0;
    uint64_t entriesLba = 0;
    uint32_t entryCount = 0;
    uint32_t entrySize = 0;
    uint32_t entriesCrc = 0;
};

// The sectors the entry array takes.
constexpr uint64_t EntryArraySectors(const EfiHeader& h, uint32_t sectorSize = 512) {
    const uint64_t bytes = uint64_t{h.entryCount} * h.entrySize;
    return (bytes + sectorSize - 1) / sectorSize;
}

// Decodes a header sector: "EFI PART", a header size from 92 to the sector, its CRC-32,
// entries of at least 128 bytes (a multiple of 8) and an array of at most 1 MiB. The
// error says which check failed.
Result<EfiHeader> DecodeEfiHeader(std::span<const uint8_t> sector);

struct EfiPartition {
    uint32_t index = 0; // 0-based entry number
    Guid type{};
    Guid unique{};
    uint64_t firstLba = 0;
    uint64_t lastLba = 0; // inclusive
    uint64_t attributes = 0;
    std::string name; // UTF-16 decoded to UTF-8, up to its first NUL
};

// The used entries of the array (type GUID not zero) in entry order, once its CRC-32
// matches the header's. An entry whose range is inverted or lies outside the usable
// sectors is refused with the array.
Result<std::vector<EfiPartition>> DecodeEfiEntries(const EfiHeader& header,
                                                   std::span<const uint8_t> array);

// The Solaris partition tag libefi gives a type GUID (V_ROOT for the root GUID, ...), 0
// for a type Solaris has no tag for.
uint16_t SolarisTagOfType(const Guid& type);

// CRC-32 (IEEE 802.3, the one EFI labels are guarded by).
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

} // namespace trevik
