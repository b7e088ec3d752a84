#pragma once

#include "ufs/inode.h"
#include "ufs/log_replay.h"
#include "ufs/mount_observer.h"
#include "ufs/recovered_tree.h"
#include "ufs/warnings.h"

#include <atomic>
#include <map>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace trevik {

// The directory phases of a mount: Normal walks the hierarchy from the root; Extensive
// scans every inode table for directories, then names them and gathers lost folders.
// Whatever cannot be read or makes no sense becomes a warning.
class DirectoryWalker {
public:
    DirectoryWalker(InodeAccess& access, RecoveredTree& tree, std::atomic<bool>& stopRequested,
                    MountObserver* observer)
        : access_(access), tree_(tree), stop_(stopRequested), observer_(observer) {}

    // Runs the phases of `mode` in order. Stop ends the phase that runs (the next one
    // still runs, as the user asked only to cut this one short); the flag is cleared
    // before each phase and after the last.
    void Run(RecoveryMode mode);
    // Whether a stop cut a phase of the last Run short.
    bool WasStopped() const { return stopped_; }

    // Sectors that are never searched as data: the UFS log's, which hold stale copies of
    // directory chunks and inodes. Not owned; outlives the walk.
    void ExcludeLog(const LogReport* log) { log_ = log; }

    // The warnings gathered so far, with paths as the tree now names them.
    std::vector<Warning> TakeWarnings();
    // Every entry met whose inode could not be read, in the order met.
    std::vector<UnreadableEntry> TakeUnreadableEntries() { return std::move(unreadableEntries_); }

    // Feeds every block of directory inode n, through all indirect levels, to the parser;
    // `known`: its inode, when already read.
    void WalkDirectoryInode(uint32_t n, const Inode* known = nullptr);

private:
    void NormalWalk();
    void ScanInodeTables();
    void ResolveFolderNames();
    // Folders an entry names that the inode scan did not find (their first block fails the
    // "." test): kept where the entry puts them, as the Normal walk keeps them.
    void NamedFolders();
    void SearchLostData();
    // Folders referenced (by an entry, or as ".." of recovered folders) whose inode cannot
    // be read or is damaged, rebuilt from the directory blocks among the allocated data.
    void RebuildLostFolders();
    // In-use files that no recovered folder names, under LostDir as File<inode>.
    void GatherOrphans();
    // Folders still unreachable from the root (their parents form a cycle) go under
    // LostDir.
    void GatherUnreachable();

    // Parses `length` bytes of one directory block. The first block of a directory must
    // begin with the directory's own "." entry. Each 512-byte chunk is parsed on its own:
    // a damaged entry ends its chunk only, and entries with inode 0 are passed over.
    void ParseDirectoryBlock(uint64_t sector, uint32_t directoryInode, uint32_t length,
                             bool firstBlock);
    // Parses one chunk; false when its structure is broken.
    bool ParseChunk(std::span<const uint8_t> chunk, uint32_t directoryInode);
    // Adds what one entry names, given its inode as read.
    void AddEntry(std::string_view name, uint32_t inode, uint32_t directoryInode,
                  const InodeRead& r);
    // An entry met while parsing: added at once, or queued while the walk defers.
    void Entry(std::string_view name, uint32_t inode, uint32_t directoryInode);
    // Reads the inodes the queued entries name, in inode order (each inode-table chunk
    // once), then adds the entries and gives the warnings met between them, in the order
    // they were met.
    void Flush();
    // Reads the direct blocks of folders [from, end) in merged runs sorted by address, as
    // many folders as about 1 MiB of blocks holds; returns the end of those folders.
    size_t Prefetch(size_t from, size_t end);
    // A directory block from the prefetched runs; false when it is not among them.
    bool FromPrefetch(uint64_t sector, std::span<uint8_t> out, ReadOutcome& outcome);

    void Warn(WarningKind kind, uint32_t folderInode, uint64_t sector);
    // Reads group c's cylinder-group block into `out`; false when unreadable.
    bool ReadGroupBlock(uint32_t c, std::vector<uint8_t>& out);
    // Parses every entry of one rebuilt block into folder `owner`.
    void ParseRebuiltBlock(std::span<const uint8_t> block, uint32_t owner);
    // An entry named an inode whose table sector cannot be read.
    void NoteLostInode(uint64_t sector, uint32_t inode, uint32_t directoryInode,
                       std::string_view name);
    void NoteUnreadableTableSector(uint64_t sector, uint64_t firstInode);

    bool Stopped() const { return stop_.load(std::memory_order_relaxed); }
    void Progress(uint32_t percent);
    void Phase(MountPhase phase);
    void FolderAdded(std::string_view name);
    void FileAdded(std::string_view name);

    InodeAccess& access_;
    RecoveredTree& tree_;
    RecoveryMode mode_ = RecoveryMode::Normal;
    std::atomic<bool>& stop_;
    MountObserver* observer_;
    std::vector<uint8_t> block_;
    Found found_ = Found::Walk; // how the entries being added now were found
    bool rootWalked_ = false;   // Extensive: the scan found the root and read it

    // While the walk defers, entries and the warnings met between them wait here.
    bool deferring_ = false;
    struct Pending {
        uint32_t nameAt, nameLength, inode, directoryInode;
    };
    std::string pendingNames_;
    std::vector<Pending> pending_;
    std::vector<Warning> pendingWarnings_;
    std::vector<uint32_t> events_; // kWarningEvent | warning, or an entry's index
    std::vector<uint64_t> order_;  // Flush's, kept for the next
    std::vector<InodeRead> reads_;
    static constexpr uint32_t kWarningEvent = 0x80000000u;
    static constexpr size_t kMaxPending = 8192;
    // Normal walk: what the walk of a folder found and not yet walked needs of its inode,
    // as its entry's read gave it, by folder index from walkBase_ on: where its record
    // begins in walkPool_ (mode, size, blocks, then the block pointers a folder of that
    // size uses), or kUnknown. Most folders need one pointer: a level of a hundred
    // thousand folders waits in a few megabytes.
    static constexpr uint32_t kUnknown = UINT32_MAX;
    std::vector<uint32_t> walkAt_;
    std::vector<uint32_t> walkPool_;
    size_t walkBase_ = 0;
    void KeepInode(size_t folder, const Inode& in);
    // Folder i's inode as its entry gave it; false when the walk must read it.
    bool KnownInode(size_t folder, Inode& out) const;
    // Directory blocks read ahead for the folders the walk is about to read.
    struct PrefetchRun {
        uint64_t first;
        uint32_t count;
        size_t at; // offset in prefetchBytes_
        bool whole;
    };
    std::vector<PrefetchRun> runs_;
    std::vector<uint8_t> prefetchBytes_;
    uint32_t lastProgress_ = UINT32_MAX;
    bool stopped_ = false;

    std::vector<Warning> warnings_;
    std::map<uint64_t, size_t> lostInodeWarnings_; // inode-table sector -> warning
    struct LostName {
        size_t warning;
        uint32_t directoryInode;
        std::string name;
    };
    std::vector<LostName> lostNames_;
    // Entries whose inode could not be read, or named a damaged folder: folders, perhaps,
    // to rebuild from their blocks.
    struct Referenced {
        uint32_t inode;
        uint32_t parentInode;
        std::string name;
    };
    std::vector<Referenced> unreadableNamed_;
    std::vector<UnreadableEntry> unreadableEntries_;
    std::vector<uint32_t> fileCandidates_;      // in-use (or live) file inodes the scan met
    const LogReport* log_ = nullptr;            // its sectors are no data
    std::vector<uint32_t> attrFolders_;         // extended-attribute folders the scan met
    std::unordered_set<uint64_t> parsedBlocks_; // first sectors of directory blocks parsed
};

} // namespace trevik
