#include "disk/ddrescue_map.h"

#include "format/sector.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace trevik {
namespace {

bool ParseNumber(const std::string& text, uint64_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') {
        return false;
    }
    out = v;
    return true;
}

std::string Hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08" PRIX64, v);
    return buf;
}

} // namespace

Result<DdrescueMap> ReadDdrescueMap(std::string_view text) {
    std::vector<BadSectorMap::Range> bad;
    std::vector<std::pair<uint64_t, uint64_t>> blocks; // every block: position, end
    std::istringstream in{std::string(text)};
    std::string line;
    size_t lineNo = 0;
    bool statusSeen = false;
    while (std::getline(in, line)) {
        ++lineNo;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) {
            if (w[0] == '#')
                break;
            f.push_back(w);
        }
        auto fail = [&](const char* what) {
            return Error{"line " + std::to_string(lineNo) + ": " + what};
        };
        uint64_t pos = 0;
        uint64_t size = 0;
        if (!statusSeen) {
            // current_pos current_status [current_pass]
            if (f.size() < 2 || f.size() > 3 || !ParseNumber(f[0], pos) || f[1].size() != 1 ||
                std::strchr("?*/-FG+", f[1][0]) == nullptr) {
                return fail("not the status line of a ddrescue mapfile");
            }
            statusSeen = true;
            continue;
        }
        if (f.size() != 3 || !ParseNumber(f[0], pos) || !ParseNumber(f[1], size) ||
            f[2].size() != 1 || std::strchr("?*/-+", f[2][0]) == nullptr) {
            return fail("not a block line (position, size, one of ?*/-+)");
        }
        if (size > UINT64_MAX - pos) {
            return fail("the block runs past the largest position");
        }
        if (size != 0)
            blocks.emplace_back(pos, pos + size);
        if (f[2][0] != '+' && size != 0) {
            const uint64_t firstSector = pos / kSectorSize;
            const uint64_t endSector = (pos + size + kSectorSize - 1) / kSectorSize;
            bad.push_back({firstSector, endSector});
        }
    }
    if (!statusSeen) {
        return Error{"no ddrescue status line"};
    }
    // What no block names was never tried: as unreadable as what a block calls so.
    DdrescueMap map;
    std::sort(blocks.begin(), blocks.end());
    uint64_t covered = 0;
    for (const auto& [from, to] : blocks) {
        if (from > covered)
            bad.push_back({covered / kSectorSize, (from + kSectorSize - 1) / kSectorSize});
        covered = std::max(covered, to);
    }
    map.unfinished = std::move(bad);
    map.extentBytes = covered;
    return map;
}

Result<std::vector<BadSectorMap::Range>> ParseDdrescueMap(std::string_view text) {
    auto map = ReadDdrescueMap(text);
    if (!map)
        return Error{map.error()};
    return std::move(map->unfinished);
}

std::string FormatDdrescueMap(const std::vector<BadSectorMap::Range>& bad, uint64_t deviceBytes) {
    std::string out = "# Mapfile. Created by trevik\n"
                      "# current_pos  current_status  current_pass\n" +
                      Hex(0) + "     +               1\n" + "#      pos        size  status\n";
    auto block = [&](uint64_t from, uint64_t to, char status) {
        if (to > from) {
            out += Hex(from) + "  " + Hex(to - from) + "  " + status + "\n";
        }
    };
    uint64_t at = 0;
    for (const auto& r : bad) {
        const uint64_t from = std::min(r.first * kSectorSize, deviceBytes);
        const uint64_t to = std::min(r.end * kSectorSize, deviceBytes);
        block(at, from, '+');
        block(std::max(at, from), to, '-');
        at = std::max(at, to);
    }
    block(at, deviceBytes, '+');
    return out;
}

Status LoadDdrescueMap(const std::string& path, BadSectorMap& map, uint64_t* extentBytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Error{"Cannot read " + path + ": " + std::strerror(errno)};
    }
    std::ostringstream text;
    text << in.rdbuf();
    const auto parsed = ReadDdrescueMap(text.str());
    if (!parsed) {
        return Error{path + ": " + parsed.error()};
    }
    for (const auto& r : parsed->unfinished) {
        map.Add(r.first, r.end - r.first);
    }
    if (extentBytes != nullptr)
        *extentBytes = parsed->extentBytes;
    return Ok();
}

Status SaveDdrescueMap(const std::string& path, const BadSectorMap& map, uint64_t deviceBytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        out << FormatDdrescueMap(map.Ranges(), deviceBytes);
        out.flush();
    }
    if (!out) {
        return Error{"Cannot write " + path + ": " + std::strerror(errno)};
    }
    return Ok();
}

} // namespace trevik
