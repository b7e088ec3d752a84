#pragma once

#include <string>
#include <string_view>

namespace trevik {

// The program's own name matcher, shared by the list filter and Find Files. A pattern
// without wildcards matches any name that contains it; "*" matches every name and "*.*"
// every name holding a '.'. Otherwise '*' stands for any run of characters (also none) and
// '?' for one: a pattern with a '*' must match the whole name, one with '?' alone its
// beginning. Both arguments must already be upper-cased with ToUpperName. Returns 1 on a
// match, else 0. Work is at most |name| x |pattern| steps.
int MatchWildcard(std::string_view name, std::string_view pattern);

// The one upper-casing used for names, filters and search texts: a to z become A to Z,
// every other byte is kept.
std::string ToUpperName(std::string_view text);

} // namespace trevik
