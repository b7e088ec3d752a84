// trevik-cli info, ls, find and recover: commands that mount one volume.

#include "cli/commands.h"
#include "cli/copy_report.h"
#include "cli/fuse_mount.h"
#include "cli/json_writer.h"
#include "cli/output.h"
#include "cli/reading.h"
#include "cli/signals.h"
#include "format/hex.h"
#include "recovery/dfxml_report.h"
#include "recovery/drive_information.h"
#include "recovery/extraction.h"
#include "recovery/find_files.h"
#include "recovery/session.h"
#include "recovery/source_guard.h"
#include "text/messages.h"
#include "ufs/mount.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"
#include "ufs/ufs_time.h"
#include "volume/disk_label.h"
#include "volume/superblock_scan.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>
#include <unistd.h>

namespace trevik::cli {
namespace {

class MountProgress final : public MountObserver {
public:
    explicit MountProgress(ProgressLine& p) : p_(p) {}
    void OnPhase(MountPhase phase) override {
        caption_ = text::PhaseCaption(phase);
        Draw(true);
    }
    void OnProgress(uint32_t pct) override {
        pct_ = pct;
        Draw(false);
    }
    void OnFolderAdded(uint32_t n, std::string_view) override {
        folders_ = n;
        Draw(false);
    }
    void OnFileAdded(uint32_t n, std::string_view) override {
        files_ = n;
        Draw(false);
    }

private:
    void Draw(bool force) {
        p_.Show(caption_ + " " + std::to_string(pct_) + "%  folders " + std::to_string(folders_) +
                    "  files " + std::to_string(files_),
                force);
    }
    ProgressLine& p_;
    std::string caption_;
    uint32_t pct_ = 0, folders_ = 0, files_ = 0;
};

// Opens the device, finds its volumes and mounts volume K. Prints its own errors.
struct Mounted {
    Session session;
    MountedVolume volume;
    bool saveBadmapAllowed = true; // false once the command refused where it would go
};

// Returns kExitOk when mounted, else the command's exit code. `beforeWork`, when given,
// runs once the device is open and before anything is read: a refusal there (its exit
// code) ends the command.
int MountFromOptions(const VolumeCommandOptions& o, Mounted& m,
                     const std::function<int(Session&)>& beforeWork = {}) {
    if (const auto rc = CheckLayout(o))
        return *rc;
    if (o.scan) {
        if (const auto rc = CheckScanRange(o))
            return *rc;
    }
    if (!OpenForReading(m.session, o.device, o)) {
        return kExitFailure;
    }
    if (beforeWork) {
        if (const int rc = beforeWork(m.session); rc != kExitOk)
            return rc;
    }
    SectorReader& reader = m.session.Reader();
    ProgressLine progress;
    if (o.scan) {
        ScanOptions scan;
        if (const auto rc =
                MakeScanOptions(o, reader.TotalSectors(), m.session.settings.sectorsPerRead, scan))
            return *rc;
        if (ScanForVolumes(reader, scan, m.session.volumes, m.session.stopRequested) ==
            ScanOutcome::Stopped) {
            std::cerr << "trevik-cli: scan stopped\n";
            return kExitFailure;
        }
        WarnScanUnreadable(reader, scan);
    } else if (m.session.Assembled() != nullptr) {
        if (ReadMetadeviceVolume(reader, m.session.volumes) == 0) {
            ExplainNoMetadeviceVolume(m.session);
            return kExitFailure;
        }
    } else {
        LabelReport label;
        const size_t found = ReadDiskLabel(reader, m.session.volumes, &label);
        WarnLabelDamage(label);
        if (found == 0) {
            if (label.kind != LabelKind::Efi)
                ExplainNoVolumes(m.session, o.device, false);
            return kExitFailure;
        }
    }
    const size_t count = m.session.volumes.Count();
    if (o.volume < 1 || static_cast<size_t>(o.volume) > count) {
        std::cerr << "trevik-cli: no volume " << o.volume << " on "
                  << TerminalSafe(DeviceName(m.session, o.device)) << " (it has " << count << ")\n";
        return kExitFailure;
    }
    const PartitionEntry entry = m.session.volumes[static_cast<size_t>(o.volume - 1)];
    if (!HoldsUfs(entry)) {
        std::cerr << "trevik-cli: " << text::NotUfsMessage(entry) << "\n";
        return kExitFailure;
    }
    MountProgress observer(progress);
    auto mounted =
        MountVolume(reader, entry, o.mode, m.session.stopRequested, &observer, o.replayLog);
    progress.Done();
    if (!mounted) {
        std::cerr << "trevik-cli: " << mounted.error() << "\n";
        return kExitFailure;
    }
    m.volume = mounted.Take();
    return kExitOk;
}

// The exit code of a command that completed: a failure when anything was lost.
int Outcome(const std::vector<Warning>& warnings) {
    PrintWarnings(warnings);
    return warnings.empty() ? kExitOk : kExitFailure;
}

struct Row {
    std::string_view path;
    std::string_view rawPath;
    std::string_view name;
    bool folder = false;
    uint32_t inode = 0;
    uint32_t parentInode = 0;
    uint64_t size = 0;
    int32_t mtime = 0;
    bool damaged = false;
    Found found = Found::Walk;
};

const char* FoundName(Found f) {
    switch (f) {
    case Found::Walk:
        return "walk";
    case Found::InodeScan:
        return "inodeScan";
    case Found::Orphan:
        return "orphan";
    case Found::DirBlocks:
        return "dirBlocks";
    }
    return "walk";
}

// Writes one row at a time, as text or as the entries of one JSON document.
class RowPrinter {
public:
    explicit RowPrinter(bool asJson) : json_(asJson), out_(stdout) {
        if (!json_)
            text_.reserve(kTextFlushAt + 8192);
        if (json_) {
            out_.BeginObject();
            out_.Key("entries");
            out_.BeginArray();
        }
    }
    void Print(const Row& r) {
        const UfsTimeFormatter::Text tt = times_.Format(r.mtime);
        if (!json_) {
            // "%-6s %14llu %11s %8s  %s%s\n", written by hand into one buffer.
            text_.append(r.folder ? "folder " : "file   ");
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, r.size).ptr;
            const auto n = static_cast<size_t>(end - digits);
            text_.append(n < 14 ? 14 - n : 0, ' ').append(digits, n).push_back(' ');
            text_.append(tt.date.size() < 11 ? 11 - tt.date.size() : 0, ' ').append(tt.date);
            text_.push_back(' ');
            text_.append(tt.time.size() < 8 ? 8 - tt.time.size() : 0, ' ').append(tt.time);
            text_.append("  ");
            AppendTerminalSafe(text_, r.path);
            if (r.damaged)
                text_.append("  [damaged]");
            text_.push_back('\n');
            if (text_.size() >= kTextFlushAt)
                FlushText();
            return;
        }
        // One entry written straight into the writer's buffer: the same bytes as member by
        // member, with no copy of its own.
        const size_t room = 320 + JsonStringRoom(r.path.size()) + JsonStringRoom(r.name.size()) +
                            2 * r.rawPath.size();
        char* o = out_.Room(room);
        auto lit = [&o](std::string_view t) {
            std::memcpy(o, t.data(), t.size());
            o += t.size();
        };
        auto num = [&o](auto n) { o = std::to_chars(o, o + 24, n).ptr; };
        lit("{\"path\":");
        o = WriteJsonString(o, r.path);
        lit(",\"pathHex\":\"");
        o = WriteHex(o, r.rawPath);
        lit("\",\"name\":");
        o = WriteJsonString(o, r.name);
        lit(r.folder ? ",\"type\":\"folder\"" : ",\"type\":\"file\"");
        lit(",\"inode\":");
        num(r.inode);
        lit(",\"parentInode\":");
        num(r.parentInode);
        lit(",\"size\":");
        num(r.size);
        lit(",\"mtime\":");
        num(r.mtime);
        lit(",\"date\":\"");
        lit(tt.date);
        lit("\",\"time\":\"");
        lit(tt.time);
        lit("\",\"found\":\"");
        lit(FoundName(r.found));
        lit(r.damaged ? "\",\"damaged\":true}" : "\"}");
        out_.Commit(o);
    }
    void Finish(const std::vector<Warning>& warnings) {
        FlushText();
        if (json_) {
            out_.EndArray();
            out_.Key("warnings");
            WriteWarnings(out_, warnings);
            out_.EndObject();
            out_.EndLine();
        }
        std::fflush(stdout);
    }

private:
    static constexpr size_t kTextFlushAt = 256 * 1024;
    void FlushText() {
        if (!text_.empty())
            std::fwrite(text_.data(), 1, text_.size(), stdout);
        text_.clear();
    }

    bool json_;
    JsonWriter out_;
    std::string text_;
    UfsTimeFormatter times_;
};

// The shown and raw paths of the folders on the way down, in one buffer each: memory
// grows with the depth, never with the sum of the paths listed.
class PathStack {
public:
    // `base`: the start folder's path ("" for the root).
    PathStack(std::string shown, std::string raw) : shown_(std::move(shown)), raw_(std::move(raw)) {
        marks_.emplace_back(shown_.size(), raw_.size());
    }
    // Goes to the folder at `depth` - 1 and appends a child's name.
    void Child(size_t depth, std::string_view rawName) {
        shown_.resize(marks_[depth - 1].first);
        raw_.resize(marks_[depth - 1].second);
        shown_ += '/';
        nameAt_ = shown_.size();
        AppendDisplayName(shown_, rawName);
        raw_ += '/';
        raw_ += rawName;
    }
    // Makes the child just appended the folder at `depth`.
    void Enter(size_t depth) {
        marks_.resize(depth);
        marks_.emplace_back(shown_.size(), raw_.size());
    }
    void Leave(size_t depth) { marks_.resize(depth); }
    std::string_view Shown() const { return shown_; }
    std::string_view Raw() const { return raw_; }
    // The name appended last (which may hold a '/' of its own).
    std::string_view LastName() const { return std::string_view(shown_).substr(nameAt_); }

private:
    std::string shown_, raw_;
    size_t nameAt_ = 0;
    std::vector<std::pair<size_t, size_t>> marks_;
};

// The start folder's path with no trailing '/' ("" for the root), as shown or as on disk.
std::string BasePath(const RecoveredTree& t, uint32_t folderInode, bool display) {
    const std::string p = FolderPath(t, folderInode, '/', display);
    return p.empty() ? "" : "/" + p;
}

Row FolderRow(const RecoveredTree& t, uint32_t i, const PathStack& p) {
    const FolderNode& f = t.Folders()[i];
    return {p.Shown(),     p.Raw(), p.LastName(),   true,  f.inode,
            f.parentInode, 0,       f.modifiedTime, false, f.found};
}

Row FileRow(const RecoveredTree& t, uint32_t i, const PathStack& p) {
    const FileNode& f = t.Files()[i];
    return {p.Shown(),     p.Raw(), p.LastName(),   false,     f.inode,
            f.parentInode, f.size,  f.modifiedTime, f.damaged, f.found};
}

// Prints the children in the listing order (folders first, then files), depth first with
// -r: a folder's own listing follows its row at once.
void List(const RecoveredTree& t, uint32_t folderInode, bool recursive, RowPrinter& out) {
    struct Lister final : SubtreeVisitor {
        const RecoveredTree& t;
        bool recursive;
        RowPrinter& out;
        PathStack paths;
        Lister(const RecoveredTree& tree, bool r, RowPrinter& o, uint32_t start)
            : t(tree), recursive(r), out(o),
              paths(BasePath(tree, start, true), BasePath(tree, start, false)) {}
        bool EnterFolder(uint32_t f, size_t depth) override {
            paths.Child(depth, t.FolderName(f));
            out.Print(FolderRow(t, f, paths));
            if (!recursive)
                return false;
            paths.Enter(depth);
            return true;
        }
        void LeaveFolder(uint32_t, size_t depth) override { paths.Leave(depth); }
        void VisitFile(uint32_t f, size_t depth) override {
            paths.Child(depth, t.FileName(f));
            out.Print(FileRow(t, f, paths));
        }
    } lister(t, recursive, out, folderInode);
    t.WalkSubtree(folderInode, WalkOrder::FoldersFirst, lister);
}

int Info(const VolumeCommandOptions& o, Mounted& m) {
    if (const int rc = MountFromOptions(o, m); rc != kExitOk)
        return rc;
    const DriveInformation d = MakeDriveInformation(m.volume);
    const auto& warnings = m.volume.warnings;
    const LogReport& log = m.volume.log;
    if (o.json) {
        JsonWriter out(stdout);
        out.BeginObject();
        out.Member("volumeName", d.volumeName);
        out.Member("volumeStart", d.volumeStart);
        out.Member("volumeSize", d.volumeSize);
        out.Member("blockSize", d.blockSize);
        out.Member("superBlockStart", d.superBlockStart);
        out.Member("totalFiles", d.totalFiles);
        out.Member("totalFolders", d.totalFolders);
        out.Member("recoveryType", d.recoveryType);
        out.Key("warnings");
        WriteWarnings(out, warnings);
        out.Key("log");
        out.BeginObject();
        out.Member("state", LogStatusName(log.status));
        out.Member("transactions", log.transactions);
        out.Member("deltas", log.deltas);
        out.Member("bytes", log.bytes);
        if (log.status == LogStatus::Damaged)
            out.Member("reason", log.reason);
        out.EndObject();
        out.EndObject();
        out.EndLine();
        out.Flush();
    } else {
        std::cout << "Volume Name        " << TerminalSafe(d.volumeName) << "\n"
                  << "Volume Start       " << d.volumeStart << "\n"
                  << "Volume Size        " << d.volumeSize << "\n"
                  << "Block Size         " << d.blockSize << "\n"
                  << "Super Block Start  " << d.superBlockStart << "\n"
                  << "Total Files        " << d.totalFiles << "\n"
                  << "Total Folders      " << d.totalFolders << "\n"
                  << "Recovery Type      " << d.recoveryType << "\n"
                  << "UFS Log            " << TerminalSafe(text::LogSummary(log)) << "\n";
    }
    return Outcome(warnings);
}

int Ls(const LsOptions& o, Mounted& m) {
    if (const int rc = MountFromOptions(o, m); rc != kExitOk)
        return rc;
    const RecoveredTree& t = m.volume.tree;
    const auto target = ResolvePath(t, o.path);
    if (!target) {
        std::cerr << "trevik-cli: no such path in the volume: " << TerminalSafe(o.path) << "\n";
        return kExitFailure;
    }
    RowPrinter out(o.json);
    if (target->kind == PathTarget::File) {
        const uint32_t parent = t.Files()[target->index].parentInode;
        PathStack path(BasePath(t, parent, true), BasePath(t, parent, false));
        path.Child(1, t.FileName(target->index));
        out.Print(FileRow(t, target->index, path));
    } else {
        const uint32_t inode =
            target->kind == PathTarget::Root ? kRootInode : t.Folders()[target->index].inode;
        List(t, inode, o.recursive, out);
    }
    out.Finish(m.volume.warnings);
    return Outcome(m.volume.warnings);
}

int Find(const FindOptions& o, Mounted& m) {
    if (const int rc = MountFromOptions(o, m); rc != kExitOk)
        return rc;
    // Each hit is printed as it is found.
    struct Print final : FindObserver {
        const RecoveredTree& tree;
        bool asJson;
        JsonWriter out{stdout};
        std::string buf;
        size_t count = 0;
        Print(const RecoveredTree& t, bool j) : tree(t), asJson(j) {}
        void OnHit(const FindHit& h, size_t) override {
            const FileNode& f = tree.Files()[h.fileIndex];
            if (!asJson) {
                std::printf("%-40s %-40s %llu\n", TerminalSafe(h.name).c_str(),
                            TerminalSafe(h.path).c_str(), static_cast<unsigned long long>(h.size));
            } else {
                out.BeginObject();
                out.Member("name", h.name);
                out.Member("path", h.path);
                out.Member("size", h.size);
                out.Member("fullPath", ChildPath(tree, f.parentInode, tree.FileName(h.fileIndex)));
                buf = BasePath(tree, f.parentInode, false);
                buf += '/';
                buf += tree.FileName(h.fileIndex);
                const std::string hex = HexBytes(buf);
                out.Member("pathHex", hex);
                if (f.damaged)
                    out.Member("damaged", true);
                out.EndObject();
            }
            ++count;
        }
    } print(m.volume.tree, o.json);
    if (o.json) {
        print.out.BeginObject();
        print.out.Key("hits");
        print.out.BeginArray();
    }
    std::atomic<bool> stop{false};
    WatchStopFlag watch(stop);
    FindFiles(m.volume.tree, o.text, stop, nullptr, print);
    if (o.json) {
        print.out.EndArray();
        print.out.Key("warnings");
        WriteWarnings(print.out, m.volume.warnings);
        print.out.EndObject();
        print.out.EndLine();
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%zu file(s) found\n", print.count);
    return Outcome(m.volume.warnings);
}

int Recover(const RecoverOptions& o, Mounted& m) {
    ExtractionOptions options;
    options.duplicates = o.duplicates;
    options.rawNames = o.rawNames;
    options.keepSetid = o.keepSetid;
    options.keepOwner = o.keepOwner;
    options.workers = o.jobs;
    options.records = !o.report.empty();
    const int64_t started = static_cast<int64_t>(std::time(nullptr));
    if ((o.keepSetid || o.keepOwner) && ::geteuid() != 0) {
        std::cerr << "trevik-cli: --keep-setid and --keep-owner take effect only when run as "
                     "root; not kept\n";
    }
    // Nothing this run writes may land on what it reads, or on what it writes itself.
    auto refuseOverlaps = [&](Session& session) {
        const SourceGuard guard = SourceGuard::Of(*session.Device());
        std::vector<Status> checks = {
            guard.CheckDestination(o.to, options.duplicates == DuplicatePolicy::Overwrite)};
        if (!o.report.empty())
            checks.push_back(CheckReportPath(guard, o.report, o.to));
        if (!o.saveBadmap.empty()) {
            checks.push_back(guard.CheckOutputFile(o.saveBadmap, "the bad-sector map", o.to));
            m.saveBadmapAllowed = checks.back().ok();
        }
        if (!o.report.empty() && !o.saveBadmap.empty() && LiesInside(o.report, o.saveBadmap)) {
            checks.push_back(Error{"--report and --save-badmap name the same file"});
            m.saveBadmapAllowed = false;
        }
        for (const Status& c : checks) {
            if (!c) {
                std::cerr << "trevik-cli: " << TerminalSafe(c.error()) << "\n";
                return kExitFailure;
            }
        }
        options.protectedFiles = guard.Files();
        return kExitOk;
    };
    if (const int rc = MountFromOptions(o, m, refuseOverlaps); rc != kExitOk)
        return rc;
    // The report's folder is tried before the copy: a report that cannot be written is
    // known before hours of copying.
    std::optional<DfxmlReportFile> reportFile;
    if (!o.report.empty()) {
        auto created = DfxmlReportFile::Create(o.report);
        if (!created) {
            std::cerr << "trevik-cli: " << TerminalSafe(created.error()) << "\n";
            return kExitFailure;
        }
        reportFile.emplace(created.Take());
    }
    const RecoveredTree& t = m.volume.tree;
    std::vector<ExtractItem> items;
    bool all = o.paths.empty();
    for (const auto& p : o.paths) {
        const auto target = ResolvePath(t, p);
        if (!target) {
            std::cerr << "trevik-cli: no such path in the volume: " << TerminalSafe(p) << "\n";
            return kExitFailure;
        }
        if (target->kind == PathTarget::Root) {
            all = true;
        } else {
            items.push_back({target->kind == PathTarget::Folder, target->index});
        }
    }
    if (all)
        items.clear();

    struct Bar final : ExtractionObserver {
        ProgressLine p;
        void OnProgress(const ExtractionProgress& e) override {
            p.Show("Saving " + std::to_string(e.filesDone) + "/" + std::to_string(e.filesTotal) +
                   " files  " + std::to_string(e.bytesDone >> 20) + "/" +
                   std::to_string(e.bytesTotal >> 20) + " MiB  " + TerminalSafe(e.name));
        }
    } bar;
    ExtractionControl control;
    WatchStopFlag watch(control.stopSavingRequested);
    const ExtractionSummary s =
        ExtractItems(m.volume, m.session.Reader(), items, all, o.to, options, control, &bar);
    bar.p.Done();
    bool reportFailed = false;
    if (reportFile) {
        ReportSource source;
        source.imagePath = o.device;
        source.image = m.session.Device()->Details();
        source.program = "trevik-cli";
        source.version = TREVIK_VERSION;
        source.commandLine = o.commandLine;
        source.startTime = started;
        if (const Status written = reportFile->Write(source, m.volume, s); !written) {
            std::cerr << "trevik-cli: " << TerminalSafe(written.error()) << "\n";
            reportFailed = true;
        }
    }
    if (o.json)
        PrintCopyJson(s, m.volume.warnings);
    else
        PrintCopyText(s);
    std::cout.flush();
    const int rc = Outcome(m.volume.warnings);
    return CopyExitCode(s, reportFailed, rc);
}

} // namespace

// Runs one command on its own mount and writes --save-badmap whatever the outcome.
template <typename Options>
int WithMount(const Options& o, int (*command)(const Options&, Mounted&)) {
    Mounted m;
    WatchStopFlag watch(m.session.stopRequested);
    const int rc = command(o, m);
    return FinishReading(m.session, o, rc, m.saveBadmapAllowed);
}

int RunInfo(const VolumeCommandOptions& o) {
    return WithMount(o, Info);
}

int RunLs(const LsOptions& o) {
    return WithMount(o, Ls);
}

int RunFind(const FindOptions& o) {
    return WithMount(o, Find);
}

int RunRecover(const RecoverOptions& o) {
    return WithMount(o, Recover);
}

int RunMount(const MountOptions& o) {
    if (const Status free = CheckMountpoint(o.mountpoint); !free) {
        std::cerr << "trevik-cli: " << TerminalSafe(free.error()) << "\n";
        return kExitFailure;
    }
    Mounted m;
    int rc = MountFromOptions(o, m);
    if (rc != kExitOk)
        return rc;
    if (m.volume.log.status != LogStatus::None)
        std::cerr << "trevik-cli: " << TerminalSafe(text::LogSummary(m.volume.log)) << "\n";
    for (const Warning& w : m.volume.warnings)
        std::cerr << "trevik-cli: warning: " << TerminalSafe(text::WarningMessage(w)) << "\n";
    ServeOptions serve;
    serve.mountpoint = o.mountpoint;
    serve.fsname = "trevik:" + o.device;
    serve.foreground = o.foreground;
    serve.zeroFill = o.zeroFill;
    serve.keepSetid = o.keepSetid;
    rc = ServeVolume(m.session, m.volume, serve);
    return FinishReading(m.session, o, rc);
}

} // namespace trevik::cli
