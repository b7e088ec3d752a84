#include "recovery/output_names.h"

#include "ufs/names.h"

#include <algorithm>
#include <cstdint>

namespace trevik {

std::string SafeFileName(std::string_view raw) {
    std::string name(raw);
    for (char& c : name) {
        if (c == '/' || c == '\0')
            c = '_';
    }
    if (name.empty())
        return "_";
    if (name == "." || name == "..")
        return "_" + name;
    return name;
}

std::string OutputName(std::string_view raw, bool rawNames) {
    return SafeFileName(rawNames ? std::string(raw) : DisplayName(raw));
}

namespace {

// Backs `at` off to the start of the UTF-8 sequence it falls in.
size_t CharBoundary(const std::string& s, size_t at) {
    for (int back = 0; at > 0 && at < s.size() && back < 3; ++back) {
        if ((static_cast<uint8_t>(s[at]) & 0xC0) != 0x80)
            break;
        --at;
    }
    return at;
}

// stem + suffix + extension within `maxBytes`: the stem is cut, the extension kept while
// it is short enough to leave room for a name.
std::string Compose(const std::string& name, const std::string& suffix, size_t maxBytes) {
    const size_t dot = name.rfind('.');
    const size_t extAt = dot == std::string::npos || dot == 0 ? name.size() : dot;
    std::string stem = name.substr(0, extAt);
    std::string extension = name.substr(extAt);
    if (stem.size() + suffix.size() + extension.size() > maxBytes) {
        if (extension.size() + suffix.size() >= maxBytes / 2) {
            stem = name;
            extension.clear();
        }
        const size_t room = maxBytes > suffix.size() + extension.size()
                                ? maxBytes - suffix.size() - extension.size()
                                : 0;
        stem.resize(CharBoundary(stem, std::min(room, stem.size())));
    }
    return SafeFileName(stem + suffix + extension);
}

} // namespace

std::string FitName(const std::string& name, size_t maxBytes) {
    return name.size() <= maxBytes ? name : Compose(name, "", maxBytes);
}

std::string DuplicateName(const std::string& name, uint32_t k, size_t maxBytes) {
    return Compose(name, " (" + std::to_string(k) + ")", maxBytes);
}

std::string BaseOutputName(const std::string& shown, size_t nameMax) {
    return FitName(SafeFileName(shown), nameMax);
}

std::string NameClaims::RunName(const std::string& base) {
    if (claimed_.count(base) == 0)
        return base;
    uint32_t& k = nextSuffix_[base];
    for (;;) {
        std::string candidate = DuplicateName(base, ++k, nameMax);
        if (claimed_.count(candidate) == 0)
            return candidate;
    }
}

std::string NameClaims::FreeName(const std::string& base,
                                 const std::function<bool(const std::string&)>& taken) {
    uint32_t& k = nextSuffix_[base];
    for (;;) {
        std::string candidate = DuplicateName(base, ++k, nameMax);
        if (claimed_.count(candidate) == 0 && !taken(candidate))
            return candidate;
    }
}

} // namespace trevik
