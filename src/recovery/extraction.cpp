#include "recovery/extraction.h"

#include "format/unique_fd.h"
#include "recovery/block_copy.h"
#include "recovery/copy_plan.h"
#include "recovery/copy_run.h"
#include "recovery/item_records.h"
#include "ufs/file_reader.h"
#include "ufs/inode.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace trevik {

namespace {

using namespace copying;

constexpr size_t kDefaultNameMax = 255;

// A temporary output on its way into place.
struct Output {
    UniqueFd fd;
    std::string temp;
};

class Extractor final : private BlockCopyControl {
public:
    Extractor(SharedRun& run, CopyOutcome* outcome)
        : run_(run), tree_(run.volume.tree),
          access_(run.reader, run.volume.geometry, run.volume.groupTable), opts_(run.opts),
          control_(run.control), observer_(run.observer), rules_{run.opts.keepSetid && run.root,
                                                                 run.opts.keepOwner && run.root},
          umask_(run.umask), out_(outcome) {}

    // Copies the chosen items, handing whole subtrees to `workers` - 1 other threads.
    void Run(const std::vector<ExtractItem>& items, bool all, const std::string& destination,
             unsigned workers);
    // Fills one subtree a walk handed over.
    void RunTask(Task& task);

private:
    // A run that ends before its last item, on request or because the destination failed,
    // is a stopped run: what it did not reach was not written.
    bool Stopping() override {
        if (control_.stopSavingRequested.load() || run_.ended.load()) {
            out_->stopped = true;
        }
        return out_->stopped || !out_->error.empty();
    }
    // Records why the run cannot go on (the first reason only); the run then ends.
    void EndRun(const std::string& what, SysError err) {
        if (out_->error.empty())
            out_->error = what + ": " + err.Text();
        out_->stopped = true;
        run_.ended.store(true);
    }
    // The item `o` could not be written at `step`; the run ends too when the destination
    // cannot take more.
    void ItemFailed(ItemOutcome& o, ItemOutcome::Step step, SysError err) {
        o.result = ItemOutcome::Result::Failed;
        o.step = step;
        o.error = err;
        if (err.EndsRun()) {
            EndRun(std::string(FailedStepText(step)) + " " + ItemPath(tree_, o), err);
        }
    }
    // The file being copied: its outcome, the last one of the run so far.
    ItemOutcome& Current() { return out_->items.back(); }
    // Keeps where `o` is (`name` in the innermost frame) when anything will ask: for an
    // item written under another name, a chosen item, and every item of a report.
    void KeepName(ItemOutcome& o, const std::string& name) {
        o.chosen = frames_.size() == 1 && destPrefix_.empty();
        if (o.renamed || o.chosen || opts_.records) {
            out_->Keep(o).writtenAs = DestPath(name);
        }
    }
    void Written(ItemOutcome& o, const std::string& name, const std::string& shown) {
        o.renamed = name != shown;
        KeepName(o, name);
    }
    // Between the blocks of a file.
    bool SkipRequested() override { return run_.TakeSkip(this); }
    void Counted(uint64_t bytes, bool report) override {
        counted_ += bytes;
        run_.AddBytes(static_cast<int64_t>(bytes), report);
    }

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
    void PlaceItem(uint32_t fileIndex, const Inode& inode, const ItemAttributes& attr, bool lost);
    bool OpenTemp(int dirFd, Output& out, mode_t perm);
    bool WriteRegular(int dirFd, Output& out, const Inode& inode, const ItemAttributes& attr,
                      bool lost, bool& damaged, uint64_t& size);
    bool WriteLink(int dirFd, Output& out, const Inode& inode, const ItemAttributes& attr);
    bool MoveIntoPlace(int dirFd, Frame& frame, const Output& out, const std::string& base,
                       std::string& name, bool replace);

    std::string ShownName(std::string_view raw) const {
        return opts_.rawNames ? std::string(raw) : DisplayName(raw);
    }
    // The first " (N)" name of `base` neither given by this run nor in the folder.
    static std::string FreeName(int dirFd, Frame& f, const std::string& base) {
        return f.names.FreeName(base, [dirFd](const std::string& n) { return ExistsAt(dirFd, n); });
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
    const AttributeRules rules_; // what the options and the user's rights let through
    const mode_t umask_;
    CopyOutcome* out_;
    std::vector<Frame> frames_;
    std::string destPrefix_; // the outermost frame's path below the destination

    // The walk that hands subtrees over: the results in walk order (its own between the
    // subtrees'), and each folder's share of the work.
    std::deque<CopyOutcome>* segments_ = nullptr;
    std::vector<uint64_t> weight_;
    uint64_t handOverAt_ = UINT64_MAX;
    std::optional<Task> batch_;         // subtrees gathered, not yet sent
    CopyOutcome* afterBatch_ = nullptr; // the walk's results after them
    uint64_t counted_ = 0;              // bytes of the current file counted in the progress so far
    RecordKeeper records_;              // with records: the current item's
};

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
    ItemOutcome& o = out_->Add();
    o.folder = true;
    o.index = folder;
    const std::string shown = ShownName(tree_.FolderName(folder));
    const std::string base = BaseOutputName(shown, parent.names.nameMax);
    std::string name = parent.names.RunName(base);
    bool fresh = false;
    UniqueFd child;
    for (int attempt = 0; !child.Valid(); ++attempt) {
        if (const SysError err = MakeFolderAt(fd, name, fresh)) {
            ItemFailed(o, ItemOutcome::Step::CreateFolder, err);
            return false;
        }
        SysError err;
        child = OpenFolderAt(fd, name, err);
        if (child.Valid())
            break;
        if ((err.code != ENOTDIR && err.code != ELOOP) || attempt > kMostAttempts) {
            ItemFailed(o, ItemOutcome::Step::OpenFolder, err);
            return false;
        }
        name = FreeName(fd, parent, base); // a file or link holds the name
    }
    parent.names.Claim(name);
    o.result = ItemOutcome::Result::Written;
    o.created = fresh;
    if (!fresh)
        PrepareForFilling(child.Get()); // left by an earlier run: filled again
    Written(o, name, shown);

    Frame f;
    f.name = std::move(name);
    f.fresh = fresh;
    f.isItem = true;
    f.names.nameMax = NameMaxOf(child.Get(), parent.names.nameMax);
    const uint32_t inode = tree_.Folders()[folder].inode;
    InodeRead read;
    if (inode != kLostDirInode)
        read = access_.ReadInode(inode);
    f.attr = FolderAttributes(read, tree_.Folders()[folder].modifiedTime, rules_);
    if (opts_.records) {
        out_->Keep(o).record = static_cast<uint32_t>(out_->records.size());
        ItemRecord& r = out_->records.emplace_back();
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
    const ItemAttributes& a = frames_[k].attr;
    SetFolderAttributes(fd, a.owner, a.uid, a.gid, a.Permissions(), a.mtime);
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
bool Extractor::OpenTemp(int dirFd, Output& out, mode_t perm) {
    SysError err;
    out.fd = CreateTemporary(
        dirFd, [this] { return run_.NextTempName(); }, perm, out.temp, err);
    if (out.fd.Valid())
        return true;
    ItemFailed(Current(), ItemOutcome::Step::Write, err);
    return false;
}

// Writes a file under a temporary name and gives it its whole size (a file that ends in
// a hole gets it from the truncate), owner, permissions and time. False when it cannot be
// finished: the temporary is gone. `lost`: nothing of its contents can be located.
bool Extractor::WriteRegular(int dirFd, Output& out, const Inode& inode, const ItemAttributes& attr,
                             bool lost, bool& damaged, uint64_t& size) {
    const auto perm = static_cast<mode_t>(attr.Permissions());
    if (!OpenTemp(dirFd, out, perm))
        return false;
    const Copied copied = lost ? Copied{Copied::Whole, true, {}, 0}
                               : CopyBlocks(access_, inode, out.fd.Get(),
                                            records_.Current() != nullptr ? &records_ : nullptr,
                                            run_.reader.BadSectors(), *this);
    auto discard = [&] {
        out.fd.Reset();
        Discard(dirFd, out.temp);
    };
    if (copied.end != Copied::Whole) {
        discard();
        if (copied.end == Copied::Skipped) {
            Current().result = ItemOutcome::Result::SkippedByUser;
        } else if (copied.end == Copied::Failed) {
            ItemFailed(Current(), ItemOutcome::Step::Write, copied.error);
        } else {
            // Stopped while it was being written: nothing of it is in the destination.
            Current().result = ItemOutcome::Result::Unfinished;
        }
        return false;
    }
    // A map that repeats itself ends the file where it began to: a loop must not come back
    // as a sparse file of whatever size its inode claims.
    size = std::min(inode.size, copied.fileEnd);
    FileFinish finish;
    finish.size = size;
    finish.writtenEnd = copied.writtenEnd;
    finish.setOwner = attr.owner;
    finish.uid = attr.uid;
    finish.gid = attr.gid;
    finish.perm = perm;
    finish.setPerm = (perm & (umask_ | 07000)) != 0;
    finish.mtime = attr.mtime;
    if (const SysError err = FinishFile(out.fd, finish)) {
        discard();
        ItemFailed(Current(), ItemOutcome::Step::Write, err);
        return false;
    }
    damaged = copied.damaged;
    if (records_.Current() != nullptr) {
        if (lost)
            records_.Lost(0, inode.size);
        records_.Finish(size);
    }
    return true;
}

// A link is recreated as a link under a temporary name and never followed; its target
// may say anything.
bool Extractor::WriteLink(int dirFd, Output& out, const Inode& inode, const ItemAttributes& attr) {
    const auto target = ReadSymlinkTarget(access_, inode);
    if (!target) {
        Current().result = ItemOutcome::Result::NoLinkTarget;
        return false;
    }
    if (const SysError err = CreateLinkTemporary(
            dirFd, *target, [this] { return run_.NextTempName(); }, out.temp)) {
        // An empty or overlong target cannot be a link here.
        ItemFailed(Current(), ItemOutcome::Step::CreateLink, err);
        return false;
    }
    SetLinkAttributes(dirFd, out.temp, attr.owner, attr.uid, attr.gid, attr.mtime);
    return true;
}

// Renames a whole temporary to `name`: over an existing file only when told to replace
// it, else never over anything (a name taken meanwhile gives a " (N)" name).
bool Extractor::MoveIntoPlace(int dirFd, Frame& frame, const Output& out, const std::string& base,
                              std::string& name, bool replace) {
    for (int attempt = 0;; ++attempt) {
        const SysError err = RenameInto(dirFd, out.temp, name, replace);
        if (!err)
            return true;
        if (err.code != EEXIST || replace || attempt > kMostAttempts) {
            Discard(dirFd, out.temp);
            ItemFailed(Current(), ItemOutcome::Step::Write, err);
            return false;
        }
        name = FreeName(dirFd, frame, base);
        frame.names.Claim(name);
    }
}

// Writes one file or link into the innermost frame under the name it is shown with, or
// the name the duplicate rules give it.
void Extractor::PlaceItem(uint32_t fileIndex, const Inode& inode, const ItemAttributes& attr,
                          bool lost) {
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
                Current().result = ItemOutcome::Result::AlreadyThere;
                KeepName(Current(), name);
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
                          ? WriteLink(dirFd, out, inode, attr)
                          : WriteRegular(dirFd, out, inode, attr, lost, damaged, size);
    if (!made || !MoveIntoPlace(dirFd, frame, out, base, name, replace))
        return;
    ItemOutcome& o = Current();
    o.result = damaged ? ItemOutcome::Result::WrittenWithZeros : ItemOutcome::Result::Written;
    o.bytes = inode.IsSymlink() ? 0 : size;
    Written(o, name, shown);
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
    const ItemAttributes attr = FileAttributes(node, read, rules_);
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
    records_.End();
    ItemOutcome& o = out_->Add();
    o.index = fileIndex;
    if (opts_.records) {
        out_->Keep(o).record = static_cast<uint32_t>(out_->records.size());
        ItemRecord& r = out_->records.emplace_back();
        r.inode = node.inode;
        r.mode = inode.mode;
        r.size = node.damaged ? node.size : inode.size;
        r.mtime = inode.modifiedTime;
        r.type = TypeLetter(inode.mode);
        records_.Begin(r);
    }
    if (node.damaged || ufs::IsMetadataMode(inode.mode) ||
        (!lost && InodeIsDamaged(access_.Geometry(), inode.mode, inode.size, inode.blocks))) {
        // Listed, never written: nothing of what such an inode claims can be trusted.
        o.result = ItemOutcome::Result::Damaged;
    } else if (ufs::IsSpecialMode(inode.mode)) {
        o.result = ItemOutcome::Result::Special;
    } else {
        PlaceItem(fileIndex, inode, attr, lost);
    }
    run_.FileDone(this, static_cast<int64_t>(node.size) - static_cast<int64_t>(counted_));
    records_.End();
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
        batch_->outcome = &segments_->emplace_back();
        afterBatch_ = &segments_->emplace_back();
    }
    Task::Folder f;
    out_ = &f.made;
    f.exists = PushFolder(folder);
    out_ = afterBatch_;
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
    out_ = task.outcome;
    struct Copy final : SubtreeVisitor {
        Extractor& x;
        explicit Copy(Extractor& e) : x(e) {}
        bool EnterFolder(uint32_t f, size_t) override { return x.PushFolder(f); }
        void LeaveFolder(uint32_t, size_t) override { x.PopFolder(); }
        void VisitFile(uint32_t f, size_t) override { x.CopyFile(f); }
        bool Stopped() override { return x.Stopping(); }
    } copy(*this);
    for (Task::Folder& f : task.folders) {
        out_->Append(std::move(f.made));
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
void Merge(std::deque<CopyOutcome>& parts, CopyOutcome& out) {
    std::vector<CopyOutcome*> all{&out};
    for (CopyOutcome& p : parts)
        all.push_back(&p);
    out = CopyOutcome::Join(std::move(all));
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
    std::deque<CopyOutcome> segments;
    std::vector<std::thread> pool;
    CopyOutcome* const whole = out_;
    if (workers > 1) {
        segments_ = &segments;
        out_ = &segments.emplace_back();
    }
    CopyPlan plan(tree_, opts_, workers > 1);
    if (all) {
        plan.AddSubtree(kRootInode);
    } else {
        for (const auto& it : items) {
            if (it.isFolder) {
                plan.AddSubtree(tree_.Folders()[it.index].inode);
            } else {
                plan.AddFile(it.index);
            }
        }
    }
    run_.AddToTotal(plan.Files(), plan.Bytes());
    if (workers > 1) {
        handOverAt_ = plan.HandOverAt(workers);
        weight_ = plan.TakeWeights();
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
        out_ = whole;
        Merge(segments, *out_);
    }
}

} // namespace

ExtractionSummary ExtractItems(const MountedVolume& volume, SectorReader& reader,
                               const std::vector<ExtractItem>& items, bool all,
                               const std::string& destination, const ExtractionOptions& options,
                               ExtractionControl& control, ExtractionObserver* observer) {
    SharedRun run(volume, reader, options, control, observer);
    CopyOutcome outcome;
    Extractor x(run, &outcome);
    unsigned workers = options.workers;
    if (workers == 0)
        workers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    x.Run(items, all, destination, workers);
    return Summarize(volume.tree, std::move(outcome));
}

} // namespace trevik
