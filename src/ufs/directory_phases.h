#pragma once

// The directory phases of a mount, and the list of them each mode runs. Every phase works
// on the walk's shared context; the Extensive phases also pass on what they found to the
// ones after them.

#include "ufs/walk_context.h"

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace trevik {

class DirectoryPhase {
public:
    virtual ~DirectoryPhase() = default;
    // The step the user is shown as this phase begins, when it begins one.
    virtual std::optional<MountPhase> Begins() const { return std::nullopt; }
    virtual void Run(WalkContext& walk) = 0;
};

// What the Extensive phases find for the ones after them. Folders that entries name are
// kept as names, to be placed once the inode scan has found every folder it can.
class ExtensiveFindings final : public FolderEntries {
public:
    void Folder(WalkContext& walk, std::string_view name, uint32_t inode, uint32_t parentInode,
                const Inode& in) override;
    void LostFolder(uint32_t inode, uint32_t parentInode, std::string_view name) override {
        unreadableNamed.push_back({inode, parentInode, std::string(name)});
    }
    void BlockParsed(uint64_t sector) override { parsedBlocks.insert(sector); }

    bool rootWalked = false; // the scan found the root and read it
    // Entries whose inode could not be read, or named a damaged folder: folders, perhaps,
    // to rebuild from their blocks.
    struct Referenced {
        uint32_t inode;
        uint32_t parentInode;
        std::string name;
    };
    std::vector<Referenced> unreadableNamed;
    std::vector<uint32_t> fileCandidates;      // in-use (or live) file inodes the scan met
    std::vector<uint32_t> attrFolders;         // extended-attribute folders the scan met
    std::unordered_set<uint64_t> parsedBlocks; // first sectors of directory blocks parsed
};

// The phases `mode` runs, in order; the Extensive ones share `findings`, which outlives
// them.
std::vector<std::unique_ptr<DirectoryPhase>> PhasesOf(RecoveryMode mode,
                                                      ExtensiveFindings& findings);

// Normal: the hierarchy walked from the root, folder by folder in the order found.
std::unique_ptr<DirectoryPhase> MakeNormalWalk();
// Extensive: every inode table scanned for folders and in-use files; each folder found is
// read, and named "Dir<inode>" until an entry names it.
std::unique_ptr<DirectoryPhase> MakeInodeTableScan(ExtensiveFindings& findings);
// Folders an entry names that the inode scan did not find (their first block fails the
// "." test): kept where the entry puts them, as the Normal walk keeps them.
std::unique_ptr<DirectoryPhase> MakeNamedFolders();
// Folders referenced (by an entry, or as ".." of recovered folders) whose inode cannot be
// read or is damaged, rebuilt from the directory blocks among the allocated data.
std::unique_ptr<DirectoryPhase> MakeLostFolderRebuild(ExtensiveFindings& findings);
// In-use files that no recovered folder names, under LostDir as File<inode>.
std::unique_ptr<DirectoryPhase> MakeOrphanGathering(ExtensiveFindings& findings);

// Where an entry names a folder the scan found, the folder takes the entry's name and
// stands where the entry puts it.
void NameFoldersByEntries(RecoveredTree& tree);

} // namespace trevik
