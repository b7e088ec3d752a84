#include "ufs/log_replay.h"

#include "format/ufs_log.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>

namespace trevik {
namespace {

using namespace ufs;

// One delta of the log, its payload kept in the scan's arena.
struct Delta {
    int64_t mof = 0;
    uint32_t nb = 0;
    uint32_t type = 0;
    size_t payloadAt = 0;
    bool cancelled = false;
};

// Cancellations are looked up by offset; a log that makes a scan compare more than this
// many deltas against its cancellations is no log Solaris wrote.
constexpr uint64_t kCancelWorkBudget = 64ull << 20;

// Walks the log forward from its head, as Solaris's own scan does: sector by sector while
// the trailers' idents follow on, delta by delta while the headers are plausible.
class LogScanner {
public:
    LogScanner(SectorReader& reader, uint64_t volumeStart, uint64_t volumeBytes,
               const std::vector<LogExtent>& extents, const LogState& state)
        : reader_(reader), volumeStart_(volumeStart), volumeBytes_(volumeBytes), extents_(extents),
          state_(state), bol_(static_cast<uint64_t>(state.bolLof)),
          eol_(static_cast<uint64_t>(state.eolLof)),
          headSector_(LogSectorOf(static_cast<uint64_t>(state.headLof))),
          logSectors_((eol_ - bol_) / kSectorSize) {}

    void Run(LogReport& report);
    std::shared_ptr<ReadOverlay> Overlay();

private:
    // Copies `n` bytes of deltas from `lof` on, skipping trailers and wrapping at the end;
    // false where the valid log ends (or a sector cannot be read: `failed_`).
    bool ReadBytes(uint64_t& lof, uint8_t* out, size_t n);
    bool Load(uint64_t sector);
    void Commit();
    void CancelWithin(int64_t mof, uint32_t nb);

    SectorReader& reader_;
    const uint64_t volumeStart_;
    const uint64_t volumeBytes_;
    const std::vector<LogExtent>& extents_;
    const LogState state_;
    const uint64_t bol_, eol_, headSector_, logSectors_;

    // Log sectors are read in runs (those that follow on in one extent): a window of them.
    static constexpr uint32_t kWindowSectors = 256;
    std::vector<uint8_t> window_;
    uint64_t windowFirst_ = UINT64_MAX; // its first log sector
    uint64_t windowCount_ = 0;
    std::span<const uint8_t, kSectorSize> Sector(uint64_t sector) const {
        return std::span<const uint8_t, kSectorSize>(
            window_.data() + (sector - windowFirst_) * kSectorSize, kSectorSize);
    }
    bool FillWindow(uint64_t sector);
    uint64_t loaded_ = UINT64_MAX; // the log sector deltas are read from now
    uint64_t loads_ = 0;
    std::string failed_; // why the scan could not go on, when it is damage
    uint64_t failedSector_ = 0;

    // The deltas' payloads, one after another: never more than the log holds, so taken at
    // once (the pages are touched only as payloads arrive).
    std::shared_ptr<uint8_t[]> payload_;
    size_t payloadSize_ = 0;
    std::vector<Delta> deltas_;
    size_t committed_ = 0; // deltas_[0, committed_) belong to committed transactions
    uint32_t transactions_ = 0;
    std::multimap<int64_t, size_t> live_; // deltas not cancelled, by offset
    std::vector<size_t> cancelledByOpen_; // by the transaction not yet committed
    uint64_t cancelWork_ = 0;
};

bool LogScanner::FillWindow(uint64_t sector) {
    const auto physical = LogToVolumeSector(extents_, sector);
    if (!physical) {
        failed_ = "the log's extents do not map log sector " + std::to_string(sector);
        return false;
    }
    // As far as the extent and the circle go on in one piece.
    uint64_t count = std::min<uint64_t>(kWindowSectors, eol_ / kSectorSize - sector);
    for (const LogExtent& e : extents_) {
        if (sector >= e.lbno && sector < uint64_t{e.lbno} + e.nbno)
            count = std::min<uint64_t>(count, uint64_t{e.lbno} + e.nbno - sector);
    }
    window_.resize(count * kSectorSize);
    windowFirst_ = sector;
    windowCount_ = count;
    const uint64_t disk = volumeStart_ + *physical;
    if (!reader_.Read(disk, window_).Whole()) {
        // What comes before the first sector that failed is sound.
        uint64_t sound = 0;
        while (sound < count && !reader_.KnownBad(disk + sound))
            ++sound;
        windowCount_ = sound;
        if (sound == 0) {
            failed_ = "log sector " + std::to_string(disk) + " cannot be read";
            failedSector_ = disk;
            return false;
        }
    }
    return true;
}

bool LogScanner::Load(uint64_t sector) {
    if (sector == loaded_)
        return true;
    if (sector < windowFirst_ || sector >= windowFirst_ + windowCount_) {
        if (!FillWindow(sector))
            return false;
    }
    const SectorTrailer t = DecodeTrailer(Sector(sector));
    if (t.ident != ExpectedIdent(sector, headSector_, state_.headIdent, bol_ / kSectorSize,
                                 eol_ / kSectorSize))
        return false; // where the valid log ends
    if (++loads_ > logSectors_) {
        failed_ = "the log's sectors run on past its size";
        return false;
    }
    loaded_ = sector;
    return true;
}

bool LogScanner::ReadBytes(uint64_t& lof, uint8_t* out, size_t n) {
    while (n > 0) {
        if (lof >= eol_)
            lof = bol_ + (lof - eol_);
        if (!Load(LogSectorOf(lof)))
            return false;
        const size_t take = std::min<size_t>(BytesLeftInLogSector(lof), n);
        if (out != nullptr) {
            std::copy_n(Sector(LogSectorOf(lof)).begin() +
                            static_cast<std::ptrdiff_t>(lof % kSectorSize),
                        take, out);
            out += take;
        }
        n -= take;
        lof += take;
        if (BytesLeftInLogSector(lof) == 0)
            lof += kLogTrailerSize;
    }
    return true;
}

void LogScanner::CancelWithin(int64_t mof, uint32_t nb) {
    const int64_t end = mof + nb;
    for (auto it = live_.lower_bound(mof); it != live_.end() && it->first < end;) {
        if (++cancelWork_ > kCancelWorkBudget) {
            failed_ = "the log cancels more than a log can hold";
            return;
        }
        Delta& d = deltas_[it->second];
        if (d.mof + static_cast<int64_t>(d.nb) <= end) {
            d.cancelled = true;
            cancelledByOpen_.push_back(it->second);
            it = live_.erase(it);
        } else {
            ++it;
        }
    }
}

void LogScanner::Commit() {
    committed_ = deltas_.size();
    cancelledByOpen_.clear();
    ++transactions_;
}

void LogScanner::Run(LogReport& report) {
    uint64_t lof = static_cast<uint64_t>(state_.headLof);
    for (;;) {
        std::array<uint8_t, kDeltaHeaderSize> raw{};
        if (!ReadBytes(lof, raw.data(), raw.size()))
            break;
        const DeltaHeader h = DecodeDeltaHeader(raw);
        if (!IsPlausibleDelta(h) ||
            static_cast<uint64_t>(h.mof) + static_cast<uint64_t>(h.nb) > volumeBytes_)
            break;
        const auto nb = static_cast<uint32_t>(h.nb);
        if (h.type == kDtCommit) {
            Commit();
            if (lof % kSectorSize != 0) // the next transaction starts a sector
                lof += BytesLeftInLogSector(lof) + kLogTrailerSize;
            continue;
        }
        if (h.type == kDtCancel) {
            CancelWithin(h.mof, nb);
            if (!failed_.empty())
                break;
            continue;
        }
        Delta d{h.mof, nb, h.type, payloadSize_, false};
        if (HasPayload(h.type)) {
            // Room for nb more: what a lap of the log can hold (the scan stops after one).
            if (!payload_)
                payload_.reset(new uint8_t[(logSectors_ + 1) * kLogSectorPayload + kMaxDeltaBytes]);
            if (payloadSize_ + nb > (logSectors_ + 1) * kLogSectorPayload + kMaxDeltaBytes ||
                !ReadBytes(lof, payload_.get() + payloadSize_, nb))
                break;
            payloadSize_ += nb;
        }
        live_.emplace(d.mof, deltas_.size());
        deltas_.push_back(d);
    }
    // The transaction left open is not replayed, nor are its cancellations.
    for (const size_t k : cancelledByOpen_)
        deltas_[k].cancelled = false;
    deltas_.resize(committed_);
    report.transactions = transactions_;
    const uint64_t head = static_cast<uint64_t>(state_.headLof);
    report.scannedBytes = lof >= head ? lof - head : (eol_ - head) + (lof - bol_);
    for (const Delta& d : deltas_) {
        if (!d.cancelled) {
            ++report.deltas;
            report.bytes += d.nb;
        }
    }
    if (!failed_.empty()) {
        report.status = LogStatus::Damaged;
        report.reason = failed_;
        report.damagedSector = failedSector_;
    } else {
        report.status = transactions_ == 0 ? LogStatus::Rolled : LogStatus::Replayed;
    }
}

std::shared_ptr<ReadOverlay> LogScanner::Overlay() {
    auto overlay = std::make_shared<ReadOverlay>();
    const uint64_t base = volumeStart_ * kSectorSize;
    // The payloads stay where the scan put them; the overlay holds them.
    const ReadOverlay::Arena arena = std::move(payload_);
    for (const Delta& d : deltas_) { // in log order: later deltas win
        if (d.cancelled)
            continue;
        const uint64_t at = base + static_cast<uint64_t>(d.mof);
        if (d.type == kDtAbZero)
            overlay->PutZeros(at, d.nb);
        else
            overlay->Put(at, arena, d.payloadAt, d.nb);
    }
    return overlay->Empty() ? nullptr : overlay;
}

} // namespace

const char* LogStatusName(LogStatus status) {
    switch (status) {
    case LogStatus::None:
        return "none";
    case LogStatus::Rolled:
        return "rolled";
    case LogStatus::Replayed:
        return "replayed";
    case LogStatus::Damaged:
        return "damaged";
    case LogStatus::Ignored:
        return "ignored";
    }
    return "none";
}

bool InLog(const LogReport& log, uint64_t sector) {
    auto it = std::upper_bound(log.sectors.begin(), log.sectors.end(), sector,
                               [](uint64_t s, const auto& r) { return s < r.first; });
    return it != log.sectors.begin() && sector < std::prev(it)->second;
}

LogReplay ReplayLog(SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                    std::span<const uint8_t> superblock, uint32_t blockSize, bool apply) {
    LogReplay out;
    LogReport& r = out.report;
    const LogFields f = DecodeLogFields(superblock);
    r.needsRoll = f.rolled == kFsNeedRoll;
    r.reclaim = (f.reclaim & kFsReclaim) != 0;
    if (!f.logging)
        return out;
    // Told to leave the log alone, a log that cannot be read is nothing to warn about: only
    // where it lies is still looked for, so that its blocks are never taken for data.
    auto damaged = [&](std::string why) {
        r.status = apply ? LogStatus::Damaged : LogStatus::Ignored;
        if (apply)
            r.reason = std::move(why);
        else
            r.damagedSector = 0;
        return out;
    };
    // The extent block: one file-system block at fs_logbno.
    const uint32_t blockSectors = std::max<uint32_t>(blockSize / kSectorSize, 1);
    if (f.logbno + blockSectors > volumeSectors)
        return damaged("the log's extent block lies outside the volume");
    r.sectors.emplace_back(volumeStart + f.logbno, volumeStart + f.logbno + blockSectors);
    std::vector<uint8_t> block(size_t{blockSectors} * kSectorSize);
    if (!reader.Read(volumeStart + f.logbno, block).Whole()) {
        r.damagedSector = volumeStart + f.logbno;
        return damaged("the log's extent block cannot be read");
    }
    auto extents = DecodeExtentBlock(block, f.unitSectors);
    if (!extents)
        return damaged(extents.error());
    uint64_t logSectors = 0;
    for (const LogExtent& e : *extents) {
        if (e.pbno + e.nbno > volumeSectors) {
            r.sectors.clear();
            return damaged("the log's extents lie outside the volume");
        }
        r.sectors.emplace_back(volumeStart + e.pbno, volumeStart + e.pbno + e.nbno);
        logSectors += e.nbno;
    }
    std::sort(r.sectors.begin(), r.sectors.end());
    if (!apply) {
        r.status = LogStatus::Ignored;
        return out;
    }
    // The state, or its copy in the next sector.
    std::optional<LogState> state;
    std::string why = "the log's state sectors cannot be read";
    for (uint32_t copy = 0; copy < kLogStateSectors && !state; ++copy) {
        const auto physical = LogToVolumeSector(*extents, copy);
        std::array<uint8_t, kSectorSize> s{};
        if (!physical || !reader.Read(volumeStart + *physical, s).Whole())
            continue;
        const LogState candidate = DecodeLogState(s);
        if (const auto problem = CheckLogState(candidate, logSectors * kSectorSize)) {
            why = *problem;
            continue;
        }
        state = candidate;
    }
    if (!state)
        return damaged(why);
    if (state->badlog != 0)
        return damaged("Solaris marked the log bad (badlog)");
    LogScanner scan(reader, volumeStart, volumeSectors * kSectorSize, *extents, *state);
    scan.Run(r);
    out.overlay = scan.Overlay();
    return out;
}

} // namespace trevik
