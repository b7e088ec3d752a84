#include "cli/json_writer.h"

#include <cstdint>
#include <cstring>

namespace trevik::cli {
namespace {

// The length of the well-formed UTF-8 sequence at s[i] (Unicode's table of well-formed
// byte sequences), or the number of bytes that began one before it went wrong (0 for a
// byte that cannot begin one).
struct Utf8Step {
    size_t length;
    bool valid;
};

Utf8Step NextUtf8(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = b(i);
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        lo = lead == 0xE0 ? 0xA0 : 0x80;
        hi = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        lo = lead == 0xF0 ? 0x90 : 0x80;
        hi = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false}; // a byte no sequence begins with: it alone is replaced
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            return {k, false}; // the string ends inside the sequence
        }
        const unsigned char c = b(i + k);
        if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) {
            return {k, false}; // the byte that broke it starts afresh
        }
    }
    return {need + 1, true};
}

// Where in s, from `i` on, the first byte is that JSON cannot take as it stands (a control
// character, '"', '\\') or that may be part of a multi-byte sequence; s.size() when none.
// Eight bytes at a time.
size_t PlainRunEnd(std::string_view s, size_t i) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    while (i + 8 <= s.size()) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        const uint64_t special = (w & kHigh) | ((w - kOnes * 0x20) & ~w & kHigh) |
                                 hasZero(w ^ (kOnes * '"')) | hasZero(w ^ (kOnes * '\\'));
        if (special != 0)
            break;
        i += 8;
    }
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\')
            break;
        ++i;
    }
    return i;
}

} // namespace

char* WriteJsonString(char* o, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    auto copy = [&o](std::string_view part) {
        std::memcpy(o, part.data(), part.size());
        o += part.size();
    };
    *o++ = '"';
    size_t run = 0; // start of the bytes that are copied as they stand
    size_t i = 0;
    while (i < s.size()) {
        i = PlainRunEnd(s, i);
        if (i == s.size())
            break;
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const Utf8Step step = NextUtf8(s, i);
            if (step.valid) {
                i += step.length;
                continue;
            }
            copy(s.substr(run, i - run));
            copy("\xEF\xBF\xBD");
            i += step.length;
            run = i;
            continue;
        }
        copy(s.substr(run, i - run));
        switch (c) {
        case '"':
            copy("\\\"");
            break;
        case '\\':
            copy("\\\\");
            break;
        case '\b':
            copy("\\b");
            break;
        case '\t':
            copy("\\t");
            break;
        case '\n':
            copy("\\n");
            break;
        case '\f':
            copy("\\f");
            break;
        case '\r':
            copy("\\r");
            break;
        default:
            copy("\\u00");
            *o++ = kHex[c >> 4];
            *o++ = kHex[c & 15];
        }
        ++i;
        run = i;
    }
    copy(s.substr(run));
    *o++ = '"';
    return o;
}

void AppendJsonString(std::string& out, std::string_view s) {
    const size_t at = out.size();
    out.resize(at + JsonStringRoom(s.size()));
    char* end = WriteJsonString(out.data() + at, s);
    out.resize(static_cast<size_t>(end - out.data()));
}

void JsonWriter::Flush() {
    if (!buf_.empty()) {
        std::fwrite(buf_.data(), 1, buf_.size(), out_);
        buf_.clear();
    }
    std::fflush(out_);
}

} // namespace trevik::cli
