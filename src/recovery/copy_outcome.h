#pragma once

// What a copy did, item by item, and everything told about it. The engine makes one
// `ItemOutcome` per item it reaches, and keeps it while anything will be told of the item
// (the plain rest are only counted); `Summarize` derives every count, list, report field
// and exit-code input from them, so no front end counts for itself.

#include "recovery/destination.h"
#include "ufs/recovered_tree.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace trevik {

// What became of one item: a folder of the recovered tree or a file.
struct ItemOutcome {
    enum class Result : uint8_t {
        Written,          // whole (a folder: made, or found from an earlier run and filled)
        WrittenWithZeros, // written; its unreadable parts are zeros
        Failed,           // could not be written: `step` failed with `error`
        Unfinished,       // the copy stopped while it was being written
        NoLinkTarget,     // a link whose target cannot be read
        AlreadyThere,     // its name is in the destination, and duplicates are left alone
        SkippedByUser,    // Skip File
        Special,          // a device file, FIFO or socket: not copied
        Damaged,          // its inode cannot be what it claims: listed, never written
    };
    // What a failed item was doing.
    enum class Step : uint8_t { None, CreateFolder, OpenFolder, Write, CreateLink };
    static constexpr uint32_t kNone = UINT32_MAX;

    // One is made for every item of a run: 24 bytes, what it keeps besides in `kept`.
    uint32_t index = 0;    // in the tree's Folders() or Files()
    SysError error;        // of the failed step
    uint64_t bytes = 0;    // written (files)
    uint32_t kept = kNone; // into CopyOutcome::kept
    // Until the engine says otherwise, an item it reached was not written: a run that ends
    // under it leaves it so.
    Result result = Result::Unfinished;
    Step step = Step::None;
    bool folder : 1 = false;
    bool created : 1 = false; // a folder this run made (else it was there and is filled again)
    bool renamed : 1 = false; // written under another name than the one shown
    bool chosen : 1 = false;  // one of the items the copy was asked for (the destination holds it)

    bool IsWritten() const {
        return result == Result::Written || result == Result::WrittenWithZeros;
    }
};

// Where a piece of a file lies: `length` bytes at `fileOffset` in the file, at byte
// `imgOffset` of the disk or image (unknown when not `located`).
struct ByteRun {
    uint64_t fileOffset = 0;
    uint64_t imgOffset = 0;
    uint64_t length = 0;
    bool located = true;
};

// What the disk said about one item, for a report: its inode's facts, where its bytes lie
// and what of them could not be read.
struct ItemRecord {
    char type = 'r'; // r file, l link, d folder, c b p s special (the DFXML letters)
    uint32_t inode = 0;
    uint16_t mode = 0;
    uint64_t size = 0;
    int32_t mtime = 0;
    std::vector<ByteRun> runs;       // its data on the disk, in file order (holes left out)
    std::vector<ByteRun> unreadable; // what could not be read (written as zeros)
    // SHA-256 of the file as written, when `hashed` (not for links, or files sparser than
    // what is worth hashing).
    std::array<uint8_t, 32> sha256{};
    bool hashed = false;
};

// What some items keep besides their outcome: where they are below the destination (for
// items written under another name, the chosen items, and every item of a report), and
// their record (with ExtractionOptions::records).
struct KeptDetail {
    std::string writtenAs;
    uint32_t record = ItemOutcome::kNone; // into CopyOutcome::records
};

// The outcomes of a run, in listing order, with what some of them keep.
struct CopyOutcome {
    std::vector<ItemOutcome> items;
    std::vector<KeptDetail> kept;
    std::vector<ItemRecord> records;
    // The items written whole under the name shown that nothing asks about again (neither
    // chosen nor renamed, and keeping nothing): counted here, their outcomes given back,
    // so that a copy keeps outcomes only of the items it will tell about.
    struct Counted {
        uint64_t files = 0;
        uint64_t bytes = 0;
        uint64_t foldersCreated = 0;
    } counted;
    bool stopped = false;
    std::string error; // set when the run could not go on (destination full, read-only...)

    // A new item's outcome, after the last item's is settled.
    ItemOutcome& Add();
    // Settles the last item: counted and given back when nothing will ask about it. Only
    // once nothing more is said of it (another item was added, or the run is over).
    void SettleLast();
    // `from`'s outcomes after these; `from` is emptied and gives its memory back.
    void Append(CopyOutcome&& from);
    // The runs' outcomes one after the other, in order, into one.
    static CopyOutcome Join(std::vector<CopyOutcome*> parts);

    // What `item` keeps (made when it keeps nothing yet).
    KeptDetail& Keep(ItemOutcome& item);
    const std::string& WrittenAs(const ItemOutcome& item) const;
    const ItemRecord* RecordOf(const ItemOutcome& item) const;
};

// The item's path in the volume, as reports show it ("/a/b").
std::string ItemPath(const RecoveredTree& tree, const ItemOutcome& item);

// "Cannot write", "Cannot create folder", ...: what a failed step was.
const char* FailedStepText(ItemOutcome::Step step);

// Why an item was not written, as reports and scripts show it ("" for one written).
std::string NotWrittenReason(const ItemOutcome& item);

// An item written under another name than the one shown: `from` its path in the volume,
// `to` its path below the destination.
struct RenamedItem {
    std::string from;
    std::string to;
};

// An item not written, and why.
struct SkippedItem {
    std::string path;
    std::string reason;
};

// What a copy did, told as counts and lists: all of it derived from `outcome`.
struct ExtractionSummary {
    uint64_t filesWritten = 0; // regular files and symbolic links written
    uint64_t bytesWritten = 0;
    uint64_t foldersCreated = 0;
    uint64_t skipped = 0;         // duplicates left alone and files the user skipped
    uint64_t specialsSkipped = 0; // device files, FIFOs and sockets
    // Files written with unreadable parts as zeros, and items that could not be written
    // at all (their reason is in `skippedItems`).
    std::vector<std::string> incomplete;
    std::vector<std::string> zeroFilled; // those of `incomplete` that were written
    std::vector<std::string> damaged;    // items whose inode cannot be what it claims: not written
    std::vector<RenamedItem> renamed;
    std::vector<SkippedItem> skippedItems;
    // The chosen items the destination now holds (written, or left there from before), as
    // paths below it, in the order chosen. For a copy of everything: the root's items.
    std::vector<std::string> written;
    bool stopped = false;
    std::string error;

    CopyOutcome outcome; // what all of the above says

    bool Whole() const {
        return incomplete.empty() && damaged.empty() && error.empty() && !stopped;
    }
};

// The counts and lists of `outcome`, whose items are of `tree`; the summary keeps it.
ExtractionSummary Summarize(const RecoveredTree& tree, CopyOutcome outcome);

} // namespace trevik
