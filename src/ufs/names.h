#pragma once

#include <string>
#include <string_view>

namespace trevik {

// Names are kept as the bytes found on disk. Shown as they are when they are valid
// UTF-8, else read as ISO-8859-1.
bool IsValidUtf8(std::string_view bytes);
std::string DisplayName(std::string_view bytes);

// Lower-case hex of raw bytes.
std::string HexBytes(std::string_view bytes);

} // namespace trevik
