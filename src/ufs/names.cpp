#include "ufs/names.h"

namespace trevik {

bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size())
            return false;
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // No overlong forms, surrogates or values past U+10FFFF.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

namespace {

bool AllAscii(std::string_view s) {
    for (char ch : s)
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    return true;
}

} // namespace

void AppendDisplayName(std::string& out, std::string_view bytes) {
    if (AllAscii(bytes) || IsValidUtf8(bytes)) {
        out.append(bytes);
        return;
    }
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

std::string DisplayName(std::string_view bytes) {
    std::string out;
    AppendDisplayName(out, bytes);
    return out;
}

void AppendTerminalSafe(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    auto escapeByte = [&](unsigned c) {
        out += "\\x";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    };
    for (size_t i = 0; i < text.size();) {
        // Printable ASCII, copied in one run.
        size_t run = i;
        while (run < text.size() && static_cast<unsigned char>(text[run]) >= 0x20 &&
               static_cast<unsigned char>(text[run]) < 0x7F && text[run] != '\\')
            ++run;
        if (run != i) {
            out.append(text.substr(i, run - i));
            i = run;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            escapeByte(c);
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            // One UTF-8 sequence, whole and valid, or a byte that is none.
            size_t len = (c & 0xE0) == 0xC0   ? 2
                         : (c & 0xF0) == 0xE0 ? 3
                         : (c & 0xF8) == 0xF0 ? 4
                                              : 0;
            if (len == 0 || i + len > text.size() || !IsValidUtf8(text.substr(i, len))) {
                escapeByte(c);
                ++i;
                continue;
            }
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            if (len == 2 && c == 0xC2 && c1 < 0xA0) {
                escapeByte(c1); // U+0080-U+009F: C1 controls
            } else {
                out.append(text.substr(i, len));
            }
            i += len;
            continue;
        }
        ++i;
    }
}

std::string TerminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendTerminalSafe(out, text);
    return out;
}

} // namespace trevik
