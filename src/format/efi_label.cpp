#include "format/efi_label.h"

#include "format/big_endian.h"
#include "format/partition_tag.h"

#include <cstdio>
#include <cstring>

namespace trevik {
namespace {

// Where the GPT header's and an entry's fields lie (the layout UEFI firmware reads) is
// said once, where each is read below; every field is little-endian.
constexpr size_t kHeaderCrcAt = 16;
constexpr size_t kEntryNameAt = 56;
constexpr size_t kEntryNameUnits = 36;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr auto kCrcTable = MakeCrcTable();

// The Sun GUID family: xxxxxxxx-1DD2-11B2-99A6-080020736631, told apart by the first field.
constexpr uint8_t kSunTail[12] = {0xD2, 0x1D, 0xB2, 0x11, 0x99, 0xA6,
                                  0x08, 0x00, 0x20, 0x73, 0x66, 0x31};

struct SunType {
    uint32_t first;
    uint16_t tag;
};
// libefi's table (sys/efi_partition.h); the reserved and never-used members of the family
// are reserved partitions, never file systems.
constexpr SunType kSunTypes[] = {
    {0x6A82CB45, tag::kBoot},      // boot
    {0x6A85CF4D, tag::kRoot},      // root
    {0x6A87C46F, tag::kSwap},      // swap
    {0x6A898CC3, tag::kUsr},       // usr
    {0x6A8B642B, tag::kBackup},    // backup
    {0x6A8EF2E9, tag::kVar},       // var
    {0x6A90BA39, tag::kHome},      // home
    {0x6A9283A5, tag::kAltSector}, // alternate sectors
    {0x6A945A3B, tag::kReserved},  // reserved
    {0x6A96237F, tag::kReserved},  // the family's "unassigned", never written as such
    {0x6A8D2AC7, tag::kReserved},  // once "stand"
    {0x6A9630D1, tag::kReserved},  // Symantec
    {0x6A980767, tag::kReserved},  // Symantec
};

// Appends code point cp as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string DecodeName(std::span<const uint8_t> units) {
    std::string out;
    for (size_t i = 0; i + 1 < units.size(); i += 2) {
        uint32_t u = uint32_t{units[i]} | uint32_t{units[i + 1]} << 8;
        if (u == 0)
            break;
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < units.size()) {
            const uint32_t lo = uint32_t{units[i + 2]} | uint32_t{units[i + 3]} << 8;
            if (lo >= 0xDC00 && lo < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            } else {
                u = 0xFFFD;
            }
        } else if (u >= 0xD800 && u < 0xE000) {
            u = 0xFFFD; // a lone surrogate
        }
        AppendUtf8(out, u);
    }
    return out;
}

} // namespace

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
    crc = ~crc;
    for (const uint8_t b : bytes)
        crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string GuidText(const Guid& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
    return buf;
}

bool IsZeroGuid(const Guid& g) {
    for (const uint8_t b : g)
        if (b != 0)
            return false;
    return true;
}

Result<EfiHeader> DecodeEfiHeader(std::span<const uint8_t> s) {
    if (s.size() < efi::kHeaderMinSize || std::memcmp(s.data(), "EFI PART", 8) != 0)
        return Error{"no \"EFI PART\" signature"};
    const uint32_t size = ReadLe32(s, 12);
    if (size < efi::kHeaderMinSize || size > s.size())
        return Error{"header size " + std::to_string(size) + " is not 92 to a sector"};
    std::vector<uint8_t> copy(s.begin(), s.begin() + size);
    std::memset(copy.data() + kHeaderCrcAt, 0, 4);
    if (Crc32(copy) != ReadLe32(s, kHeaderCrcAt))
        return Error{"the header's CRC-32 is wrong"};
    EfiHeader h;
    h.myLba = ReadLe64(s, 24);
    h.alternateLba = ReadLe64(s, 32);
    h.firstUsableLba = ReadLe64(s, 40);
    h.lastUsableLba = ReadLe64(s, 48);
    h.entriesLba = ReadLe64(s, 72);
    h.entryCount = ReadLe32(s, 80);
    h.entrySize = ReadLe32(s, 84);
    h.entriesCrc = ReadLe32(s, 88);
    if (h.entrySize < efi::kEntryMinSize || h.entrySize % 8 != 0)
        return Error{"partition entries of " + std::to_string(h.entrySize) + " bytes"};
    if (h.entryCount == 0 || h.entryCount > efi::kMaxEntries ||
        uint64_t{h.entryCount} * h.entrySize > efi::kMaxEntryArrayBytes)
        return Error{std::to_string(h.entryCount) + " partition entries"};
    if (h.firstUsableLba > h.lastUsableLba)
        return Error{"the usable sectors end before they begin"};
    return h;
}

Result<std::vector<EfiPartition>> DecodeEfiEntries(const EfiHeader& h,
                                                   std::span<const uint8_t> array) {
    const size_t bytes = size_t{h.entryCount} * h.entrySize;
    if (array.size() < bytes)
        return Error{"the partition entries are cut short"};
    if (Crc32(array.first(bytes)) != h.entriesCrc)
        return Error{"the partition entries' CRC-32 is wrong"};
    std::vector<EfiPartition> out;
    for (uint32_t i = 0; i < h.entryCount; ++i) {
        const auto e = array.subspan(size_t{i} * h.entrySize, h.entrySize);
        EfiPartition p;
        p.index = i;
        std::memcpy(p.type.data(), e.data(), 16);
        if (IsZeroGuid(p.type))
            continue;
        std::memcpy(p.unique.data(), e.data() + 16, 16);
        p.firstLba = ReadLe64(e, 32);
        p.lastLba = ReadLe64(e, 40);
        p.attributes = ReadLe64(e, 48);
        p.name = DecodeName(e.subspan(kEntryNameAt, kEntryNameUnits * 2));
        if (p.lastLba < p.firstLba || p.firstLba < h.firstUsableLba || p.lastLba > h.lastUsableLba)
            return Error{"partition " + std::to_string(i + 1) + " lies outside the usable sectors"};
        out.push_back(std::move(p));
    }
    return out;
}

uint16_t SolarisTagOfType(const Guid& g) {
    if (std::memcmp(g.data() + 4, kSunTail, sizeof kSunTail) == 0) {
        const uint32_t first = ReadLe32(g, 0);
        for (const SunType& t : kSunTypes)
            if (t.first == first)
                return t.tag;
        return tag::kUnassigned;
    }
    const std::string text = GuidText(g);
    if (text == "C12A7328-F81F-11D2-BA4B-00A0C93EC93B")
        return tag::kSystem;
    if (text == "21686148-6449-6E6F-744E-656564454649")
        return tag::kBiosBoot;
    return tag::kUnassigned;
}

} // namespace trevik
