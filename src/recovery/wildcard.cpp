#include "recovery/wildcard.h"

#include <string>

namespace trevik {

std::string ToUpperName(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

namespace {

// `pattern` against `name` as a whole: '*' any run of characters (also none), '?' one
// character. With `prefixOnly` the pattern need only match the name's beginning. The
// classic two-pointer walk: on a mismatch the last '*' takes one more character, so the
// work is bounded by |name| x |pattern| whatever the pattern holds.
bool Glob(std::string_view name, std::string_view pattern, bool prefixOnly) {
    size_t n = 0, p = 0;
    size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p == pattern.size() && prefixOnly) {
            return true;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace

int MatchWildcard(std::string_view name, std::string_view pattern) {
    if (name.empty() || pattern.empty()) {
        return 0;
    }
    if (pattern.find_first_not_of('*') == std::string_view::npos) {
        return 1; // "*", and a run of them
    }
    if (pattern == "*.*") {
        return name.find('.') != std::string_view::npos ? 1 : 0;
    }
    const bool hasStar = pattern.find('*') != std::string_view::npos;
    if (!hasStar && pattern.find('?') == std::string_view::npos) {
        return name.find(pattern) != std::string_view::npos ? 1 : 0;
    }
    // With '?' alone the pattern is anchored at the start only; with a '*' at both ends.
    return Glob(name, pattern, !hasStar) ? 1 : 0;
}

} // namespace trevik
