#include "log_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace trevik::imagebuilder {
namespace {

// The log's on-disk format, as ufs_log.h and lufs.c describe it.
constexpr uint32_t kSector = 512;
constexpr uint32_t kTrailer = 8;                  // st_tid, st_ident
constexpr uint32_t kPayload = kSector - kTrailer; // bytes of deltas a log sector holds
constexpr uint32_t kStateSectors = 2;
constexpr uint32_t kHeader = 16; // d_mof (64), d_nb, d_typ
constexpr uint32_t kSuperblockAt = 8192;
// Superblock fields.
constexpr uint32_t kFsRolled = 4;
constexpr uint32_t kFsTime = 32;
constexpr uint32_t kFsClean = 209;
constexpr uint32_t kFsLogbno = 1324;
constexpr uint32_t kFsReclaim = 1328;
constexpr uint32_t kFsState = 1336;
constexpr uint8_t kFsLog = 0xFD;
constexpr uint32_t kFsOkay = 0x7C269D38;

void Put32(std::span<uint8_t> b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void Put64(std::span<uint8_t> b, size_t at, uint64_t v) {
    Put32(b, at, static_cast<uint32_t>(v >> 32));
    Put32(b, at + 4, static_cast<uint32_t>(v));
}
uint32_t Get32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

uint64_t HowMany(uint64_t x, uint64_t y) {
    return (x + y - 1) / y;
}

void Mark(std::vector<bool>& v, uint64_t first, uint64_t count) {
    for (uint64_t f = first; f < first + count && f < v.size(); ++f)
        v[f] = true;
}

// Fragments a volume keeps its metadata in, and those its files' data are in.
void MarkVolume(const UfsVolume& vol, std::vector<bool>& meta, std::vector<bool>& data) {
    const UfsLayout& L = vol.layout;
    for (uint32_t c = 0; c < L.ncg; ++c) {
        const uint64_t first = c == 0 ? 0 : L.CgSuperblockFrag(c);
        uint64_t end = L.CgStart(c) + L.dblkno;
        if (c == 0)
            end += HowMany(L.cssize, L.fsize);
        Mark(meta, first, end - first);
    }
    for (const BuiltNode& n : vol.nodes) {
        for (const uint32_t f : n.indirectFrags)
            Mark(meta, f, L.frag);
        for (size_t lbn = 0; lbn < n.dataFrags.size(); ++lbn) {
            if (n.dataFrags[lbn] == 0)
                continue;
            const uint64_t len = std::min<uint64_t>(L.bsize, n.size - lbn * L.bsize);
            Mark(n.kind == NodeKind::Directory ? meta : data, n.dataFrags[lbn],
                 HowMany(len, L.fsize));
        }
    }
}

// The log as a run of logical sectors, written the way Solaris writes it.
class LogWriter {
public:
    LogWriter(const LogSpec& spec, LogLayout& layout)
        : spec_(spec), layout_(layout), bytes_(size_t{kStateSectors + spec.logSectors} * kSector),
          touched_(kStateSectors + spec.logSectors, false) {
        bol_ = uint64_t{kStateSectors} * kSector;
        eol_ = bol_ + uint64_t{spec.logSectors} * kSector;
        head_ = bol_ + uint64_t{spec.headOffset % spec.logSectors} * kSector;
        lof_ = head_;
        // Every sector not written carries an ident out of turn, as older log sectors do.
        for (uint64_t k = kStateSectors; k < touched_.size(); ++k)
            Put32(Sector(k), kPayload + 4, Ident(k) + 0x40000000u);
    }

    void Transaction(const LogTransaction& t, uint32_t tid) {
        tid_ = tid;
        for (const LogDelta& d : t.deltas) {
            const bool payload = d.type != delta::kZeroBlock && d.type != delta::kCancel;
            const uint32_t nb = payload ? static_cast<uint32_t>(d.payload.size()) : d.length;
            Header(d.mof, nb, d.type);
            if (payload)
                Write(d.payload.data(), d.payload.size());
        }
        if (t.committed) {
            Header(0, 0, delta::kCommit);
            if (lof_ % kSector != 0) // the next transaction begins a sector
                lof_ += (kPayload - lof_ % kSector) + kTrailer;
        }
    }

    void Finish() {
        if (spec_.breakIdentAt && *spec_.breakIdentAt < layout_.writtenSectors.size()) {
            const uint64_t k = LogicalOf(*spec_.breakIdentAt);
            Put32(Sector(k), kPayload + 4, Ident(k) + 99);
        }
        // The state, and its copy.
        std::span<uint8_t> s = Sector(0);
        Put32(s, 0, 1);                                   // od_version
        Put32(s, 4, spec_.badlog ? 1 : 0);                // od_badlog
        Put32(s, 12, 1u << 20);                           // od_maxtransfer
        Put32(s, 16, kSector);                            // od_devbsize
        Put32(s, 20, static_cast<uint32_t>(bol_));        // od_bol_lof
        Put32(s, 24, static_cast<uint32_t>(eol_));        // od_eol_lof
        Put32(s, 28, static_cast<uint32_t>(eol_));        // od_requestsize
        Put32(s, 32, kStateSectors * kSector);            // od_statesize
        Put32(s, 36, static_cast<uint32_t>(eol_ - bol_)); // od_logsize
        Put32(s, 48, static_cast<uint32_t>(head_));       // od_head_lof
        Put32(s, 52, spec_.headIdent);                    // od_head_ident
        // The tail as the state last recorded it: the scan never stops there.
        Put32(s, 56, static_cast<uint32_t>(head_));
        Put32(s, 60, spec_.headIdent);
        Put32(s, 64, spec_.headIdent + spec_.headIdent); // od_chksum
        std::memcpy(Sector(1).data(), s.data(), kSector);
    }

    std::span<const uint8_t> Bytes() const { return bytes_; }

private:
    std::span<uint8_t> Sector(uint64_t k) {
        return std::span<uint8_t>(bytes_).subspan(k * kSector, kSector);
    }
    uint64_t HeadSector() const { return head_ / kSector; }
    // The ident of logical sector k, counted from the head around the circle.
    uint32_t Ident(uint64_t k) const {
        const uint64_t since = k >= HeadSector()
                                   ? k - HeadSector()
                                   : (eol_ / kSector - HeadSector()) + (k - bol_ / kSector);
        return static_cast<uint32_t>(spec_.headIdent + since);
    }
    uint64_t LogicalOf(uint64_t since) const {
        const uint64_t k = HeadSector() + since;
        return k < eol_ / kSector ? k : k - (eol_ - bol_) / kSector;
    }

    // Past the circle's end, writing goes on at its start.
    void Wrap() {
        if (lof_ >= eol_) {
            lof_ = bol_ + (lof_ - eol_);
            layout_.wrapped = true;
        }
    }

    void Header(uint64_t mof, uint32_t nb, uint32_t type) {
        Wrap();
        if (kPayload - lof_ % kSector < kHeader)
            ++layout_.splitHeaders;
        uint8_t h[kHeader];
        Put64(h, 0, mof);
        Put32(h, 8, nb);
        Put32(h, 12, type);
        Write(h, kHeader);
    }

    void Write(const uint8_t* p, size_t n) {
        while (n > 0) {
            Wrap();
            const uint64_t k = lof_ / kSector;
            if (touched_[k] && k != layout_.writtenSectors.back())
                throw std::runtime_error("the transactions do not fit the log"); // back at the head
            if (!touched_[k]) {
                if (layout_.writtenSectors.size() >= spec_.logSectors)
                    throw std::runtime_error("the transactions do not fit the log");
                touched_[k] = true;
                layout_.writtenSectors.push_back(static_cast<uint32_t>(k));
                Put32(Sector(k), kPayload, tid_);
                Put32(Sector(k), kPayload + 4, Ident(k));
            }
            const size_t take = std::min<size_t>(kPayload - lof_ % kSector, n);
            std::memcpy(bytes_.data() + lof_, p, take);
            p += take;
            n -= take;
            lof_ += take;
            if (lof_ % kSector == kPayload)
                lof_ += kTrailer;
        }
    }

    const LogSpec& spec_;
    LogLayout& layout_;
    std::vector<uint8_t> bytes_;
    std::vector<bool> touched_;
    uint64_t bol_ = 0, eol_ = 0, head_ = 0, lof_ = 0;
    uint32_t tid_ = 0;
};

} // namespace

CrashImages MakeCrash(const UfsVolume& before, const UfsVolume& after) {
    if (before.bytes.size() != after.bytes.size() || before.layout.fsize != after.layout.fsize ||
        before.layout.ncg != after.layout.ncg)
        throw std::runtime_error("a crash needs two volumes of one layout");
    const UfsLayout& L = after.layout;
    const size_t frags = after.bytes.size() / L.fsize;
    std::vector<bool> meta(frags, false), dataBefore(frags, false), dataAfter(frags, false);
    MarkVolume(before, meta, dataBefore);
    MarkVolume(after, meta, dataAfter);
    CrashImages c;
    c.layout = L;
    c.stale = before.bytes;
    c.used.assign(frags, false);
    for (size_t f = 0; f < frags; ++f) {
        const size_t at = f * L.fsize;
        if (dataAfter[f] && !meta[f]) // new data is written in place, not logged
            std::memcpy(c.stale.data() + at, after.bytes.data() + at, L.fsize);
        c.used[f] = meta[f] || dataBefore[f] || dataAfter[f];
    }
    c.rolled = c.stale;
    for (size_t f = 0; f < frags; ++f) {
        if (meta[f])
            std::memcpy(c.rolled.data() + f * L.fsize, after.bytes.data() + f * L.fsize, L.fsize);
    }
    return c;
}

std::vector<LogDelta> DeltasBetween(std::span<const uint8_t> from, std::span<const uint8_t> to,
                                    const UfsLayout& L) {
    std::vector<LogDelta> out;
    auto typeAt = [&](uint64_t byte) {
        if (byte >= kSuperblockAt && byte < kSuperblockAt + 8192)
            return delta::kSuperblock;
        const uint64_t frag = byte / L.fsize;
        if (frag >= L.csaddr && frag < L.csaddr + HowMany(L.cssize, L.fsize))
            return delta::kSummary;
        for (uint32_t c = 0; c < L.ncg; ++c) {
            if (frag >= L.CgHeaderFrag(c) && frag < L.InodeTableFrag(c))
                return delta::kCylinderGroup;
            if (frag >= L.InodeTableFrag(c) && frag < L.CgStart(c) + L.dblkno)
                return delta::kInode;
        }
        return delta::kDirectory;
    };
    for (size_t chunk = 0; chunk + kSector <= std::min(from.size(), to.size()); chunk += kSector) {
        size_t first = kSector, last = 0;
        for (size_t i = 0; i < kSector; ++i) {
            if (from[chunk + i] != to[chunk + i]) {
                first = std::min(first, i);
                last = i;
            }
        }
        if (first == kSector)
            continue;
        LogDelta d;
        d.mof = chunk + first;
        d.type = typeAt(d.mof);
        d.payload.assign(to.begin() + static_cast<std::ptrdiff_t>(chunk + first),
                         to.begin() + static_cast<std::ptrdiff_t>(chunk + last + 1));
        out.push_back(std::move(d));
    }
    return out;
}

LogLayout WriteLog(std::vector<uint8_t>& image, const CrashImages& crash, const LogSpec& spec) {
    const UfsLayout& L = crash.layout;
    const uint32_t nspf = L.fsize / kSector;
    const uint64_t logSectors = kStateSectors + spec.logSectors;
    // The extent block, the log (a block apart when in two pieces), in whole blocks.
    const uint64_t blocks =
        1 + HowMany(logSectors, uint64_t{L.bsize / kSector}) + (spec.twoExtents ? 2 : 0);
    const uint64_t need = blocks * L.frag;
    uint64_t start = 0;
    bool found = false;
    for (uint64_t f = (crash.used.size() / L.frag) * L.frag; f >= need && !found;) {
        f -= L.frag;
        if (f + need > crash.used.size())
            continue;
        bool free = true;
        for (uint64_t k = f; k < f + need && free; ++k)
            free = !crash.used[k];
        if (free) {
            start = f;
            found = true;
        }
    }
    if (!found)
        throw std::runtime_error("no room for the log");
    LogLayout layout;
    layout.extentBlockSector = static_cast<uint32_t>(start * nspf);
    const uint32_t firstLog = static_cast<uint32_t>((start + L.frag) * nspf);
    if (spec.twoExtents) {
        const uint32_t half = static_cast<uint32_t>(logSectors / 2);
        const uint32_t second = firstLog + half + L.bsize / kSector; // a block further on
        layout.extents = {{firstLog, half}, {second, static_cast<uint32_t>(logSectors) - half}};
    } else {
        layout.extents = {{firstLog, static_cast<uint32_t>(logSectors)}};
    }

    LogWriter w(spec, layout);
    for (size_t t = 0; t < spec.transactions.size(); ++t)
        w.Transaction(spec.transactions[t], static_cast<uint32_t>(t + 1));
    w.Finish();
    const std::span<const uint8_t> logical = w.Bytes();
    uint32_t lbno = 0;
    for (const auto& [pbno, nbno] : layout.extents) {
        std::memcpy(image.data() + uint64_t{pbno} * kSector,
                    logical.data() + uint64_t{lbno} * kSector, uint64_t{nbno} * kSector);
        lbno += nbno;
    }
    for (uint32_t& k : layout.writtenSectors) { // logical sectors to volume sectors
        uint32_t base = 0;
        for (const auto& [pbno, nbno] : layout.extents) {
            if (k < base + nbno) {
                k = pbno + (k - base);
                break;
            }
            base += nbno;
        }
    }
    layout.sectorsWritten = static_cast<uint32_t>(layout.writtenSectors.size());

    // The extent block: its words sum to its checksum.
    const std::span<uint8_t> eb(image.data() + uint64_t{layout.extentBlockSector} * kSector,
                                L.bsize);
    std::fill(eb.begin(), eb.end(), 0);
    Put32(eb, 0, 0); // LUFS_EXTENTS
    Put32(eb, 8, static_cast<uint32_t>(layout.extents.size()));
    Put32(eb, 12, static_cast<uint32_t>(logSectors * kSector));
    lbno = 0;
    for (size_t i = 0; i < layout.extents.size(); ++i) {
        Put32(eb, 20 + 12 * i, lbno);
        Put32(eb, 24 + 12 * i, layout.extents[i].first);
        Put32(eb, 28 + 12 * i, layout.extents[i].second);
        lbno += layout.extents[i].second;
    }
    uint32_t sum = 0;
    for (size_t at = 0; at < eb.size(); at += 4)
        sum += Get32(eb, at);
    Put32(eb, 4, spec.corruptExtentChecksum ? sum + 1 : sum);

    // The superblock of a logging volume.
    const std::span<uint8_t> sb(image.data() + kSuperblockAt, 8192);
    Put32(sb, kFsLogbno, layout.extentBlockSector);
    Put32(sb, kFsRolled, spec.crashed ? 2 : 1);
    Put32(sb, kFsReclaim, spec.reclaim);
    sb[kFsClean] = kFsLog;
    Put32(sb, kFsState, kFsOkay - Get32(sb, kFsTime));
    return layout;
}

} // namespace trevik::imagebuilder
