#pragma once

#include "format/hex.h"

#include <string>
#include <string_view>

namespace trevik {

// Names are kept as the bytes found on disk. Shown as they are when they are valid
// UTF-8, else read as ISO-8859-1.
bool IsValidUtf8(std::string_view bytes);
std::string DisplayName(std::string_view bytes);
// DisplayName(bytes) appended to `out`, with no allocation of its own.
void AppendDisplayName(std::string& out, std::string_view bytes);

// Text made safe to print on a terminal, C-style: backslash, C0 and C1 control
// characters (U+0000-U+001F, U+007F-U+009F, which is what bytes 0x80-0x9F of a name read
// as ISO-8859-1 become) and bytes that are not UTF-8 are escaped ("\\", "\n", "\x1b").
std::string TerminalSafe(std::string_view text);
// TerminalSafe(text) appended to `out`: plain text is copied in runs.
void AppendTerminalSafe(std::string& out, std::string_view text);

} // namespace trevik
