#include "cli/reading.h"

#include "cli/signals.h"
#include "disk/ddrescue_map.h"
#include "recovery/source_guard.h"
#include "text/messages.h"
#include "ufs/names.h"
#include "volume/foreign_format.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace trevik::cli {
namespace {

inline constexpr const char* kMsgBadStart =
    "      Start sector value is not valid, It should be a positive number";
inline constexpr const char* kMsgBadEnd =
    "      End sector value is not valid, It should be a positive number";
inline constexpr const char* kMsgInvertedRange =
    "      End sector should be bigger than start sector";

// Parses a sector number the way the window's edit fields are read: digits only; any
// 64-bit sector number.
std::optional<uint64_t> ParseSector(const std::string& text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        v = v * 10 + digit;
    }
    return v;
}

} // namespace

std::optional<int> CheckScanRange(const ScanRangeOptions& range) {
    if (range.start && !ParseSector(*range.start)) {
        std::cerr << kMsgBadStart << "\n";
        return kExitUsage;
    }
    if (range.end && !ParseSector(*range.end)) {
        std::cerr << kMsgBadEnd << "\n";
        return kExitUsage;
    }
    if (range.start && range.end && *ParseSector(*range.start) >= *ParseSector(*range.end)) {
        std::cerr << kMsgInvertedRange << "\n";
        return kExitUsage;
    }
    return std::nullopt;
}

std::optional<int> MakeScanOptions(const ScanRangeOptions& range, uint64_t totalSectors,
                                   uint32_t sectorsPerRead, ScanOptions& scan) {
    if (const auto rc = CheckScanRange(range))
        return rc;
    scan.startSector = range.start ? *ParseSector(*range.start) : 0;
    scan.endSector = range.end ? *ParseSector(*range.end) : DefaultScanEnd(totalSectors);
    scan.sectorsPerRead = sectorsPerRead;
    if (scan.endSector > totalSectors || scan.startSector >= totalSectors) {
        std::cerr << "trevik-cli: " << (scan.endSector > totalSectors ? "--end " : "--start ")
                  << (scan.endSector > totalSectors ? scan.endSector : scan.startSector)
                  << " is past the end of the disk (it has " << totalSectors << " sectors)\n";
        return kExitUsage;
    }
    if (scan.startSector >= scan.endSector) {
        std::cerr << kMsgInvertedRange << "\n";
        return kExitUsage;
    }
    return std::nullopt;
}

namespace {

bool layoutWarned = false;

// The metadevice the state database on the disks records: the one named by --metadevice,
// or the only one. Says where it was read, where each component was found, and what is
// missing.
std::optional<int> MakeLayoutFromDisks(const LayoutOptions& o, LayoutSpec& spec) {
    const auto found = SearchDisks(o);
    if (!found)
        return kExitFailure;
    const MetadeviceSearch& s = *found;
    const FoundMetadevice* m = nullptr;
    std::string names;
    for (const FoundMetadevice& f : s.found) {
        names += (names.empty() ? "" : ", ") + f.name;
        if (f.name == o.metadevice || (o.metadevice.empty() && s.found.size() == 1))
            m = &f;
    }
    if (m == nullptr) {
        std::cerr << "trevik-cli: "
                  << (o.metadevice.empty() ? "the state database records several metadevices"
                                           : "the state database records no metadevice " +
                                                 TerminalSafe(o.metadevice))
                  << " (" << names << "); choose one with --metadevice NAME\n";
        return kExitFailure;
    }
    std::cerr << "trevik-cli: " << m->description << ", from the state database on "
              << TerminalSafe(s.replica) << "\n";
    for (const std::string& p : m->placements)
        std::cerr << "trevik-cli:   " << TerminalSafe(p) << "\n";
    if (m->guessed && m->layout)
        std::cerr << "trevik-cli:   (the disks were matched to the components by the file "
                     "system they show; name them as c1t1d0=IMAGE to choose)\n";
    for (const std::string& c : m->missing) {
        std::cerr << "trevik-cli: warning: component " << TerminalSafe(c) << " of " << m->name
                  << " is not on the disks given\n";
        layoutWarned = true;
    }
    if (!m->layout) {
        std::cerr << "trevik-cli: " << m->name
                  << " cannot be put together: " << TerminalSafe(m->problem) << "\n";
        return kExitFailure;
    }
    spec = *m->layout;
    return std::nullopt;
}

} // namespace

std::optional<MetadeviceSearch> SearchDisks(const LayoutOptions& o) {
    std::vector<DiskSource> sources;
    for (const std::string& d : o.disks)
        sources.push_back(ParseDiskSource(d));
    std::atomic<bool> stop{false};
    WatchStopFlag watch(stop);
    MetadeviceSearch s = FindMetadevices(sources, stop);
    for (const std::string& w : s.warnings) {
        std::cerr << "trevik-cli: warning: " << TerminalSafe(w) << "\n";
        layoutWarned = true;
    }
    if (s.found.empty()) {
        std::cerr << "trevik-cli: "
                  << (s.replica.empty() ? "no state database replica can be read on these disks"
                                        : "the state database records no metadevice")
                  << "; give the layout instead (--concat, --stripe, --raid5 or --mirror with "
                     "the components)\n";
        return std::nullopt;
    }
    return s;
}

bool LayoutWarned() {
    return layoutWarned;
}

std::optional<int> MakeLayout(const LayoutOptions& o, LayoutSpec& spec) {
    if (!o.disks.empty())
        return MakeLayoutFromDisks(o, spec);
    const std::string* list = nullptr;
    if (!o.concat.empty()) {
        spec.kind = LayoutKind::Concat;
        list = &o.concat;
    } else if (!o.stripe.empty()) {
        spec.kind = LayoutKind::Stripe;
        list = &o.stripe;
    } else if (!o.raid5.empty()) {
        spec.kind = LayoutKind::Raid5;
        list = &o.raid5;
    } else {
        spec.kind = LayoutKind::Mirror;
        list = &o.mirror;
    }
    spec.components.clear();
    size_t from = 0;
    while (from <= list->size()) {
        const size_t comma = std::min(list->find(',', from), list->size());
        spec.components.push_back(list->substr(from, comma - from));
        from = comma + 1;
    }
    for (const std::string& c : spec.components) {
        if (c.empty()) {
            std::cerr << "trevik-cli: an empty component in " << TerminalSafe(*list) << "\n";
            return kExitUsage;
        }
    }
    spec.startSector = o.startBlock;
    spec.interlaceSectors = 0;
    if (!o.interlace.empty()) {
        const auto bytes = ParseByteSize(o.interlace);
        if (!bytes || *bytes == 0 || *bytes % kSectorSize != 0) {
            std::cerr << "trevik-cli: --interlace " << TerminalSafe(o.interlace)
                      << " is not a size in whole 512-byte blocks (bytes, or with a k or m "
                         "suffix)\n";
            return kExitUsage;
        }
        spec.interlaceSectors = *bytes / kSectorSize;
    }
    return std::nullopt;
}

std::optional<int> CheckLayout(const LayoutOptions& options) {
    if (!options.Given() || !options.disks.empty())
        return std::nullopt; // the disks' state database is read when they are opened
    LayoutSpec spec;
    return MakeLayout(options, spec);
}

std::string DeviceName(const Session& session, const std::string& device) {
    return device.empty() && session.Device() != nullptr ? session.Device()->Path() : device;
}

bool OpenForReading(Session& session, const std::string& device, const ReadOptions& options) {
    session.settings.sectorsPerRead = options.sectorsPerRead;
    session.settings.badSectorRetries = options.retries;
    if (!options.badmap.empty()) {
        const Status loaded = session.LoadBadSectorMap(options.badmap);
        if (!loaded) {
            std::cerr << "trevik-cli: " << loaded.error() << "\n";
            return false;
        }
    }
    Status opened = Ok();
    if (options.Given()) {
        LayoutSpec spec;
        if (MakeLayout(options, spec))
            return false;
        opened = session.OpenLayout(spec);
    } else {
        opened = session.OpenPath(device);
    }
    if (!opened) {
        std::cerr << "trevik-cli: " << opened.error() << "\n";
        return false;
    }
    if (session.Reader().TotalSectors() == 0) {
        std::cerr << "trevik-cli: " << TerminalSafe(DeviceName(session, device))
                  << ": empty device (no whole sector)\n";
        return false;
    }
    if (const Session::MapCoverage c = session.BadMapCoverage(); c.Mismatch()) {
        std::cerr << "trevik-cli: warning: " << text::MapCoverageMessage(c.mapBytes, c.diskBytes)
                  << "\n";
    }
    if (!options.saveBadmap.empty()) {
        const Status writable = SourceGuard::Of(*session.Device())
                                    .CheckOutputFile(options.saveBadmap, "the bad-sector map");
        if (!writable) {
            std::cerr << "trevik-cli: " << TerminalSafe(writable.error()) << "\n";
            return false;
        }
    }
    return true;
}

void ExplainNoVolumes(Session& session, const std::string& device, bool scanned) {
    const std::string foreign = text::ForeignFormatName(IdentifyForeignFormat(session.Reader()));
    if (!foreign.empty()) {
        std::cerr << "trevik-cli: " << TerminalSafe(device) << " holds " << foreign
                  << ", not a Solaris SPARC volume (big-endian UFS): there is nothing here "
                     "this program can read\n";
    } else if (scanned) {
        std::cerr << "trevik-cli: no UFS superblock found in the scanned sectors of "
                  << TerminalSafe(device) << "\n";
    } else {
        std::cerr << "trevik-cli: " << TerminalSafe(device)
                  << " has no SPARC disk label; --scan looks for volumes by their UFS "
                     "superblocks instead\n";
    }
}

void WarnLabelDamage(const LabelReport& report) {
    if (const std::string m = text::LabelDamageMessage(report); !m.empty())
        std::cerr << "trevik-cli: warning: " << TerminalSafe(m) << "\n";
}

uint64_t WarnScanUnreadable(const SectorReader& reader, const ScanOptions& scan) {
    uint64_t n = 0;
    const BadSectorMap& bad = reader.BadSectors();
    const uint64_t end = scan.endSector;
    for (uint64_t s = bad.NextBad(scan.startSector, end); s < end; s = bad.NextBad(s, end)) {
        const uint64_t runEnd = std::min(bad.BadRunEnd(s), end);
        n += runEnd - s;
        s = runEnd;
    }
    if (n != 0) {
        std::cerr << "trevik-cli: warning: " << n << " of the " << end - scan.startSector
                  << " sectors scanned could not be read: volumes there may be missed\n";
    }
    return n;
}

void ExplainNoMetadeviceVolume(Session& session) {
    std::cerr << "trevik-cli: " << TerminalSafe(session.Device()->Path())
              << " shows no UFS superblock at its start: the order of the components, the "
                 "interlace or the start block may be wrong (volumes --guess tries the usual "
                 "ones), or --scan looks for volumes inside it\n";
}

void ReportAssembly(Session& session) {
    const AssembledDevice* md = session.Assembled();
    if (md == nullptr)
        return;
    for (const std::string& note : text::AssemblyNotes(*md))
        std::cerr << "trevik-cli: warning: " << TerminalSafe(note) << "\n";
    // Unreadable sectors of the metadevice, as the component disks have them.
    const auto ranges = session.Reader().BadSectors().Ranges();
    constexpr size_t kShown = 20;
    for (size_t i = 0; i < ranges.size() && i < kShown; ++i) {
        const AssembledDevice::Place p = md->Locate(ranges[i].first);
        std::cerr << "trevik-cli: unreadable: " << ranges[i].end - ranges[i].first
                  << " sector(s) from metadevice sector " << ranges[i].first << ", on "
                  << TerminalSafe(p.path) << " from its sector " << p.sector << "\n";
    }
    if (ranges.size() > kShown)
        std::cerr << "trevik-cli: unreadable: " << ranges.size() - kShown << " more run(s)\n";
}

int FinishReading(Session& session, const ReadOptions& options, int rc, bool saveAllowed) {
    ReportAssembly(session);
    // A map that does not fit the disk is a warning, and warnings end in a failure code.
    if (rc == kExitOk && (session.BadMapCoverage().Mismatch() || layoutWarned))
        rc = kExitFailure;
    if (options.saveBadmap.empty() || !session.DiskOpen() || !saveAllowed) {
        return rc;
    }
    // Asked again here: whatever ended the command, the map never lands on the disk.
    if (const Status writable = SourceGuard::Of(*session.Device())
                                    .CheckOutputFile(options.saveBadmap, "the bad-sector map");
        !writable) {
        return rc == kExitOk ? kExitFailure : rc; // said when the command began
    }
    const Status saved = SaveDdrescueMap(options.saveBadmap, session.Reader().BadSectors(),
                                         session.Device()->SizeBytes());
    if (!saved) {
        std::cerr << "trevik-cli: " << saved.error() << "\n";
        return rc == kExitOk ? kExitFailure : rc;
    }
    return rc;
}

} // namespace trevik::cli
