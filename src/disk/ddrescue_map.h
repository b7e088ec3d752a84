#pragma once

// GNU ddrescue mapfiles: what a rescue of a failing disk could not read, in the form
// ddrescue and ddrescuelog write and read.

#include "disk/bad_sector_map.h"
#include "format/result.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trevik {

// A mapfile as read: the sectors it does not mark finished, and how far it reaches.
struct DdrescueMap {
    // Areas not marked finished, and the gaps between its blocks (never tried either).
    std::vector<BadSectorMap::Range> unfinished;
    uint64_t extentBytes = 0; // where its last block ends: the size of the disk it maps
};
Result<DdrescueMap> ReadDdrescueMap(std::string_view text);

// The sectors a mapfile does not mark finished ('?' non-tried, '*' non-trimmed,
// '/' non-scraped, '-' bad), byte positions rounded outwards to whole sectors.
Result<std::vector<BadSectorMap::Range>> ParseDdrescueMap(std::string_view text);

// A mapfile of a device of `deviceBytes` bytes: '-' for the bad sectors, '+' for the rest.
std::string FormatDdrescueMap(const std::vector<BadSectorMap::Range>& bad, uint64_t deviceBytes);

// Adds a mapfile's unfinished areas to `map`. The error names the file and the line.
// `extentBytes`, when given, receives how far the map reaches.
Status LoadDdrescueMap(const std::string& path, BadSectorMap& map, uint64_t* extentBytes = nullptr);
Status SaveDdrescueMap(const std::string& path, const BadSectorMap& map, uint64_t deviceBytes);

} // namespace trevik
