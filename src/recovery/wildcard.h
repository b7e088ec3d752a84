#pragma once

#include <string>
#include <string_view>

namespace trevik {

// The program's own name matcher, shared by the list filter and Find Files. Not a
// general glob: a pattern without wildcards matches any name that contains it, a
// pattern with '?' but no '*' is anchored at the start only, and after a '*' the last
// run of literals is matched against the end of the name. Both arguments must already
// be upper-cased with ToUpperName. Returns 1 on a match, else 0.
int MatchWildcard(std::string_view name, std::string_view pattern);

// The one upper-casing used for names, filters and search texts: a to z become A to Z,
// every other byte is kept.
std::string ToUpperName(std::string_view text);

} // namespace trevik
