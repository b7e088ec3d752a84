#pragma once

// Lower-case hex of raw bytes: names kept as the disk has them, digests, device ids.

#include <span>
#include <string>
#include <string_view>

namespace trevik {

// Writes 2 * bytes.size() characters at `o`; returns where they end.
inline char* WriteHex(char* o, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        *o++ = kDigits[c >> 4];
        *o++ = kDigits[c & 15];
    }
    return o;
}

inline void AppendHex(std::string& out, std::string_view bytes) {
    const size_t at = out.size();
    out.resize(at + bytes.size() * 2);
    WriteHex(out.data() + at, bytes);
}

inline std::string HexBytes(std::string_view bytes) {
    std::string out;
    AppendHex(out, bytes);
    return out;
}

inline std::string HexBytes(std::span<const uint8_t> bytes) {
    return HexBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

} // namespace trevik
