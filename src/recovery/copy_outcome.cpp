#include "recovery/copy_outcome.h"

#include "ufs/tree_paths.h"

namespace trevik {

void CopyOutcome::Append(CopyOutcome& from) {
    const auto namesBefore = static_cast<uint32_t>(names.size());
    const auto recordsBefore = static_cast<uint32_t>(records.size());
    items.reserve(items.size() + from.items.size());
    for (ItemOutcome o : from.items) {
        if (o.writtenAs != ItemOutcome::kNone)
            o.writtenAs += namesBefore;
        if (o.record != ItemOutcome::kNone)
            o.record += recordsBefore;
        items.push_back(o);
    }
    auto move = [](auto& to, auto& list) {
        to.insert(to.end(), std::make_move_iterator(list.begin()),
                  std::make_move_iterator(list.end()));
        list.clear();
    };
    move(names, from.names);
    move(records, from.records);
    from.items.clear();
    stopped = stopped || from.stopped;
    if (error.empty())
        error = std::move(from.error);
}

const std::string& CopyOutcome::WrittenAs(const ItemOutcome& item) const {
    static const std::string none;
    return item.writtenAs == ItemOutcome::kNone ? none : names[item.writtenAs];
}

const char* FailedStepText(ItemOutcome::Step step) {
    switch (step) {
    case ItemOutcome::Step::CreateFolder:
        return "Cannot create folder";
    case ItemOutcome::Step::OpenFolder:
        return "Cannot open folder";
    case ItemOutcome::Step::CreateLink:
        return "Cannot create link";
    case ItemOutcome::Step::None:
    case ItemOutcome::Step::Write:
        break;
    }
    return "Cannot write";
}

std::string NotWrittenReason(const ItemOutcome& item) {
    using R = ItemOutcome::Result;
    switch (item.result) {
    case R::Written:
    case R::WrittenWithZeros:
        return {};
    case R::Failed:
        return std::string(FailedStepText(item.step)) + ": " + item.error.Text();
    case R::Unfinished:
        return "not written: the copy stopped";
    case R::NoLinkTarget:
        return "its target cannot be read";
    case R::AlreadyThere:
        return "already in the destination";
    case R::SkippedByUser:
        return "skipped on request";
    case R::Special:
        return "device file, FIFO or socket: not copied";
    case R::Damaged:
        return "its inode cannot be what it claims";
    }
    return {};
}

ExtractionSummary Summarize(const RecoveredTree& tree, CopyOutcome outcome) {
    using R = ItemOutcome::Result;
    ExtractionSummary s;
    for (const ItemOutcome& o : outcome.items) {
        const auto path = [&] {
            return o.folder ? FolderItemPath(tree, tree.Folders()[o.index].inode)
                            : FileItemPath(tree, o.index);
        };
        if (o.IsWritten()) {
            if (o.folder) {
                s.foldersCreated += o.created ? 1 : 0;
            } else {
                ++s.filesWritten;
                s.bytesWritten += o.bytes;
            }
            if (o.result == R::WrittenWithZeros) {
                s.incomplete.push_back(path());
                s.zeroFilled.push_back(s.incomplete.back());
            }
            if (o.renamed)
                s.renamed.push_back({path(), outcome.WrittenAs(o)});
            if (o.chosen)
                s.written.push_back(outcome.WrittenAs(o));
            continue;
        }
        switch (o.result) {
        case R::Damaged:
            s.damaged.push_back(path());
            continue;
        case R::Failed:
        case R::Unfinished:
        case R::NoLinkTarget:
            s.incomplete.push_back(path());
            break;
        case R::AlreadyThere:
            if (o.chosen)
                s.written.push_back(outcome.WrittenAs(o));
            ++s.skipped;
            break;
        case R::SkippedByUser:
            ++s.skipped;
            break;
        case R::Special:
            ++s.specialsSkipped;
            break;
        case R::Written:
        case R::WrittenWithZeros:
            break;
        }
        s.skippedItems.push_back({path(), NotWrittenReason(o)});
    }
    s.stopped = outcome.stopped;
    s.error = outcome.error;
    s.outcome = std::move(outcome);
    return s;
}

} // namespace trevik
