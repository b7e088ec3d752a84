#pragma once

// Copying one file's blocks from the volume into an open output file.

#include "recovery/destination.h"
#include "recovery/item_records.h"
#include "ufs/inode.h"

#include <cstdint>

namespace trevik {

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

// What the copy of one file asks of the run around it, between blocks.
class BlockCopyControl {
public:
    virtual ~BlockCopyControl() = default;
    virtual bool SkipRequested() = 0; // the user skipped this file
    virtual bool Stopping() = 0;      // the run ends
    // `bytes` more of the file are done (`report`: worth showing now).
    virtual void Counted(uint64_t bytes, bool report) = 0;
};

// Writes the file's blocks to `fd`: data where the map has it, holes left as holes,
// unreadable parts as zeros (marking the file damaged). A file holds at most as many
// blocks as its volume: a map that yields more is garbage. `records`, when not null,
// learns where every block lies and hashes what is written.
Copied CopyBlocks(InodeAccess& access, const Inode& inode, int fd, RecordKeeper* records,
                  const BadSectorMap& bad, BlockCopyControl& control);

} // namespace trevik
