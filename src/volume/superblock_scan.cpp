#include "volume/superblock_scan.h"

#include "format/big_endian.h"
#include "format/ufs_format.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace trevik {
namespace {

SectorFetch FetchFrom(SectorReader& reader) {
    return [&reader](uint64_t sector, std::span<uint8_t, kSectorSize> out) {
        return reader.Read(sector, out).Whole();
    };
}

} // namespace

std::optional<SuperblockHit> ConfirmSuperblock(SectorReader& reader, uint64_t magicSector) {
    return ConfirmSuperblock(magicSector, FetchFrom(reader));
}

ScanOutcome ScanForVolumes(SectorReader& reader, const ScanOptions& options, VolumeTable& table,
                           std::atomic<bool>& stopRequested, ScanObserver* observer) {
    stopRequested.store(false);
    table.Clear();
    const uint32_t runLength = std::clamp<uint32_t>(options.sectorsPerRead, 1, 100);
    // The disk is read in batches of whole runs, about 128 KiB each: a clean disk streams at
    // the speed of a plain copy, and a batch that fails is re-read sector by sector by the
    // reader at once. The runs are the scan's steps: progress and stops go by them.
    const uint32_t batchLength = runLength * std::max<uint32_t>(1, kScanBatchSectors / runLength);
    std::vector<uint8_t> batch(size_t{batchLength} * kSectorSize, 0);
    uint64_t batchStart = 0;
    uint64_t batchEnd = 0; // nothing loaded

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

        if (cur >= reader.TotalSectors()) {
            // Past the end of the disk nothing can be found: the rest of the range is done.
            if (observer != nullptr) {
                observer->OnScanProgress({end, total, total, 100});
            }
            return ScanOutcome::Completed;
        }
        if (cur < batchStart || cur + runLength > batchEnd) {
            const uint64_t runsLeft = (end - cur + runLength - 1) / runLength;
            const auto count =
                static_cast<uint32_t>(std::min<uint64_t>(batchLength, runsLeft * runLength));
            reader.Read(cur, count, batch.data());
            batchStart = cur;
            batchEnd = cur + count;
        }
        const std::span<const uint8_t> run =
            std::span<const uint8_t>(batch).subspan((cur - batchStart) * kSectorSize);
        for (uint32_t i = 0; i < runLength; ++i) {
            if (stopRequested.load(std::memory_order_relaxed)) {
                break;
            }
            if (!HasMagicInThirdSector(
                    std::span(run).subspan(size_t{i} * kSectorSize, kSectorSize))) {
                continue;
            }
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
