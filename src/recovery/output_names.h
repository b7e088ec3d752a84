#pragma once

// The output-name policy: how a name from the disk becomes a name in a folder of the
// destination (or of the mounted view). One place decides it, so a name is written and
// mounted the same way.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace trevik {

// A name from the disk made safe to create in one folder: no '/', no NUL, never empty,
// "." or "..".
std::string SafeFileName(std::string_view raw);

// The name an item is written under, before any duplicate or length change: the name as
// shown (UTF-8; other bytes read as ISO-8859-1), or the disk's bytes with `rawNames`.
std::string OutputName(std::string_view raw, bool rawNames);

// A name cut to at most `maxBytes` bytes, keeping its extension, cut between characters.
std::string FitName(const std::string& name, size_t maxBytes);

// "name (k).ext" for the k-th duplicate of "name.ext", shortened to fit `maxBytes`.
std::string DuplicateName(const std::string& name, uint32_t k, size_t maxBytes = 255);

// The name an item shown as `shown` asks for in a folder whose names hold at most `nameMax`
// bytes, before the names already given there are known: made safe, then cut to fit.
std::string BaseOutputName(const std::string& shown, size_t nameMax = 255);

// The names given in one folder, and the next " (N)" to try per name: two items never get
// one name.
class NameClaims {
public:
    size_t nameMax = 255;

    // `base`, or its first " (N)" name not given yet.
    std::string RunName(const std::string& base);
    // The first " (N)" name of `base` neither given nor `taken` (already in the folder).
    std::string FreeName(const std::string& base,
                         const std::function<bool(const std::string&)>& taken);
    void Claim(const std::string& name) { claimed_.insert(name); }

private:
    std::unordered_set<std::string> claimed_;
    std::unordered_map<std::string, uint32_t> nextSuffix_;
};

} // namespace trevik
