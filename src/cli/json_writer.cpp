#include "cli/json_writer.h"

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

} // namespace

void AppendJsonString(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    size_t run = 0; // start of the bytes that are copied as they stand
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            const Utf8Step step = NextUtf8(s, i);
            if (step.valid) {
                i += step.length;
                continue;
            }
            out.append(s.substr(run, i - run));
            out += "\xEF\xBF\xBD";
            i += step.length;
            run = i;
            continue;
        }
        out.append(s.substr(run, i - run));
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        ++i;
        run = i;
    }
    out.append(s.substr(run));
    out += '"';
}

void JsonWriter::Flush() {
    if (!buf_.empty()) {
        std::fwrite(buf_.data(), 1, buf_.size(), out_);
        buf_.clear();
    }
    std::fflush(out_);
}

} // namespace trevik::cli
