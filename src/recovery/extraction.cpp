#include "recovery/extraction.h"

#include "format/sha256.h"
#include "format/unique_fd.h"
#include "ufs/file_reader.h"
#include "ufs/inode.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace trevik {

namespace {

constexpr size_t kDefaultNameMax = 255;

// The DFXML name_type letter of an inode's type.
char TypeLetter(uint16_t mode) {
    switch (ufs::TypeOf(mode)) {
    case ufs::kTypeDir:
        return 'd';
    case ufs::kTypeSymlink:
        return 'l';
    case ufs::kTypeFile:
        return 'r';
    case ufs::kTypeCharDevice:
        return 'c';
    case ufs::kTypeBlockDevice:
        return 'b';
    case ufs::kTypeFifo:
        return 'p';
    case ufs::kTypeSocket:
        return 's';
    default:
        return '-';
    }
}

// The attributes an item keeps from its inode.
struct Attributes {
    mode_t perm = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    int32_t mtime = 0;
    bool owner = false; // uid and gid are known
};

// A folder of the destination on the copy's path, from the destination down.
struct Frame {
    UniqueFd fd; // closed for deep frames and reopened from an ancestor when needed
    std::string name;
    Attributes attr;
    bool fresh = false;  // created by this run: nothing in it was there before
    bool isItem = false; // a folder of the volume (the destination itself is not)
    NameClaims names;    // the names this run gave in this folder
};

// A temporary output on its way into place.
struct Output {
    UniqueFd fd;
    std::string temp;
};

// How copying a file's blocks ended, whether any part was unreadable or lost, and the
// system's error when writing failed.
struct Copied {
    enum End { Whole, Skipped, Stopped, Failed } end = Whole;
    bool damaged = false;
    SysError error;
    uint64_t writtenEnd = 0; // where the last byte written ends: the file's size so far
    // Where the file ends as written: its size, or where its block map began to repeat
    // itself (nothing after that is the file's).
    uint64_t fileEnd = UINT64_MAX;
};

class Extractor;

// Adds the results `from` holds after those `to` holds.
void Append(ExtractionSummary& to, ExtractionSummary& from) {
    auto append = [](auto& a, auto& b) {
        a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
        b.clear();
    };
    to.filesWritten += from.filesWritten;
    to.bytesWritten += from.bytesWritten;
    to.foldersCreated += from.foldersCreated;
    to.skipped += from.skipped;
    to.specialsSkipped += from.specialsSkipped;
    append(to.incomplete, from.incomplete);
    append(to.damaged, from.damaged);
    append(to.renamed, from.renamed);
    append(to.skippedItems, from.skippedItems);
    append(to.records, from.records);
    to.stopped = to.stopped || from.stopped;
    if (to.error.empty())
        to.error = std::move(from.error);
}

// The least work worth a thread of its own: smaller subtrees are copied by the walk.
constexpr uint64_t kSmallestTask = 64;

// Folders whose whole subtrees one worker copies: each created by the walk that found it
// (so that its name is settled in order), then filled and given its attributes by the
// worker. Small subtrees that follow one another in the walk travel together.
struct Task {
    struct Folder {
        ExtractionSummary made; // what making it had to say: comes before its subtree's
        bool exists = false;    // else it could not be made: nothing to fill
        Frame frame;
        uint32_t inode = 0;
        std::string destPrefix; // its path below the destination, with a trailing '/'
    };
    std::vector<Folder> folders;
    uint64_t weight = 0;
    ExtractionSummary* summary{}; // its place among the run's results
};

// What the workers of one run share: the settings, the progress shown, the queue of
// subtrees and the rules that keep a failing disk to one reader.
// Whether the walk passes a folder over: the empty folder of found items, when asked.
bool Omitted(const RecoveredTree& t, const ExtractionOptions& o, uint32_t folder) {
    const uint32_t inode = t.Folders()[folder].inode;
    return o.omitEmptyLostDir && inode == kLostDirInode && t.ChildFolders(inode).empty() &&
           t.ChildFiles(inode).empty();
}

struct SharedRun {
    SharedRun(const MountedVolume& v, SectorReader& r, const ExtractionOptions& o,
              ExtractionControl& c, ExtractionObserver* obs)
        : volume(v), reader(r), opts(o), control(c), observer(obs), root(::geteuid() == 0),
          umask(CurrentUmask()),
          pidTag(std::string(kPartialPrefix) + std::to_string(::getpid()) + "-") {}

    const MountedVolume& volume;
    SectorReader& reader;
    const ExtractionOptions opts;
    ExtractionControl& control;
    ExtractionObserver* const observer;
    const bool root;
    const mode_t umask;
    const std::string pidTag;
    std::atomic<uint64_t> tempCounter{0};
    std::atomic<bool> ended{false}; // the destination failed: every worker ends

    // Progress is one account, reported in order under its lock. With several workers, the
    // file shown is the largest of those being read now, and Skip File is that file's.
    void FileStarted(const void* owner, std::string path, std::string name, uint64_t size) {
        // Without an observer nothing is shown and nobody presses Skip File: nothing to
        // keep, and no lock taken per file.
        if (observer == nullptr)
            return;
        std::lock_guard lock(progressMutex);
        if (owner == shownOwner) // its last file is done: a skip meant for that one lapses
            control.skipFileRequested.store(false);
        inFlight[owner] = {std::move(path), std::move(name), size};
        ShowLargest();
        observer->OnFileStarted(progress);
    }
    // True once for the Skip File the user pressed while this worker's file was shown.
    bool TakeSkip(const void* owner) {
        if (!control.skipFileRequested.load(std::memory_order_relaxed))
            return false;
        std::lock_guard lock(progressMutex);
        if (owner != shownOwner && shownOwner != nullptr)
            return false;
        return control.skipFileRequested.exchange(false);
    }
    // Without an observer nobody reads the account: no lock taken per block.
    void AddBytes(int64_t n, bool report) {
        if (observer == nullptr)
            return;
        std::lock_guard lock(progressMutex);
        progress.bytesDone = static_cast<uint64_t>(static_cast<int64_t>(progress.bytesDone) + n);
        if (report)
            observer->OnProgress(progress);
    }
    void FileDone(const void* owner, int64_t correction) {
        if (observer == nullptr)
            return;
        std::lock_guard lock(progressMutex);
        inFlight.erase(owner);
        ++progress.filesDone;
        progress.bytesDone =
            static_cast<uint64_t>(static_cast<int64_t>(progress.bytesDone) + correction);
        if (owner == shownOwner && !inFlight.empty())
            ShowLargest();
        observer->OnProgress(progress);
    }
    struct InFlight {
        std::string path, name;
        uint64_t size = 0;
    };
    // Under progressMutex.
    void ShowLargest() {
        auto best = inFlight.end();
        for (auto it = inFlight.begin(); it != inFlight.end(); ++it)
            if (best == inFlight.end() || it->second.size > best->second.size)
                best = it;
        if (best == inFlight.end())
            return;
        shownOwner = best->first;
        progress.path = best->second.path;
        progress.name = best->second.name;
    }
    std::map<const void*, InFlight> inFlight; // each worker's file, by worker
    const void* shownOwner = nullptr;         // whose file the progress shows
    std::mutex progressMutex;
    ExtractionProgress progress;

    // Once the disk has shown a bad sector, files are read one at a time: parallel reads
    // make a dying drive worse.
    std::mutex oneReader;

    // Subtrees waiting for a worker; `closed` once the walk that fills the queue is done.
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<Task> queue;
    bool closed = false;
    void Push(Task t) {
        {
            std::lock_guard lock(queueMutex);
            queue.push_back(std::move(t));
        }
        queueChanged.notify_one();
    }
    void Close() {
        {
            std::lock_guard lock(queueMutex);
            closed = true;
        }
        queueChanged.notify_all();
    }
    // The next subtree, or nothing once the queue is closed and empty.
    std::optional<Task> Pop(bool wait) {
        std::unique_lock lock(queueMutex);
        if (wait)
            queueChanged.wait(lock, [&] { return closed || !queue.empty(); });
        if (queue.empty())
            return std::nullopt;
        Task t = std::move(queue.front());
        queue.pop_front();
        return t;
    }
};

class Extractor {
public:
    Extractor(SharedRun& run, ExtractionSummary* summary)
        : run_(run), tree_(run.volume.tree),
          access_(run.reader, run.volume.geometry, run.volume.groupTable), opts_(run.opts),
          control_(run.control), observer_(run.observer), root_(run.root), umask_(run.umask),
          sum_(summary) {}

    // Copies the chosen items, handing whole subtrees to `workers` - 1 other threads.
    void Run(const std::vector<ExtractItem>& items, bool all, const std::string& destination,
             unsigned workers);
    // Fills one subtree a walk handed over.
    void RunTask(Task& task);

private:
    // A run that ends before its last item, on request or because the destination failed,
    // is a stopped run: what it did not reach was not written.
    bool Stopping() {
        if (control_.stopSavingRequested.load() || run_.ended.load()) {
            sum_->stopped = true;
        }
        return sum_->stopped || !sum_->error.empty();
    }
    // Records why the run cannot go on (the first reason only); the run then ends.
    void EndRun(const std::string& what, SysError err) {
        if (sum_->error.empty())
            sum_->error = what + ": " + err.Text();
        sum_->stopped = true;
        run_.ended.store(true);
    }
    // An item that could not be written, and why; the run ends too when the destination
    // cannot take more.
    void ItemFailed(const std::string& path, const std::string& what, SysError err) {
        const std::string reason = what + ": " + err.Text();
        sum_->incomplete.push_back(path);
        sum_->skippedItems.push_back({path, reason});
        NotWritten(reason);
        if (err.EndsRun())
            EndRun(what + " " + path, err);
    }
    void Skipped(const std::string& path, const char* reason) {
        sum_->skippedItems.push_back({path, reason});
        NotWritten(reason);
    }
    // The item being copied was not written, and why.
    void NotWritten(const std::string& reason) {
        if (record_ != nullptr) {
            record_->status = ItemRecord::Status::Skipped;
            record_->reason = reason;
            record_->writtenAs.clear();
            record_->hashed = false;
        }
    }
    // Notes where block data of the current file lies, and what of it could not be read.
    void RecordBlock(uint64_t fileOffset, uint64_t sector, uint32_t length, bool damaged);
    void RecordLost(uint64_t fileOffset, uint64_t length);
    // Hashes the file as written up to `end`: zeros where nothing was written.
    void HashZerosTo(uint64_t end);

    void CountFolder(uint32_t inode);
    void CopyFolderTree(int64_t folder);
    int FrameFd(size_t k);
    bool PushFolder(uint32_t folder);
    void PopFolder();
    void ApplyFolderAttributes(size_t k);
    // The walk reaches a folder: makes it and goes in, or, when its subtree is at most a
    // worker's share, makes it and hands the subtree over. True when the walk goes in.
    bool EnterOrHandOver(uint32_t folder);
    // Sends the subtrees gathered so far to the workers: the walk is about to add results
    // of its own, which come after theirs.
    void CloseBatch();
    void CopyFile(uint32_t fileIndex);
    void PlaceItem(uint32_t fileIndex, const Inode& inode, bool lost);
    bool OpenTemp(int dirFd, Output& out, mode_t perm, uint32_t fileIndex);
    bool WriteRegular(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex, bool lost,
                      bool& damaged, uint64_t& size);
    bool WriteLink(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex);
    Copied CopyBlocks(int fd, const Inode& inode);
    bool MoveIntoPlace(int dirFd, Frame& frame, const Output& out, const std::string& base,
                       std::string& name, bool replace, uint32_t fileIndex);
    std::string NextTempName() { return run_.pidTag + std::to_string(++run_.tempCounter); }

    std::string ShownName(std::string_view raw) const {
        return opts_.rawNames ? std::string(raw) : DisplayName(raw);
    }
    // The first " (N)" name of `base` neither given by this run nor in the folder.
    static std::string FreeName(int dirFd, Frame& f, const std::string& base) {
        return f.names.FreeName(base, [dirFd](const std::string& n) { return ExistsAt(dirFd, n); });
    }
    mode_t Permissions(uint16_t mode) const {
        return static_cast<mode_t>(mode) & (opts_.keepSetid && root_ ? 07777 : 0777);
    }
    bool KeepOwner(const Attributes& a) const { return opts_.keepOwner && root_ && a.owner; }
    Attributes AttributesOf(const Inode& inode, bool known) const {
        return {static_cast<mode_t>(inode.mode & 07777), inode.uid, inode.gid, inode.modifiedTime,
                known};
    }

    std::string FilePath(uint32_t fileIndex) const {
        const std::string folder =
            FolderPath(tree_, tree_.Files()[fileIndex].parentInode, '/', true);
        return (folder.empty() ? "" : "/" + folder) + "/" + DisplayName(tree_.FileName(fileIndex));
    }
    std::string FolderItemPath(uint32_t folder) const {
        return "/" + FolderPath(tree_, tree_.Folders()[folder].inode, '/', true);
    }
    // Where `name` in the innermost frame lies below the destination.
    std::string DestPath(const std::string& name) const {
        std::string p = destPrefix_;
        for (size_t k = 1; k < frames_.size(); ++k)
            p += frames_[k].name + "/";
        return p + name;
    }

    SharedRun& run_;
    const RecoveredTree& tree_;
    InodeAccess access_;
    const ExtractionOptions& opts_;
    ExtractionControl& control_;
    ExtractionObserver* observer_;
    const bool root_;
    const mode_t umask_;
    ExtractionSummary* sum_;
    std::vector<Frame> frames_;
    std::string destPrefix_; // the outermost frame's path below the destination

    // The walk that hands subtrees over: the results in walk order (its own between the
    // subtrees'), and each folder's share of the work.
    std::deque<ExtractionSummary>* segments_ = nullptr;
    std::vector<uint64_t> weight_;
    uint64_t handOverAt_ = UINT64_MAX;
    std::optional<Task> batch_;               // subtrees gathered, not yet sent
    ExtractionSummary* afterBatch_ = nullptr; // the walk's results after them
    uint64_t counted_ = 0; // bytes of the current file counted in the progress so far
    // With records: the current item's, and the hash of what was written of it so far.
    ItemRecord* record_ = nullptr;
    std::optional<Sha256> hash_;
    uint64_t hashedTo_ = 0;
    uint64_t hashedZeros_ = 0;
};

// Holes are hashed as the zeros they read as, up to this much per file; a file sparser
// than that gets no digest (hashing terabytes of zeros a hostile inode claims is no use).
constexpr uint64_t kMostHashedZeros = uint64_t{4} << 30;

void Extractor::HashZerosTo(uint64_t end) {
    if (!hash_ || end <= hashedTo_)
        return;
    hashedZeros_ += end - hashedTo_;
    if (hashedZeros_ > kMostHashedZeros) {
        hash_.reset();
        return;
    }
    hash_->UpdateZeros(end - hashedTo_);
    hashedTo_ = end;
}

void Extractor::RecordBlock(uint64_t fileOffset, uint64_t sector, uint32_t length, bool damaged) {
    auto add = [](std::vector<ByteRun>& runs, ByteRun r) {
        if (!runs.empty() && runs.back().located && r.located &&
            runs.back().fileOffset + runs.back().length == r.fileOffset &&
            runs.back().imgOffset + runs.back().length == r.imgOffset) {
            runs.back().length += r.length;
        } else {
            runs.push_back(r);
        }
    };
    add(record_->runs, {fileOffset, sector * kSectorSize, length, true});
    if (!damaged)
        return;
    // The sectors the reader found unreadable, exactly.
    const BadSectorMap& bad = run_.reader.BadSectors();
    const uint64_t end = sector + SectorsFor(length);
    for (uint64_t s = bad.NextBad(sector, end); s < end; s = bad.NextBad(s, end)) {
        const uint64_t runEnd = std::min(bad.BadRunEnd(s), end);
        const uint64_t from = (s - sector) * kSectorSize;
        const uint64_t to = std::min<uint64_t>((runEnd - sector) * kSectorSize, length);
        add(record_->unreadable, {fileOffset + from, s * kSectorSize, to - from, true});
        s = runEnd;
    }
}

void Extractor::RecordLost(uint64_t fileOffset, uint64_t length) {
    if (length != 0)
        record_->unreadable.push_back({fileOffset, 0, length, false});
}

// Counts the files and bytes below a folder for the progress display and, when subtrees
// may be handed over, weighs each folder's subtree (a file, plus one per 64 KiB).
void Extractor::CountFolder(uint32_t inode) {
    struct Count final : SubtreeVisitor {
        const RecoveredTree& tree;
        SharedRun& run;
        std::vector<uint64_t>* weight;
        std::vector<int64_t> path{-1}; // the folders entered, the start folder first
        std::vector<uint32_t> order;   // folders in the order entered
        std::vector<int64_t> parentOf; // by folder, while weighing
        Count(const RecoveredTree& t, SharedRun& r, std::vector<uint64_t>* w)
            : tree(t), run(r), weight(w) {
            if (weight != nullptr)
                parentOf.assign(tree.FolderCount(), -1);
        }
        bool EnterFolder(uint32_t f, size_t depth) override {
            if (Omitted(tree, run.opts, f))
                return false;
            if (weight != nullptr) {
                path.resize(depth);
                parentOf[f] = path.back();
                path.push_back(f);
                order.push_back(f);
            }
            return true;
        }
        void VisitFile(uint32_t f, size_t depth) override {
            const uint64_t size = tree.Files()[f].size;
            ++run.progress.filesTotal;
            run.progress.bytesTotal += size;
            if (weight != nullptr && path[depth - 1] >= 0)
                (*weight)[static_cast<size_t>(path[depth - 1])] += 1 + size / 65536;
        }
    } count(tree_, run_, segments_ != nullptr ? &weight_ : nullptr);
    if (segments_ != nullptr && weight_.empty())
        weight_.assign(tree_.FolderCount(), 0);
    tree_.WalkSubtree(inode, WalkOrder::FilesFirst, count);
    for (auto it = count.order.rbegin(); it != count.order.rend(); ++it) {
        if (count.parentOf[*it] >= 0)
            weight_[static_cast<size_t>(count.parentOf[*it])] += weight_[*it];
    }
}

int Extractor::FrameFd(size_t k) {
    if (frames_[k].fd.Valid())
        return frames_[k].fd.Get();
    size_t j = k;
    while (!frames_[j].fd.Valid())
        --j;
    UniqueFd cur;
    int curFd = frames_[j].fd.Get();
    for (size_t m = j + 1; m <= k; ++m) {
        SysError err;
        UniqueFd next = OpenFolderAt(curFd, frames_[m].name, err);
        if (!next.Valid()) {
            EndRun("Cannot reopen folder " + frames_[m].name, err);
            return -1;
        }
        cur = std::move(next);
        curFd = cur.Get();
    }
    frames_[k].fd = std::move(cur);
    return frames_[k].fd.Get();
}

// Creates folder i inside the innermost frame (or goes into the folder of that name an
// earlier run left) and makes it the innermost. Deep trees keep a handle only every 64
// levels and reopen the others from there, so depth costs no handles. False when the
// folder cannot be made: its subtree is not copied, and the folder is reported.
bool Extractor::PushFolder(uint32_t folder) {
    constexpr size_t kKeepOpen = 64;
    const size_t k = frames_.size() - 1;
    const int fd = FrameFd(k);
    if (fd < 0)
        return false;
    Frame& parent = frames_[k];
    const std::string shown = ShownName(tree_.FolderName(folder));
    const std::string base = BaseOutputName(shown, parent.names.nameMax);
    std::string name = parent.names.RunName(base);
    bool fresh = false;
    UniqueFd child;
    for (int attempt = 0; !child.Valid(); ++attempt) {
        if (const SysError err = MakeFolderAt(fd, name, fresh)) {
            ItemFailed(FolderItemPath(folder), "Cannot create folder", err);
            return false;
        }
        SysError err;
        child = OpenFolderAt(fd, name, err);
        if (child.Valid())
            break;
        if ((err.code != ENOTDIR && err.code != ELOOP) || attempt > kMostAttempts) {
            ItemFailed(FolderItemPath(folder), "Cannot open folder", err);
            return false;
        }
        name = FreeName(fd, parent, base); // a file or link holds the name
    }
    parent.names.Claim(name);
    if (fresh) {
        ++sum_->foldersCreated;
    } else {
        PrepareForFilling(child.Get()); // left by an earlier run: filled again
    }
    if (name != shown)
        sum_->renamed.push_back({FolderItemPath(folder), DestPath(name)});

    Frame f;
    f.name = std::move(name);
    f.fresh = fresh;
    f.isItem = true;
    f.names.nameMax = NameMaxOf(child.Get(), parent.names.nameMax);
    const uint32_t inode = tree_.Folders()[folder].inode;
    InodeRead read;
    if (inode != kLostDirInode)
        read = access_.ReadInode(inode);
    if (read.Ok() && read.inode.IsDirectory()) {
        f.attr = AttributesOf(read.inode, true);
    } else {
        f.attr.perm = 0755; // a folder the tree made, or whose inode is gone
    }
    f.attr.mtime = tree_.Folders()[folder].modifiedTime;
    if (opts_.records) {
        ItemRecord& r = sum_->records.emplace_back();
        r.folder = true;
        r.index = folder;
        r.writtenAs = DestPath(f.name);
        r.renamed = f.name != shown;
        r.type = 'd';
        r.inode = inode;
        r.mode = read.Ok() && read.inode.IsDirectory() ? read.inode.mode : 0;
        r.mtime = f.attr.mtime;
    }
    f.fd = std::move(child);
    if (k >= kKeepOpen && k % kKeepOpen != 0)
        frames_[k].fd.Reset();
    frames_.push_back(std::move(f));
    return true;
}

// Owner, then permissions (which a change of owner may clear), then the time, which the
// folder's contents no longer change.
void Extractor::ApplyFolderAttributes(size_t k) {
    const int fd = FrameFd(k);
    if (fd < 0)
        return;
    const Attributes& a = frames_[k].attr;
    SetFolderAttributes(fd, KeepOwner(a), a.uid, a.gid, Permissions(static_cast<uint16_t>(a.perm)),
                        a.mtime);
}

// Done with the innermost folder: its attributes are set last, so a read-only folder
// could still be filled.
void Extractor::PopFolder() {
    const size_t k = frames_.size() - 1;
    if (frames_[k].isItem)
        ApplyFolderAttributes(k);
    frames_.pop_back();
}

// Copies a folder (or, for -1, the whole volume into the destination itself) depth
// first, in listing order: a folder's sub-folders, then its files.
void Extractor::CopyFolderTree(int64_t folder) {
    uint32_t start = kRootInode;
    if (folder >= 0) {
        CloseBatch();
        if (!PushFolder(static_cast<uint32_t>(folder)))
            return;
        start = tree_.Folders()[static_cast<size_t>(folder)].inode;
    }
    struct Copy final : SubtreeVisitor {
        Extractor& x;
        explicit Copy(Extractor& e) : x(e) {}
        bool EnterFolder(uint32_t f, size_t) override { return x.EnterOrHandOver(f); }
        void LeaveFolder(uint32_t, size_t) override { x.PopFolder(); }
        void VisitFile(uint32_t f, size_t) override {
            x.CloseBatch();
            x.CopyFile(f);
        }
        bool Stopped() override { return x.Stopping(); }
    } copy(*this);
    tree_.WalkSubtree(start, WalkOrder::FoldersFirst, copy);
    // A stopped run still gives the folders it made their modes and times.
    while (frames_.size() > 1)
        PopFolder();
}

// Creates a temporary with the file's permissions (the handle writes whatever they say).
bool Extractor::OpenTemp(int dirFd, Output& out, mode_t perm, uint32_t fileIndex) {
    SysError err;
    out.fd = CreateTemporary(
        dirFd, [this] { return NextTempName(); }, perm, out.temp, err);
    if (out.fd.Valid())
        return true;
    ItemFailed(FilePath(fileIndex), "Cannot write", err);
    return false;
}

// Writes the file's blocks: data where the map has it, holes left as holes, unreadable
// parts as zeros (marking the file damaged). A file holds at most as many blocks as its
// volume: a map that yields more is garbage.
Copied Extractor::CopyBlocks(int fd, const Inode& inode) {
    bool damaged = false;
    uint64_t writtenEnd = 0;
    FileReader reader(access_, inode);
    std::vector<uint8_t> block(reader.BlockSize());
    uint64_t blocks = reader.BlockCount();
    if (blocks > reader.Capacity()) {
        damaged = true; // more than the block map can address: the rest reads as zeros
        blocks = reader.Capacity();
    }
    const uint64_t volumeBlocks = VolumeBlocks(access_.Geometry()) + 1;
    uint64_t dataBlocks = 0;
    for (uint64_t lbn = 0; lbn < blocks;) {
        if (run_.TakeSkip(this)) {
            return {Copied::Skipped, damaged, {}, writtenEnd};
        }
        if (Stopping()) {
            return {Copied::Stopped, damaged, {}, writtenEnd};
        }
        const BlockMap::Next candidate = reader.NextCandidate(lbn);
        const uint64_t next = std::min(candidate.lbn, blocks);
        damaged = damaged || candidate.lost;
        if (next != lbn) { // a whole absent indirect range: a hole in the output too
            const uint64_t gap = reader.BlockOffset(next) - reader.BlockOffset(lbn);
            if (record_ != nullptr && candidate.lost)
                RecordLost(reader.BlockOffset(lbn), gap);
            counted_ += gap;
            run_.AddBytes(static_cast<int64_t>(gap), false);
            lbn = next;
            continue;
        }
        const uint32_t len = reader.BlockLength(lbn);
        const auto state = reader.ReadBlock(lbn, {block.data(), len});
        using State = FileReader::BlockState;
        damaged = damaged || state == State::Damaged || state == State::Lost;
        if (record_ != nullptr && state == State::Lost)
            RecordLost(reader.BlockOffset(lbn), len);
        if (state == State::Data || state == State::Damaged) {
            if (++dataBlocks > volumeBlocks) {
                return {Copied::Whole, true, {}, writtenEnd, writtenEnd};
            }
            if (record_ != nullptr) {
                RecordBlock(reader.BlockOffset(lbn), reader.LastSector(), len,
                            state == State::Damaged);
                HashZerosTo(reader.BlockOffset(lbn));
                if (hash_) {
                    hash_->Update({block.data(), len});
                    hashedTo_ = reader.BlockOffset(lbn) + len;
                }
            }
            if (const SysError err = WriteAt(fd, block.data(), len, reader.BlockOffset(lbn)))
                return {Copied::Failed, damaged, err, writtenEnd};
            writtenEnd = reader.BlockOffset(lbn) + len;
        }
        counted_ += len;
        run_.AddBytes(len, true);
        ++lbn;
    }
    Copied whole{Copied::Whole, damaged, {}, writtenEnd};
    if (reader.Repeated())
        whole.fileEnd = reader.TrustedEnd();
    return whole;
}

// Writes a file under a temporary name and gives it its whole size (a file that ends in
// a hole gets it from the truncate), owner, permissions and time. False when it cannot be
// finished: the temporary is gone. `lost`: nothing of its contents can be located.
bool Extractor::WriteRegular(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex,
                             bool lost, bool& damaged, uint64_t& size) {
    const mode_t perm = Permissions(inode.mode);
    if (!OpenTemp(dirFd, out, perm, fileIndex))
        return false;
    const Copied copied =
        lost ? Copied{Copied::Whole, true, {}, 0} : CopyBlocks(out.fd.Get(), inode);
    auto discard = [&] {
        out.fd.Reset();
        Discard(dirFd, out.temp);
    };
    if (copied.end != Copied::Whole) {
        discard();
        if (copied.end == Copied::Skipped) {
            ++sum_->skipped;
            Skipped(FilePath(fileIndex), "skipped on request");
        } else if (copied.end == Copied::Failed) {
            ItemFailed(FilePath(fileIndex), "Cannot write", copied.error);
        } else {
            // Stopped while it was being written: nothing of it is in the destination.
            sum_->incomplete.push_back(FilePath(fileIndex));
            Skipped(FilePath(fileIndex), "not written: the copy stopped");
        }
        return false;
    }
    // A map that repeats itself ends the file where it began to: a loop must not come back
    // as a sparse file of whatever size its inode claims.
    size = std::min(inode.size, copied.fileEnd);
    const Attributes a = AttributesOf(inode, true);
    FileFinish finish;
    finish.size = size;
    finish.writtenEnd = copied.writtenEnd;
    finish.setOwner = KeepOwner(a);
    finish.uid = a.uid;
    finish.gid = a.gid;
    finish.perm = perm;
    finish.setPerm = (perm & (umask_ | 07000)) != 0;
    finish.mtime = inode.modifiedTime;
    if (const SysError err = FinishFile(out.fd, finish)) {
        discard();
        ItemFailed(FilePath(fileIndex), "Cannot write", err);
        return false;
    }
    damaged = copied.damaged;
    if (record_ != nullptr) {
        if (lost)
            RecordLost(0, inode.size);
        HashZerosTo(size);
        record_->hashed = hash_.has_value();
        if (hash_)
            record_->sha256 = hash_->Digest();
    }
    return true;
}

// A link is recreated as a link under a temporary name and never followed; its target
// may say anything.
bool Extractor::WriteLink(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex) {
    const auto target = ReadSymlinkTarget(access_, inode);
    if (!target) {
        sum_->incomplete.push_back(FilePath(fileIndex));
        Skipped(FilePath(fileIndex), "its target cannot be read");
        return false;
    }
    if (const SysError err = CreateLinkTemporary(
            dirFd, *target, [this] { return NextTempName(); }, out.temp)) {
        // An empty or overlong target cannot be a link here.
        ItemFailed(FilePath(fileIndex), "Cannot create link", err);
        return false;
    }
    const Attributes a = AttributesOf(inode, true);
    SetLinkAttributes(dirFd, out.temp, KeepOwner(a), a.uid, a.gid, inode.modifiedTime);
    return true;
}

// Renames a whole temporary to `name`: over an existing file only when told to replace
// it, else never over anything (a name taken meanwhile gives a " (N)" name).
bool Extractor::MoveIntoPlace(int dirFd, Frame& frame, const Output& out, const std::string& base,
                              std::string& name, bool replace, uint32_t fileIndex) {
    for (int attempt = 0;; ++attempt) {
        const SysError err = RenameInto(dirFd, out.temp, name, replace);
        if (!err)
            return true;
        if (err.code != EEXIST || replace || attempt > kMostAttempts) {
            Discard(dirFd, out.temp);
            ItemFailed(FilePath(fileIndex), "Cannot write", err);
            return false;
        }
        name = FreeName(dirFd, frame, base);
        frame.names.Claim(name);
    }
}

// Writes one file or link into the innermost frame under the name it is shown with, or
// the name the duplicate rules give it.
void Extractor::PlaceItem(uint32_t fileIndex, const Inode& inode, bool lost) {
    const size_t k = frames_.size() - 1;
    const int dirFd = FrameFd(k);
    if (dirFd < 0)
        return;
    Frame& frame = frames_[k];
    const std::string shown = ShownName(tree_.FileName(fileIndex));
    const std::string base = BaseOutputName(shown, frame.names.nameMax);
    std::string name = frame.names.RunName(base);
    bool replace = false;
    bool isFolder = false;
    uint64_t dev = 0, ino = 0;
    if (!frame.fresh) {
        if (ExistsAt(dirFd, name, &isFolder, &dev, &ino)) {
            if (opts_.duplicates == DuplicatePolicy::Skip) {
                frame.names.Claim(name);
                ++sum_->skipped;
                Skipped(FilePath(fileIndex), "already in the destination");
                return;
            }
            const bool isSource =
                std::find(opts_.protectedFiles.begin(), opts_.protectedFiles.end(),
                          FileIdentity{dev, ino}) != opts_.protectedFiles.end();
            if (opts_.duplicates == DuplicatePolicy::Overwrite && !isFolder && !isSource) {
                replace = true;
            } else {
                name = FreeName(dirFd, frame, base);
            }
        }
    }
    frame.names.Claim(name);
    Output out;
    bool damaged = false;
    uint64_t size = 0;
    const bool made = inode.IsSymlink()
                          ? WriteLink(dirFd, out, inode, fileIndex)
                          : WriteRegular(dirFd, out, inode, fileIndex, lost, damaged, size);
    if (!made || !MoveIntoPlace(dirFd, frame, out, base, name, replace, fileIndex))
        return;
    ++sum_->filesWritten;
    if (!inode.IsSymlink())
        sum_->bytesWritten += size;
    if (damaged)
        sum_->incomplete.push_back(FilePath(fileIndex));
    if (name != shown)
        sum_->renamed.push_back({FilePath(fileIndex), DestPath(name)});
    if (record_ != nullptr) {
        record_->writtenAs = DestPath(name);
        record_->renamed = name != shown;
        record_->status = damaged ? ItemRecord::Status::Incomplete : ItemRecord::Status::Whole;
    }
}

void Extractor::CopyFile(uint32_t fileIndex) {
    const FileNode& node = tree_.Files()[fileIndex];
    if (observer_ != nullptr)
        run_.FileStarted(this, FolderPath(tree_, node.parentInode, '/', true),
                         DisplayName(tree_.FileName(fileIndex)), node.size);
    counted_ = 0;
    std::unique_lock oneReader(run_.oneReader, std::defer_lock);
    if (run_.reader.BadSectors().Any())
        oneReader.lock();

    InodeRead read = access_.ReadInode(node.inode);
    const bool lost = !read.Ok();
    if (lost) {
        // Its inode cannot be read now: the file is written as zeros of the size the
        // listing showed, and reported incomplete.
        read.inode = Inode{};
        read.inode.mode = ufs::kTypeFile | 0644;
        read.inode.size = node.size;
        read.inode.modifiedTime = node.modifiedTime;
    }
    const Inode& inode = read.inode;
    record_ = nullptr;
    if (opts_.records) {
        ItemRecord& r = sum_->records.emplace_back();
        r.index = fileIndex;
        r.inode = node.inode;
        r.mode = inode.mode;
        r.size = node.damaged ? node.size : inode.size;
        r.mtime = inode.modifiedTime;
        r.type = TypeLetter(inode.mode);
        record_ = &r;
        hash_.emplace();
        hashedTo_ = 0;
        hashedZeros_ = 0;
    }
    if (node.damaged || ufs::IsMetadataMode(inode.mode) ||
        (!lost && InodeIsDamaged(access_.Geometry(), inode.mode, inode.size, inode.blocks))) {
        // Listed, never written: nothing of what such an inode claims can be trusted.
        sum_->damaged.push_back(FilePath(fileIndex));
        if (record_ != nullptr) {
            record_->status = ItemRecord::Status::Damaged;
            record_->reason = "its inode cannot be what it claims";
        }
    } else if (ufs::IsSpecialMode(inode.mode)) {
        ++sum_->specialsSkipped;
        Skipped(FilePath(fileIndex), "device file, FIFO or socket: not copied");
    } else {
        PlaceItem(fileIndex, inode, lost);
    }
    run_.FileDone(this, static_cast<int64_t>(node.size) - static_cast<int64_t>(counted_));
    record_ = nullptr;
    hash_.reset();
}

bool Extractor::EnterOrHandOver(uint32_t folder) {
    if (Omitted(tree_, run_.opts, folder))
        return false;
    if (segments_ == nullptr || weight_[folder] > handOverAt_) {
        CloseBatch();
        return PushFolder(folder);
    }
    const bool small = weight_[folder] < kSmallestTask;
    if (!small)
        CloseBatch(); // a share of its own
    if (!batch_) {
        // The subtrees' results go where the walk would have put them; the walk's own go
        // on after.
        batch_.emplace();
        batch_->summary = &segments_->emplace_back();
        afterBatch_ = &segments_->emplace_back();
    }
    Task::Folder f;
    sum_ = &f.made;
    f.exists = PushFolder(folder);
    sum_ = afterBatch_;
    if (f.exists) {
        f.frame = std::move(frames_.back());
        frames_.pop_back();
        f.inode = tree_.Folders()[folder].inode;
        f.destPrefix = DestPath(f.frame.name) + "/";
    }
    batch_->folders.push_back(std::move(f));
    batch_->weight += weight_[folder];
    if (!small || batch_->weight >= kSmallestTask)
        CloseBatch();
    return false;
}

void Extractor::CloseBatch() {
    if (!batch_)
        return;
    if (!batch_->folders.empty())
        run_.Push(std::move(*batch_));
    batch_.reset();
}

void Extractor::RunTask(Task& task) {
    sum_ = task.summary;
    struct Copy final : SubtreeVisitor {
        Extractor& x;
        explicit Copy(Extractor& e) : x(e) {}
        bool EnterFolder(uint32_t f, size_t) override { return x.PushFolder(f); }
        void LeaveFolder(uint32_t, size_t) override { x.PopFolder(); }
        void VisitFile(uint32_t f, size_t) override { x.CopyFile(f); }
        bool Stopped() override { return x.Stopping(); }
    } copy(*this);
    for (Task::Folder& f : task.folders) {
        Append(*sum_, f.made);
        if (!f.exists)
            continue;
        destPrefix_ = std::move(f.destPrefix);
        frames_.push_back(std::move(f.frame));
        if (!Stopping())
            tree_.WalkSubtree(f.inode, WalkOrder::FoldersFirst, copy);
        while (!frames_.empty())
            PopFolder();
    }
}

// Takes handed-over subtrees until the walk is done and none is left.
void WorkOnQueue(SharedRun& run, bool wait) {
    Extractor worker(run, nullptr); // one per thread: its inode cache serves every subtree
    while (auto task = run.Pop(wait))
        worker.RunTask(*task);
}

// The results of the walk and of the subtrees it handed over, in walk order: what one
// worker alone would have reported.
void Merge(std::deque<ExtractionSummary>& parts, ExtractionSummary& out) {
    for (ExtractionSummary& p : parts)
        Append(out, p);
}

void Extractor::Run(const std::vector<ExtractItem>& items, bool all, const std::string& destination,
                    unsigned workers) {
    std::error_code ec;
    const bool existed = std::filesystem::exists(destination, ec);
    std::filesystem::create_directories(destination, ec);
    SysError err;
    UniqueFd dest = OpenDestination(destination, err);
    if (!dest.Valid()) {
        EndRun("Cannot open destination " + destination, err);
        return;
    }
    if (const SysError denied = CheckWritable(dest.Get())) {
        EndRun("Cannot write to destination " + destination, denied);
        return;
    }
    if (existed)
        RemoveStaleTemporaries(dest.Get());
    Frame top;
    top.names.nameMax = NameMaxOf(dest.Get(), kDefaultNameMax);
    top.fd = std::move(dest);
    top.fresh = !existed;
    frames_.push_back(std::move(top));

    // With more than one worker, subtrees of about a quarter of a worker's share go to the
    // pool as the walk reaches them; the walk copies the rest, then helps the pool.
    std::deque<ExtractionSummary> segments;
    std::vector<std::thread> pool;
    ExtractionSummary* const whole = sum_;
    if (workers > 1) {
        segments_ = &segments;
        sum_ = &segments.emplace_back();
    }
    if (all) {
        CountFolder(kRootInode);
    } else {
        for (const auto& it : items) {
            if (it.isFolder) {
                CountFolder(tree_.Folders()[it.index].inode);
            } else {
                ++run_.progress.filesTotal;
                run_.progress.bytesTotal += tree_.Files()[it.index].size;
            }
        }
    }
    if (workers > 1) {
        uint64_t total = 0;
        for (size_t f = 0; f < weight_.size(); ++f) {
            const int64_t parent = tree_.FindFolder(tree_.Folders()[f].parentInode);
            if (parent < 0 || weight_[static_cast<size_t>(parent)] == 0)
                total += weight_[f]; // a top folder of what was chosen
        }
        handOverAt_ = std::max<uint64_t>(kSmallestTask, total / (uint64_t{workers} * 4));
        for (unsigned w = 1; w < workers; ++w)
            pool.emplace_back([this] { WorkOnQueue(run_, true); });
    }
    if (all) {
        CopyFolderTree(-1);
    } else {
        // The destination is one folder for all the chosen items: same-named ones from
        // different folders both arrive.
        for (const auto& it : items) {
            if (Stopping())
                break;
            if (it.isFolder) {
                CopyFolderTree(it.index);
            } else {
                CloseBatch();
                CopyFile(it.index);
            }
        }
    }
    if (workers > 1) {
        CloseBatch();
        run_.Close();
        WorkOnQueue(run_, false);
        for (auto& t : pool)
            t.join();
        sum_ = whole;
        Merge(segments, *sum_);
    }
}

} // namespace

ExtractionSummary ExtractItems(const MountedVolume& volume, SectorReader& reader,
                               const std::vector<ExtractItem>& items, bool all,
                               const std::string& destination, const ExtractionOptions& options,
                               ExtractionControl& control, ExtractionObserver* observer) {
    SharedRun run(volume, reader, options, control, observer);
    ExtractionSummary summary;
    Extractor x(run, &summary);
    unsigned workers = options.workers;
    if (workers == 0)
        workers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    x.Run(items, all, destination, workers);
    return summary;
}

} // namespace trevik
