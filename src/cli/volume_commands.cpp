// trevik-cli info, ls, find and recover: commands that mount one volume.

#include "cli/commands.h"
#include "cli/output.h"
#include "cli/reading.h"
#include "recovery/drive_information.h"
#include "recovery/extraction.h"
#include "recovery/find_files.h"
#include "recovery/session.h"
#include "text/messages.h"
#include "ufs/mount.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"
#include "ufs/ufs_time.h"
#include "volume/disk_label.h"
#include "volume/superblock_scan.h"

#include <chrono>
#include <cstdio>
#include <iostream>
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
};

bool MountFromOptions(const VolumeCommandOptions& o, Mounted& m) {
    if (o.mode != "normal" && o.mode != "extensive") {
        std::cerr << "trevik-cli: --mode must be normal or extensive\n";
        return false;
    }
    if (!OpenForReading(m.session, o.device, o)) {
        return false;
    }
    SectorReader& reader = m.session.Reader();
    ProgressLine progress;
    if (o.scan) {
        ScanOptions scan;
        scan.endSector = DefaultScanEnd(reader.TotalSectors());
        scan.sectorsPerRead = m.session.settings.sectorsPerRead;
        ScanForVolumes(reader, scan, m.session.volumes, m.session.stopRequested);
    } else if (ReadDiskLabel(reader, m.session.volumes) == 0) {
        std::cerr
            << "No Solaris Partition Found  !! \r\nSelect Search Partition and than Click Next.\n";
        return false;
    }
    const size_t count = m.session.volumes.Count();
    if (o.volume < 1 || static_cast<size_t>(o.volume) > count) {
        std::cerr << "trevik-cli: no volume " << o.volume << " on " << o.device << " (it has "
                  << count << ")\n";
        return false;
    }
    const PartitionEntry entry = m.session.volumes[static_cast<size_t>(o.volume - 1)];
    MountProgress observer(progress);
    const RecoveryMode mode =
        o.mode == "extensive" ? RecoveryMode::Extensive : RecoveryMode::Normal;
    auto mounted = MountVolume(reader, entry, mode, m.session.stopRequested, &observer);
    progress.Done();
    if (!mounted) {
        std::cerr << "trevik-cli: " << mounted.error() << "\n";
        return false;
    }
    m.volume = mounted.Take();
    return true;
}

// Every warning as one line on stderr.
void PrintWarnings(const std::vector<Warning>& warnings) {
    for (const Warning& w : warnings) {
        std::cerr << "trevik-cli: warning: " << text::WarningMessage(w) << "\n";
    }
}

json WarningsJson(const std::vector<Warning>& warnings) {
    json list = json::array();
    for (const Warning& w : warnings) {
        json j{{"kind", text::WarningKindName(w.kind)}, {"message", text::WarningMessage(w)}};
        if (!w.path.empty())
            j["path"] = w.path;
        if (w.lastInode != 0)
            j["inodes"] = {w.firstInode, w.lastInode};
        if (w.sector)
            j["sector"] = *w.sector;
        if (!w.names.empty())
            j["names"] = w.names;
        list.push_back(std::move(j));
    }
    return list;
}

// The exit code of a command that completed: a failure when anything was lost.
int Outcome(const std::vector<Warning>& warnings) {
    PrintWarnings(warnings);
    return warnings.empty() ? kExitOk : kExitFailure;
}

// A node reached by a "/"-separated path of shown names: the root, a folder or a file.
struct Target {
    enum Kind { Root, Folder, File } kind = Root;
    uint32_t index = 0;
};

std::optional<Target> Resolve(const RecoveredTree& tree, const std::string& path) {
    Target t;
    uint32_t inode = kRootInode;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty())
            continue;
        if (t.kind == Target::File)
            return std::nullopt;
        bool found = false;
        for (uint32_t f : tree.ChildFolders(inode)) {
            if (DisplayName(tree.FolderName(f)) == part) {
                t = {Target::Folder, f};
                inode = tree.Folders()[f].inode;
                found = true;
                break;
            }
        }
        if (found)
            continue;
        for (uint32_t f : tree.ChildFiles(inode)) {
            if (DisplayName(tree.FileName(f)) == part) {
                t = {Target::File, f};
                found = true;
                break;
            }
        }
        if (!found)
            return std::nullopt;
    }
    return t;
}

struct Row {
    std::string path;
    std::string rawPath;
    std::string name;
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

std::string Join(const std::string& parent, std::string_view name) {
    return (parent == "/" ? "" : parent) + "/" + std::string(name);
}

Row FolderRow(const RecoveredTree& t, uint32_t i, const std::string& parentPath,
              const std::string& parentRaw) {
    const FolderNode& f = t.Folders()[i];
    return {Join(parentPath, DisplayName(t.FolderName(i))),
            Join(parentRaw, t.FolderName(i)),
            DisplayName(t.FolderName(i)),
            true,
            f.inode,
            f.parentInode,
            0,
            f.modifiedTime,
            false,
            f.found};
}

Row FileRow(const RecoveredTree& t, uint32_t i, const std::string& parentPath,
            const std::string& parentRaw) {
    const FileNode& f = t.Files()[i];
    return {Join(parentPath, DisplayName(t.FileName(i))),
            Join(parentRaw, t.FileName(i)),
            DisplayName(t.FileName(i)),
            false,
            f.inode,
            f.parentInode,
            f.size,
            f.modifiedTime,
            f.damaged,
            f.found};
}

std::string SlashPath(const RecoveredTree& t, uint32_t folderInode, bool display) {
    return "/" + FolderPath(t, folderInode, '/', display);
}

// Children in the listing order (folders first, then files), depth first with -r: a
// folder's own listing follows its row at once.
std::vector<Row> List(const RecoveredTree& t, uint32_t folderInode, bool recursive) {
    struct Lister final : SubtreeVisitor {
        const RecoveredTree& t;
        bool recursive;
        std::vector<Row> rows;
        // The shown and raw paths of the folders on the way down.
        std::vector<std::pair<std::string, std::string>> paths;
        Lister(const RecoveredTree& tree, bool r, uint32_t start) : t(tree), recursive(r) {
            paths.emplace_back(SlashPath(t, start, true), SlashPath(t, start, false));
        }
        bool EnterFolder(uint32_t f, size_t depth) override {
            const auto& [path, raw] = paths[depth - 1];
            rows.push_back(FolderRow(t, f, path, raw));
            if (!recursive) {
                return false;
            }
            paths.resize(depth);
            paths.emplace_back(rows.back().path, rows.back().rawPath);
            return true;
        }
        void LeaveFolder(uint32_t, size_t depth) override { paths.resize(depth); }
        void VisitFile(uint32_t f, size_t depth) override {
            const auto& [path, raw] = paths[depth - 1];
            rows.push_back(FileRow(t, f, path, raw));
        }
    } lister(t, recursive, folderInode);
    t.WalkSubtree(folderInode, WalkOrder::FoldersFirst, lister);
    return std::move(lister.rows);
}

int Info(const VolumeCommandOptions& o, Mounted& m) {
    if (!MountFromOptions(o, m))
        return kExitFailure;
    const DriveInformation d = MakeDriveInformation(m.volume);
    const auto& warnings = m.volume.warnings;
    if (o.json) {
        std::cout << Dump({{"volumeName", d.volumeName},
                           {"volumeStart", d.volumeStart},
                           {"volumeSize", d.volumeSize},
                           {"blockSize", d.blockSize},
                           {"superBlockStart", d.superBlockStart},
                           {"totalFiles", d.totalFiles},
                           {"totalFolders", d.totalFolders},
                           {"recoveryType", d.recoveryType},
                           {"warnings", WarningsJson(warnings)}})
                  << "\n";
    } else {
        std::cout << "Volume Name        " << d.volumeName << "\n"
                  << "Volume Start       " << d.volumeStart << "\n"
                  << "Volume Size        " << d.volumeSize << "\n"
                  << "Block Size         " << d.blockSize << "\n"
                  << "Super Block Start  " << d.superBlockStart << "\n"
                  << "Total Files        " << d.totalFiles << "\n"
                  << "Total Folders      " << d.totalFolders << "\n"
                  << "Recovery Type      " << d.recoveryType << "\n";
    }
    return Outcome(warnings);
}

int Ls(const LsOptions& o, Mounted& m) {
    if (!MountFromOptions(o, m))
        return kExitFailure;
    const RecoveredTree& t = m.volume.tree;
    const auto target = Resolve(t, o.path);
    if (!target) {
        std::cerr << "trevik-cli: no such path in the volume: " << o.path << "\n";
        return kExitFailure;
    }
    std::vector<Row> rows;
    if (target->kind == Target::File) {
        const uint32_t parent = t.Files()[target->index].parentInode;
        rows.push_back(
            FileRow(t, target->index, SlashPath(t, parent, true), SlashPath(t, parent, false)));
    } else {
        const uint32_t inode =
            target->kind == Target::Root ? kRootInode : t.Folders()[target->index].inode;
        rows = List(t, inode, o.recursive);
    }
    if (o.json) {
        json entries = json::array();
        for (const Row& r : rows) {
            const UfsTimeText tt = FormatUfsTime(r.mtime);
            json e{{"path", r.path},
                   {"pathHex", HexBytes(r.rawPath)},
                   {"name", r.name},
                   {"type", r.folder ? "folder" : "file"},
                   {"inode", r.inode},
                   {"parentInode", r.parentInode},
                   {"size", r.size},
                   {"mtime", r.mtime},
                   {"date", tt.date},
                   {"time", tt.time},
                   {"found", FoundName(r.found)}};
            if (r.damaged)
                e["damaged"] = true;
            entries.push_back(std::move(e));
        }
        std::cout << Dump({{"entries", entries}, {"warnings", WarningsJson(m.volume.warnings)}})
                  << "\n";
        return Outcome(m.volume.warnings);
    }
    for (const Row& r : rows) {
        const UfsTimeText tt = FormatUfsTime(r.mtime);
        std::printf("%-6s %14llu %11s %8s  %s%s\n", r.folder ? "folder" : "file",
                    static_cast<unsigned long long>(r.size), tt.date.c_str(), tt.time.c_str(),
                    r.path.c_str(), r.damaged ? "  [damaged]" : "");
    }
    return Outcome(m.volume.warnings);
}

int Find(const FindOptions& o, Mounted& m) {
    if (!MountFromOptions(o, m))
        return kExitFailure;
    struct Collect final : FindObserver {
        std::vector<FindHit> hits;
        void OnHit(const FindHit& h, size_t) override { hits.push_back(h); }
    } collect;
    std::atomic<bool> stop{false};
    FindFiles(m.volume.tree, o.text, stop, nullptr, collect);
    if (o.json) {
        json hits = json::array();
        for (const auto& h : collect.hits) {
            json hit{{"name", h.name}, {"path", h.path}, {"size", h.size}};
            if (m.volume.tree.Files()[h.fileIndex].damaged)
                hit["damaged"] = true;
            hits.push_back(std::move(hit));
        }
        std::cout << Dump({{"hits", hits}, {"warnings", WarningsJson(m.volume.warnings)}}) << "\n";
        return Outcome(m.volume.warnings);
    }
    for (const auto& h : collect.hits) {
        std::printf("%-40s %-40s %llu\n", h.name.c_str(), h.path.c_str(),
                    static_cast<unsigned long long>(h.size));
    }
    std::fprintf(stderr, "%zu file(s) found\n", collect.hits.size());
    return Outcome(m.volume.warnings);
}

int Recover(const RecoverOptions& o, Mounted& m) {
    DuplicatePolicy policy;
    if (o.duplicates == "skip") {
        policy = DuplicatePolicy::Skip;
    } else if (o.duplicates == "rename") {
        policy = DuplicatePolicy::Rename;
    } else if (o.duplicates == "overwrite") {
        policy = DuplicatePolicy::Overwrite;
    } else {
        std::cerr << "trevik-cli: --duplicates must be skip, rename or overwrite\n";
        return kExitUsage;
    }
    if (!MountFromOptions(o, m))
        return kExitFailure;
    const RecoveredTree& t = m.volume.tree;
    std::vector<ExtractItem> items;
    bool all = o.paths.empty();
    for (const auto& p : o.paths) {
        const auto target = Resolve(t, p);
        if (!target) {
            std::cerr << "trevik-cli: no such path in the volume: " << p << "\n";
            return kExitFailure;
        }
        if (target->kind == Target::Root) {
            all = true;
        } else {
            items.push_back({target->kind == Target::Folder, target->index});
        }
    }
    if (all)
        items.clear();

    struct Bar final : ExtractionObserver {
        ProgressLine p;
        void OnProgress(const ExtractionProgress& e) override {
            p.Show("Saving " + std::to_string(e.filesDone) + "/" + std::to_string(e.filesTotal) +
                   " files  " + std::to_string(e.bytesDone >> 20) + "/" +
                   std::to_string(e.bytesTotal >> 20) + " MiB  " + e.name);
        }
    } bar;
    ExtractionControl control;
    const ExtractionSummary s =
        ExtractItems(m.volume, m.session.Reader(), items, all, o.to, policy, control, &bar);
    bar.p.Done();
    if (o.json) {
        std::cout << Dump({{"filesWritten", s.filesWritten},
                           {"bytesWritten", s.bytesWritten},
                           {"foldersCreated", s.foldersCreated},
                           {"skipped", s.skipped},
                           {"incomplete", s.incomplete},
                           {"warnings", WarningsJson(m.volume.warnings)},
                           {"damaged", s.damaged}})
                  << "\n";
    } else {
        std::cout << "Files written    " << s.filesWritten << "\n"
                  << "Bytes written    " << s.bytesWritten << "\n"
                  << "Folders created  " << s.foldersCreated << "\n"
                  << "Skipped          " << s.skipped << "\n";
        if (s.specialsSkipped != 0) {
            std::cout << "Special files not copied " << s.specialsSkipped << "\n";
        }
        for (const auto& p : s.incomplete)
            std::cout << "Incomplete       " << p << "\n";
        for (const auto& p : s.damaged)
            std::cout << "Damaged, not written " << p << "\n";
    }
    const int rc = Outcome(m.volume.warnings);
    if (!s.error.empty()) {
        std::cerr << "trevik-cli: " << s.error << "\n";
        return kExitFailure;
    }
    if (!s.damaged.empty()) {
        std::cerr << "trevik-cli: " << s.damaged.size()
                  << " damaged item(s) not written: their inodes cannot be what they claim\n";
    }
    if (!s.incomplete.empty()) {
        std::cerr << "trevik-cli: " << s.incomplete.size()
                  << " file(s) had unreadable parts, written as zeros\n";
        return kExitFailure;
    }
    if (!s.damaged.empty()) {
        return kExitFailure;
    }
    return rc;
}

} // namespace

// Runs one command on its own mount and writes --save-badmap whatever the outcome.
template <typename Options>
int WithMount(const Options& o, int (*command)(const Options&, Mounted&)) {
    Mounted m;
    const int rc = command(o, m);
    return FinishReading(m.session, o, rc);
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

} // namespace trevik::cli
