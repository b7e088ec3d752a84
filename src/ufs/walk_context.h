#pragma once

#include "ufs/directory_read_ahead.h"
#include "ufs/entry_batch.h"
#include "ufs/inode.h"
#include "ufs/log_replay.h"
#include "ufs/mount_observer.h"
#include "ufs/recovered_tree.h"
#include "ufs/walk_warnings.h"

#include <atomic>
#include <span>
#include <string_view>
#include <vector>

namespace trevik {

class WalkContext;

// What the entries a phase parses make of the folders they name. The running phase says
// it, so that parsing a folder is the same in every mode.
class FolderEntries {
public:
    virtual ~FolderEntries() = default;
    // An entry names a sound folder.
    virtual void Folder(WalkContext& walk, std::string_view name, uint32_t inode,
                        uint32_t parentInode, const Inode& in) = 0;
    // An entry names what may be a folder whose inode cannot be read or is damaged.
    virtual void LostFolder(uint32_t /*inode*/, uint32_t /*parentInode*/,
                            std::string_view /*name*/) {}
    // The directory block at `sector` was parsed.
    virtual void BlockParsed(uint64_t /*sector*/) {}
};

// What every directory phase of a mount shares: the volume's inodes, the tree being built,
// the stop flag, the warnings, the entries waiting for their inodes and the blocks read
// ahead; and reading a folder, which every phase does the same way. Whatever cannot be
// read or makes no sense becomes a warning.
class WalkContext final : private EntryBatch::Sink {
public:
    WalkContext(InodeAccess& inodes, RecoveredTree& building, std::atomic<bool>& stopRequested,
                MountObserver* observer)
        : access(inodes), tree(building), stop_(stopRequested), observer_(observer) {}

    InodeAccess& access;
    RecoveredTree& tree;
    WalkWarnings warnings;
    EntryBatch batch;
    DirectoryReadAhead readAhead;
    Found found = Found::Walk;        // how the entries being added now were found
    FolderEntries* folders = nullptr; // the running phase's; not owned
    const LogReport* log = nullptr;   // its sectors are never searched as data; not owned
    // Every entry met whose inode could not be read, in the order met.
    std::vector<UnreadableEntry> unreadableEntries;

    bool Stopped() const { return stop_.load(std::memory_order_relaxed); }
    // Clears the stop flag as a phase begins; whether it was raised, as one ends.
    void ClearStop() { stop_.store(false); }
    bool StopRaised() const { return stop_.load(); }

    void Progress(uint32_t percent);
    void Phase(MountPhase phase);
    void FolderAdded(std::string_view name);
    void FileAdded(std::string_view name);
    // A warning about folder `folderInode`: in the batch, in its place among the entries,
    // while one is open.
    void Warn(WarningKind kind, uint32_t folderInode, uint64_t sector);

    // Makes room in the tree for the entries the file system last counted (see
    // RecoveredTree::Reserve), bounded by the volume's own inode count and a few million
    // whatever a damaged superblock claims.
    void ReserveForCountedEntries();

    // Feeds every block of directory inode n, through all indirect levels, to the parser;
    // `known`: its inode, when already read.
    void WalkDirectoryInode(uint32_t n, const Inode* known = nullptr);
    // Parses `length` bytes of one directory block. The first block of a directory must
    // begin with the directory's own "." entry. Each 512-byte chunk is parsed on its own:
    // a damaged entry ends its chunk only, and entries with inode 0 are passed over.
    void ParseDirectoryBlock(uint64_t sector, uint32_t directoryInode, uint32_t length,
                             bool firstBlock);
    // Parses one chunk; false when its structure is broken.
    bool ParseChunk(std::span<const uint8_t> chunk, uint32_t directoryInode);
    // Adds the waiting entries with their inodes, and the warnings met between them.
    void Flush() { batch.Flush(access, *this); }
    // Reads group c's cylinder-group block into `out`; false when unreadable.
    bool ReadGroupBlock(uint32_t c, std::vector<uint8_t>& out);

private:
    // An entry met while parsing: added at once, or queued while a batch is open.
    void Entry(std::string_view name, uint32_t inode, uint32_t directoryInode);
    // Adds what one entry names, given its inode as read.
    void AddEntry(std::string_view name, uint32_t inode, uint32_t directoryInode,
                  const InodeRead& r);
    void OnEntry(std::string_view name, uint32_t inode, uint32_t directoryInode,
                 const InodeRead& read) override {
        AddEntry(name, inode, directoryInode, read);
    }
    void OnWarning(Warning w) override { warnings.Add(std::move(w)); }

    std::atomic<bool>& stop_;
    MountObserver* observer_;
    std::vector<uint8_t> block_;
    uint32_t lastProgress_ = UINT32_MAX;
};

// The bytes of a folder a walk reads: no more than its volume holds, whatever its inode
// says.
uint64_t WalkedSize(const VolumeGeometry& g, const Inode& in);

} // namespace trevik
