#include "ufs/entry_batch.h"

#include <algorithm>

namespace trevik {

void EntryBatch::AddEntry(std::string_view name, uint32_t inode, uint32_t directoryInode) {
    events_.push_back({EventKind::Entry, static_cast<uint32_t>(entries_.size())});
    entries_.push_back({static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(name.size()),
                        inode, directoryInode});
    names_ += name;
}

void EntryBatch::AddWarning(Warning w) {
    events_.push_back({EventKind::Warning, static_cast<uint32_t>(warnings_.size())});
    warnings_.push_back(std::move(w));
}

void EntryBatch::Flush(InodeAccess& access, Sink& sink) {
    // (inode, entry) pairs, sorted: the inodes in table order, each read once.
    order_.resize(entries_.size());
    for (uint32_t i = 0; i < order_.size(); ++i)
        order_[i] = uint64_t{entries_[i].inode} << 32 | i;
    std::sort(order_.begin(), order_.end());
    reads_.resize(entries_.size());
    for (size_t k = 0; k < order_.size(); ++k) {
        const auto entry = static_cast<uint32_t>(order_[k]);
        const auto inode = static_cast<uint32_t>(order_[k] >> 32);
        const auto previous = static_cast<uint32_t>(k > 0 ? order_[k - 1] : 0);
        reads_[entry] =
            k > 0 && order_[k - 1] >> 32 == inode ? reads_[previous] : access.ReadInode(inode);
    }
    // Closed while the sink adds what it is handed: what that meets is added at once.
    const bool was = open_;
    open_ = false;
    for (const Event& e : events_) {
        if (e.kind == EventKind::Warning) {
            sink.OnWarning(std::move(warnings_[e.index]));
            continue;
        }
        const Waiting& w = entries_[e.index];
        sink.OnEntry(std::string_view(names_).substr(w.nameAt, w.nameLength), w.inode,
                     w.directoryInode, reads_[e.index]);
    }
    open_ = was;
    entries_.clear();
    names_.clear();
    warnings_.clear();
    events_.clear();
}

} // namespace trevik
