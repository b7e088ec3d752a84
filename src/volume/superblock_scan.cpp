#include "volume/superblock_scan.h"

#include "ufs/big_endian.h"
#include "ufs/ufs_format.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace trevik {
namespace {

using Sector = std::array<uint8_t, kSectorBytes>;

// Offset of the magic inside the sector that holds it: the superblock's third sector.
constexpr uint32_t kMagicInSector = ufs::kMagicOffset - 2 * kSectorBytes; // 348

// The layout Solaris on SPARC writes: cylinder-group header 32 sectors after a primary
// superblock, 16 sectors after a group's superblock copy.
constexpr uint32_t kSolarisHeaderAfterPrimary = 32;
constexpr uint32_t kSolarisHeaderAfterCopy = 16;

bool ReadSector(SectorReader& reader, uint64_t sector, Sector& out) {
    out.fill(0);
    if (sector > UINT32_MAX) {
        return false; // sector arithmetic of the scan is 32-bit
    }
    return reader.Read(sector, 1, out.data()) == 1;
}

bool IsGroupHeader(SectorReader& reader, uint64_t sector, uint32_t wantIndex) {
    Sector s;
    if (!ReadSector(reader, sector, s)) {
        return false;
    }
    return s[5] == ufs::kCgMagicBytes[0] && s[6] == ufs::kCgMagicBytes[1] &&
           s[7] == ufs::kCgMagicBytes[2] && ReadBe32(s, ufs::cg::kCgx) == wantIndex;
}

} // namespace

// Candidate: the magic was seen in sector m, so a superblock would begin at b = m - 2.
std::optional<SuperblockHit> ConfirmSuperblock(SectorReader& reader, uint64_t m) {
    if (m < 2) {
        return std::nullopt;
    }
    const uint64_t b = m - 2;
    Sector sb;
    if (!ReadSector(reader, b, sb)) {
        return std::nullopt;
    }
    const uint32_t fsize = ReadBe32(sb, ufs::sb::kFsize);
    const uint64_t p = fsize >> 9; // sectors per fragment
    if (p == 0) {
        return std::nullopt;
    }
    const uint64_t sblkno = ReadBe32(sb, ufs::sb::kSblkno);
    const uint64_t cblkno = ReadBe32(sb, ufs::sb::kCblkno);
    const uint64_t fpg = ReadBe32(sb, ufs::sb::kFpg);
    const uint64_t ncg = ReadBe32(sb, ufs::sb::kNcg);
    const uint32_t cgoffset = ReadBe32(sb, ufs::sb::kCgoffset);
    const uint32_t cgmask = ReadBe32(sb, ufs::sb::kCgmask);
    const uint64_t size = std::min<uint64_t>(ncg * fpg * p, UINT32_MAX);

    // Primary superblock: 16 sectors into its volume, group 0's header after it.
    const bool primary = b >= ufs::kSuperblockSector &&
                         (IsGroupHeader(reader, b + kSolarisHeaderAfterPrimary, 0) ||
                          (cblkno * p != kSolarisHeaderAfterPrimary + ufs::kSuperblockSector &&
                           IsGroupHeader(reader, b - ufs::kSuperblockSector + cblkno * p, 0)));
    if (primary) {
        return SuperblockHit{static_cast<uint32_t>(b - ufs::kSuperblockSector),
                             static_cast<uint32_t>(size), static_cast<uint32_t>(b)};
    }

    // The copy in cylinder group 1, followed by that group's header. The volume starts
    // one group (plus group 1's stagger) and the copy's own offset before it.
    const bool backup = IsGroupHeader(reader, b + kSolarisHeaderAfterCopy, 1) ||
                        (cblkno > sblkno && (cblkno - sblkno) * p != kSolarisHeaderAfterCopy &&
                         IsGroupHeader(reader, b + (cblkno - sblkno) * p, 1));
    if (!backup) {
        return std::nullopt;
    }
    const uint64_t stagger = uint64_t{cgoffset} * (1u & ~cgmask);
    const uint64_t back = (fpg + stagger + sblkno) * p;
    if (back > b) {
        return std::nullopt;
    }
    return SuperblockHit{static_cast<uint32_t>(b - back), static_cast<uint32_t>(size),
                         static_cast<uint32_t>(b)};
}

ScanOutcome ScanForVolumes(SectorReader& reader, const ScanOptions& options, VolumeTable& table,
                           std::atomic<bool>& stopRequested, ScanObserver* observer) {
    stopRequested.store(false);
    table.Clear();
    const uint32_t runLength = std::clamp<uint32_t>(options.sectorsPerRead, 1, 100);
    std::vector<uint8_t> run(size_t{runLength} * kSectorBytes, 0);

    const uint64_t start = options.startSector;
    const uint64_t end = options.endSector;
    if (start >= end) {
        return ScanOutcome::Completed;
    }
    const uint64_t total = end - start;
    uint64_t cur = start;
    uint64_t done = 0;
    uint64_t acc = 0;
    auto lastReport = std::chrono::steady_clock::time_point{};
    bool first = true;

    while (!stopRequested.load(std::memory_order_relaxed)) {
        const bool last = cur + runLength >= end;
        const auto now = std::chrono::steady_clock::now();
        if (observer != nullptr &&
            (first || last || now - lastReport >= options.progressInterval)) {
            observer->OnScanProgress({cur, done, total, static_cast<uint32_t>(acc / total)});
            lastReport = now;
        }
        first = false;

        reader.Read(cur, runLength, run.data());
        for (uint32_t i = 0; i < runLength; ++i) {
            if (stopRequested.load(std::memory_order_relaxed)) {
                break;
            }
            const size_t at = size_t{i} * kSectorBytes + kMagicInSector;
            if (ReadBe32(run, at) != ufs::kMagic) {
                continue;
            }
            // A run that cannot be read leaves the buffer as the previous run left it; a
            // magic seen once must not be seen again at another sector.
            WriteBe32(run, at, 0);
            const auto found = ConfirmSuperblock(reader, cur + i);
            if (!found || table.HasStart(found->startSector)) {
                continue;
            }
            table.Append(found->startSector, found->sizeSectors, found->superblockSector);
            if (observer != nullptr) {
                observer->OnVolumeFound(table[table.Count() - 1], table.Count());
            }
            if (table.Count() >= VolumeTable::kScanLimit) {
                stopRequested.store(true);
                return ScanOutcome::LimitReached;
            }
        }
        if (stopRequested.load(std::memory_order_relaxed)) {
            break;
        }
        cur += runLength;
        done += runLength;
        acc += 100ull * runLength;
        if (cur >= end) {
            return ScanOutcome::Completed;
        }
    }
    return ScanOutcome::Stopped;
}

} // namespace trevik
