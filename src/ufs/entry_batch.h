#pragma once

#include "ufs/inode.h"
#include "ufs/warnings.h"

#include <string>
#include <string_view>
#include <vector>

namespace trevik {

// Batched inode resolution. While a batch is open, the entries a walk parses wait here
// with the warnings met between them; a flush reads the inodes they name in inode order,
// so that each inode-table chunk is read once per batch rather than once per entry, and
// hands entries and warnings back in the order they were met.
class EntryBatch {
public:
    // What a flush hands back, one event at a time, in the order met.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void OnEntry(std::string_view name, uint32_t inode, uint32_t directoryInode,
                             const InodeRead& read) = 0;
        virtual void OnWarning(Warning w) = 0;
    };

    // Entries wait only while the batch is open; a closed batch takes none.
    void Open() { open_ = true; }
    void Close() { open_ = false; }
    bool IsOpen() const { return open_; }

    void AddEntry(std::string_view name, uint32_t inode, uint32_t directoryInode);
    void AddWarning(Warning w);
    // Whether the batch holds as many entries as one flush should read.
    bool Full() const { return entries_.size() >= kMostEntries; }

    // Reads the inodes of the waiting entries and hands every event to `sink`. The batch
    // stays open or closed as it was while the sink adds what it is handed, so that what
    // the sink meets is not queued again; it is empty afterwards.
    void Flush(InodeAccess& access, Sink& sink);

private:
    static constexpr size_t kMostEntries = 8192;
    struct Waiting {
        uint32_t nameAt, nameLength, inode, directoryInode;
    };
    enum class EventKind : uint8_t { Entry, Warning };
    struct Event {
        EventKind kind;
        uint32_t index; // into entries_ or warnings_
    };
    bool open_ = false;
    std::string names_;
    std::vector<Waiting> entries_;
    std::vector<Warning> warnings_;
    std::vector<Event> events_;
    std::vector<uint64_t> order_; // a flush's working memory, kept for the next
    std::vector<InodeRead> reads_;
};

} // namespace trevik
