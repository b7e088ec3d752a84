#include "cli/commands.h"

#include "cli/json_writer.h"
#include "cli/output.h"
#include "cli/reading.h"
#include "cli/signals.h"
#include "disk/disk_table.h"
#include "recovery/session.h"
#include "text/messages.h"
#include "ufs/names.h"
#include "volume/disk_label.h"
#include "volume/layout_guess.h"
#include "volume/superblock_scan.h"

#include <csignal>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <unistd.h>

namespace trevik::cli {
namespace {

// The scan's progress (already coalesced by the scan) as a bar on the progress line.
class ScanBar final : public ScanObserver {
public:
    void OnScanProgress(const ScanProgress& p) override {
        constexpr uint32_t kWidth = 30;
        const uint32_t pct = std::min<uint32_t>(p.percent, 100);
        const uint32_t filled = pct * kWidth / 100;
        line_.Show("[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] " +
                       std::to_string(pct) + "% " + p.Line() + ", " + std::to_string(found_) +
                       " found",
                   true);
    }
    void OnVolumeFound(const PartitionEntry&, size_t count) override { found_ = count; }
    void Finish() { line_.Done(); }

private:
    ProgressLine line_;
    size_t found_ = 0;
};

// Only a label gives a volume a tag.
bool HasTag(const PartitionEntry& e) {
    return e.label == LabelKind::Vtoc || e.label == LabelKind::Efi;
}

void PrintVolumes(const VolumeTable& table, bool asJson) {
    if (asJson) {
        std::cout.flush();
        JsonWriter out(stdout);
        out.BeginObject();
        out.Key("volumes");
        out.BeginArray();
        for (size_t i = 0; i < table.Count(); ++i) {
            const PartitionEntry& e = table[i];
            out.BeginObject();
            out.Member("index", i + 1);
            out.Member("name", e.name);
            out.Member("startSector", e.startSector);
            out.Member("sizeSectors", e.sizeSectors);
            out.Member("superblockSector", e.superblockSector);
            out.Member("label", std::string_view(text::LabelKindName(e.label)));
            out.StringOrNull("tag", HasTag(e) ? text::TagName(e.tag) : std::string());
            out.StringOrNull("typeGuid", e.typeGuid);
            out.Member("mountable", HoldsUfs(e));
            out.StringOrNull("content", text::ForeignFormatName(e.content));
            out.EndObject();
        }
        out.EndArray();
        out.EndObject();
        out.EndLine();
        return;
    }
    std::cout << std::left << std::setw(6) << "Index" << std::setw(26) << "Name" << std::right
              << std::setw(12) << "Start" << std::setw(12) << "Sectors" << std::setw(12)
              << "Superblock" << std::setw(10) << "Size MB"
              << "  Tag\n";
    for (size_t i = 0; i < table.Count(); ++i) {
        const PartitionEntry& e = table[i];
        std::cout << std::left << std::setw(6) << (i + 1) << std::setw(26) << e.name << std::right
                  << std::setw(12) << e.startSector << std::setw(12) << e.sizeSectors
                  << std::setw(12) << e.superblockSector << std::setw(10) << (e.sizeSectors / 2048)
                  << "  " << (HasTag(e) ? text::TagName(e.tag) : "-") << "\n";
    }
    for (size_t i = 0; i < table.Count(); ++i) {
        if (!HoldsUfs(table[i]))
            std::cout << text::NotUfsMessage(table[i]) << "\n";
    }
    if (table.Count() == 0) {
        std::cout << "(no volumes found)\n";
    }
}

} // namespace

int RunDisks(const DisksOptions& options) {
    DiskTable table = EnumerateDisks();
    for (const auto& image : options.images) {
        const Status added = AddImageDisk(table, image);
        if (!added) {
            std::cerr << "trevik-cli: " << added.error() << "\n";
            return kExitFailure;
        }
    }
    if (options.json) {
        // Paths and model texts come from the system and may hold any bytes: the writer
        // replaces what is not UTF-8.
        std::cout.flush();
        JsonWriter out(stdout);
        out.BeginObject();
        out.Key("disks");
        out.BeginArray();
        for (size_t k = 0; k < table.listedCount; ++k) {
            const DiskEntry& d = table.entries[k];
            out.BeginObject();
            out.Member("index", k);
            out.Member("name", DiskItemName(k));
            out.Member("path", d.devicePath);
            out.Member("model", d.model);
            out.Member("cylinders", d.cylinders);
            out.Member("heads", d.heads);
            out.Member("sectorsPerTrack", d.sectorsPerTrack);
            out.Member("totalSectors", d.totalSectors);
            out.Member("format", d.format);
            out.StringOrNull("storedMd5", d.storedMd5);
            out.StringOrNull("storedSha1", d.storedSha1);
            out.EndObject();
        }
        out.EndArray();
        out.EndObject();
        out.EndLine();
        return kExitOk;
    }
    std::cout << std::left << std::setw(6) << "Index" << std::setw(18) << "Name" << std::setw(32)
              << "Model" << std::setw(22) << "Capacity" << std::right << std::setw(10) << "Cyl"
              << std::setw(6) << "Head" << std::setw(6) << "Sect"
              << "  Path\n";
    for (size_t k = 0; k < table.listedCount; ++k) {
        const DiskEntry& d = table.entries[k];
        std::cout << std::left << std::setw(6) << k << std::setw(18) << DiskItemName(k)
                  << std::setw(32) << d.model << std::setw(22) << CapacityText(d.totalSectors)
                  << std::right << std::setw(10) << d.cylinders << std::setw(6) << d.heads
                  << std::setw(6) << d.sectorsPerTrack << "  " << d.devicePath << "\n";
    }
    for (size_t k = 0; k < table.listedCount; ++k) {
        const DiskEntry& d = table.entries[k];
        if (d.format == "ewf" || d.format == "split") {
            std::cout << DiskItemName(k) << ": " << (d.format == "ewf" ? "EWF" : "split raw")
                      << " image of " << d.files << " segment file(s)";
            if (!d.storedMd5.empty())
                std::cout << ", stored MD5 " << d.storedMd5;
            if (!d.storedSha1.empty())
                std::cout << ", stored SHA-1 " << d.storedSha1;
            std::cout << "\n";
        }
    }
    if (table.listedCount == 0) {
        std::cout << "(no disks found)\n";
    }
    return kExitOk;
}

namespace {
int ListVolumes(Session& session, const VolumesOptions& options);
} // namespace

int RunVolumes(const VolumesOptions& options) {
    Session session;
    const int rc = ListVolumes(session, options);
    return FinishReading(session, options, rc);
}

namespace {

// The orders and interlaces of the layout given, best first.
int GuessLayout(Session& session, const VolumesOptions& options) {
    LayoutSpec given;
    if (const auto rc = MakeLayout(options, given))
        return *rc;
    WatchStopFlag watch(session.stopRequested);
    auto guesses = GuessLayouts(given, session.stopRequested);
    if (!guesses) {
        std::cerr << "trevik-cli: " << TerminalSafe(guesses.error()) << "\n";
        return kExitFailure;
    }
    auto optionsOf = [](const LayoutSpec& s) {
        std::string line = std::string("--") + LayoutKindName(s.kind) + " ";
        for (size_t i = 0; i < s.components.size(); ++i)
            line += (i == 0 ? "" : ",") + s.components[i];
        if (s.interlaceSectors != 0)
            line += " --interlace " + std::to_string(s.interlaceSectors / 2) + "k";
        if (s.startSector != 0)
            line += " --start-block " + std::to_string(s.startSector);
        return line;
    };
    if (options.json) {
        std::cout.flush();
        JsonWriter out(stdout);
        out.BeginObject();
        out.Key("guesses");
        out.BeginArray();
        for (size_t i = 0; i < guesses->size(); ++i) {
            const LayoutGuess& g = (*guesses)[i];
            out.BeginObject();
            out.Member("rank", i + 1);
            out.Member("layout", std::string_view(LayoutKindName(g.spec.kind)));
            out.Strings("components", g.spec.components);
            out.Member("interlaceBytes", g.spec.interlaceSectors * 512);
            out.Member("startBlock", g.spec.startSector);
            out.Member("headersFound", g.fit.headersFound);
            out.Member("headersChecked", g.fit.headersChecked);
            out.Member("options", optionsOf(g.spec));
            out.EndObject();
        }
        out.EndArray();
        out.EndObject();
        out.EndLine();
    } else {
        for (size_t i = 0; i < guesses->size() && i < 10; ++i) {
            const LayoutGuess& g = (*guesses)[i];
            std::cout << std::right << std::setw(3) << i + 1 << ". " << g.fit.headersFound << " of "
                      << g.fit.headersChecked
                      << " group headers in place: " << TerminalSafe(optionsOf(g.spec)) << "\n";
        }
    }
    if (session.stopRequested.load()) {
        std::cerr << "trevik-cli: stopped; the layouts tried so far are listed\n";
        return kExitFailure;
    }
    if (guesses->empty()) {
        std::cerr << "trevik-cli: no order or interlace of these components shows a UFS "
                     "superblock at the start of the metadevice\n";
        return kExitFailure;
    }
    return kExitOk;
}

// The metadevices the state database on the disks records, each with its components and
// where they were found.
int ListMetadevices(const VolumesOptions& options) {
    const auto found = SearchDisks(options);
    if (!found)
        return kExitFailure;
    const MetadeviceSearch& s = *found;
    bool warned = !s.warnings.empty();
    for (const FoundMetadevice& m : s.found)
        warned = warned || !m.missing.empty() || !m.layout;
    if (options.json) {
        std::cout.flush();
        JsonWriter out(stdout);
        out.BeginObject();
        out.Member("replica", s.replica);
        out.Key("metadevices");
        out.BeginArray();
        for (const FoundMetadevice& m : s.found) {
            out.BeginObject();
            out.Member("name", m.name);
            out.Member("description", m.description);
            out.Member("blocks", m.unit.blocks);
            out.Strings("components", m.components);
            out.Strings("missing", m.missing);
            out.Strings("placements", m.placements);
            out.Member("assembled", m.layout.has_value());
            out.Member("guessed", m.guessed);
            out.Member("problem", m.problem);
            out.EndObject();
        }
        out.EndArray();
        out.EndObject();
        out.EndLine();
        return warned ? kExitFailure : kExitOk;
    }
    std::cout << "Metadevices in the state database on " << TerminalSafe(s.replica) << ":\n";
    for (const FoundMetadevice& m : s.found) {
        std::cout << "  " << TerminalSafe(m.description) << "\n";
        for (const auto& c : m.components)
            std::cout << "      " << TerminalSafe(c) << "\n";
        for (const auto& p : m.placements)
            std::cout << "      " << TerminalSafe(p) << "\n";
        for (const auto& c : m.missing)
            std::cout << "      " << TerminalSafe(c) << ": not on the disks given\n";
        if (m.layout)
            std::cout << "      --metadevice " << m.name << " opens it"
                      << (m.guessed ? " (disks matched by the file system they show)" : "") << "\n";
        else
            std::cout << "      cannot be put together: " << TerminalSafe(m.problem) << "\n";
    }
    return warned ? kExitFailure : kExitOk;
}

int ListVolumes(Session& session, const VolumesOptions& options) {
    if (const auto rc = CheckLayout(options))
        return *rc;
    if (!options.disks.empty() && options.metadevice.empty() && !options.scan)
        return ListMetadevices(options);
    if (options.guess)
        return GuessLayout(session, options);
    if (options.scan) {
        if (const auto rc = CheckScanRange(options))
            return *rc;
    }
    if (!OpenForReading(session, options.device, options)) {
        return kExitFailure;
    }
    if (!options.scan && session.Assembled() != nullptr) {
        if (ReadMetadeviceVolume(session.Reader(), session.volumes) == 0) {
            ExplainNoMetadeviceVolume(session);
            return kExitFailure;
        }
        PrintVolumes(session.volumes, options.json);
        return kExitOk;
    }
    if (!options.scan) {
        LabelReport label;
        const size_t found = ReadDiskLabel(session.Reader(), session.volumes, &label);
        WarnLabelDamage(label);
        if (found == 0) {
            if (label.kind != LabelKind::Efi)
                ExplainNoVolumes(session, options.device, false);
            return kExitFailure;
        }
        // A label read from its backup copy lists every volume: the damage is a warning.
        // Partitions past what the table holds are not listed: that is a loss.
        PrintVolumes(session.volumes, options.json);
        return label.notListed != 0 ? kExitFailure : kExitOk;
    }
    ScanOptions scan;
    if (const auto rc = MakeScanOptions(options, session.Reader().TotalSectors(),
                                        session.settings.sectorsPerRead, scan))
        return *rc;
    WatchStopFlag watch(session.stopRequested);
    ScanBar bar;
    const ScanOutcome outcome =
        ScanForVolumes(session.Reader(), scan, session.volumes, session.stopRequested, &bar);
    bar.Finish();
    if (outcome == ScanOutcome::Stopped) {
        std::cerr << "trevik-cli: scan stopped; volumes found so far:\n";
        PrintVolumes(session.volumes, options.json);
        return kExitFailure;
    }
    if (outcome == ScanOutcome::LimitReached) {
        std::cerr << "trevik-cli: the scan stopped at " << VolumeTable::kScanLimit << " volumes\n";
    }
    PrintVolumes(session.volumes, options.json);
    // A scan that could not read part of its range may have missed volumes there.
    const uint64_t unreadable = WarnScanUnreadable(session.Reader(), scan);
    // A completed scan that found nothing still succeeded; what the disk holds instead is
    // said.
    if (session.volumes.Count() == 0)
        ExplainNoVolumes(session, options.device, true);
    return unreadable != 0 ? kExitFailure : kExitOk;
}

} // namespace
} // namespace trevik::cli
