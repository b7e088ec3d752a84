#include "format/device_id.h"

#include "format/big_endian.h"
#include "format/hex.h"

#include <algorithm>

namespace trevik::devid {
namespace {

bool Printable(std::span<const uint8_t> id) {
    return !id.empty() &&
           std::all_of(id.begin(), id.end(), [](uint8_t c) { return c >= 0x20 && c < 0x7f; });
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Runs of spaces as one; none at either end.
std::string Squeezed(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

} // namespace

std::optional<DeviceId> DecodeDeviceId(std::span<const uint8_t> b) {
    if (b.size() < kHeaderSize || b[0] != 'i' || b[1] != 'd' || b[2] != 0 || b[3] != 1)
        return std::nullopt;
    DeviceId d;
    d.type = ReadBe16(b, 4);
    const size_t length = ReadBe16(b, 6);
    if (d.type < kScsi3Wwn || d.type > kScsi3VpdNaa || length == 0 ||
        length > b.size() - kHeaderSize)
        return std::nullopt;
    for (size_t i = 8; i < kHeaderSize && b[i] != 0; ++i)
        d.driver += static_cast<char>(b[i]);
    d.id.assign(b.begin() + kHeaderSize, b.begin() + static_cast<long>(kHeaderSize + length));
    d.raw.assign(b.begin(), b.begin() + static_cast<long>(kHeaderSize + length));
    return d;
}

std::optional<DeviceId> DecodeStoredDeviceId(std::span<const uint8_t> sector) {
    constexpr size_t kBlock = 512, kChecksumAt = kBlock - 4;
    if (sector.size() < kBlock || sector[0] != 0 || sector[1] != 1)
        return std::nullopt;
    uint32_t sum = 0;
    for (size_t at = 0; at < kChecksumAt; at += 4)
        sum ^= ReadBe32(sector, at);
    if (sum != ReadBe32(sector, kChecksumAt))
        return std::nullopt;
    return DecodeDeviceId(sector.subspan(3, kStoredIdSize));
}

std::string DeviceIdText(const DeviceId& d) {
    static constexpr char kLetters[] = "?wsfeatxn";
    char letter = kLetters[d.type <= kScsi3VpdNaa ? d.type : 0];
    const bool binary = d.type == kScsi3Wwn || d.type == kFabricated || d.type == kScsi3VpdEui ||
                        d.type == kScsi3VpdNaa;
    std::string text;
    if (!binary && Printable(d.id)) {
        letter = static_cast<char>(letter - 'a' + 'A');
        for (uint8_t c : d.id)
            text += c == ' ' ? '_' : static_cast<char>(c);
    } else {
        text = HexBytes(d.id);
    }
    return "id1," + d.driver + "@" + letter + text;
}

bool SameDeviceAsWwid(const DeviceId& d, const std::string& wwid) {
    const size_t dot = wwid.find('.');
    if (dot == std::string::npos)
        return false;
    const std::string scheme = Lower(wwid.substr(0, dot));
    std::string value = wwid.substr(dot + 1);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ' || value.back() == 0))
        value.pop_back();
    if (scheme == "naa")
        return (d.type == kScsi3Wwn || d.type == kScsi3VpdNaa) && Lower(value) == HexBytes(d.id);
    if (scheme == "eui")
        return d.type == kScsi3VpdEui && Lower(value) == HexBytes(d.id);
    if (scheme == "t10")
        return d.type == kScsi3VpdT10 &&
               Squeezed(value) == Squeezed(std::string(d.id.begin(), d.id.end()));
    return false;
}

} // namespace trevik::devid
