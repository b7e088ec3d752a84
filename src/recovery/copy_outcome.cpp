#include "recovery/copy_outcome.h"

#include "ufs/tree_paths.h"

namespace trevik {

static_assert(sizeof(ItemOutcome) <= 24, "an outcome is made for every item of a copy");

ItemOutcome& CopyOutcome::Add() {
    SettleLast();
    return items.emplace_back();
}

void CopyOutcome::SettleLast() {
    if (items.empty())
        return;
    const ItemOutcome& o = items.back();
    if (o.result != ItemOutcome::Result::Written || o.renamed || o.chosen ||
        o.kept != ItemOutcome::kNone)
        return;
    if (o.folder) {
        counted.foldersCreated += o.created ? 1 : 0;
    } else {
        ++counted.files;
        counted.bytes += o.bytes;
    }
    items.pop_back();
}

void CopyOutcome::Append(CopyOutcome&& from) {
    SettleLast();
    from.SettleLast();
    counted.files += from.counted.files;
    counted.bytes += from.counted.bytes;
    counted.foldersCreated += from.counted.foldersCreated;
    const auto keptBefore = static_cast<uint32_t>(kept.size());
    const auto recordsBefore = static_cast<uint32_t>(records.size());
    for (ItemOutcome o : from.items) {
        if (o.kept != ItemOutcome::kNone)
            o.kept += keptBefore;
        items.push_back(o);
    }
    for (KeptDetail& k : from.kept) {
        if (k.record != ItemOutcome::kNone)
            k.record += recordsBefore;
        kept.push_back(std::move(k));
    }
    records.insert(records.end(), std::make_move_iterator(from.records.begin()),
                   std::make_move_iterator(from.records.end()));
    stopped = stopped || from.stopped;
    if (error.empty())
        error = std::move(from.error);
    from = CopyOutcome{};
}

CopyOutcome CopyOutcome::Join(std::vector<CopyOutcome*> parts) {
    CopyOutcome all;
    size_t items = 0, kept = 0, records = 0;
    for (const CopyOutcome* p : parts) {
        items += p->items.size();
        kept += p->kept.size();
        records += p->records.size();
    }
    all.items.reserve(items);
    all.kept.reserve(kept);
    all.records.reserve(records);
    for (CopyOutcome* p : parts)
        all.Append(std::move(*p));
    return all;
}

KeptDetail& CopyOutcome::Keep(ItemOutcome& item) {
    if (item.kept == ItemOutcome::kNone) {
        item.kept = static_cast<uint32_t>(kept.size());
        kept.emplace_back();
    }
    return kept[item.kept];
}

const std::string& CopyOutcome::WrittenAs(const ItemOutcome& item) const {
    static const std::string none;
    return item.kept == ItemOutcome::kNone ? none : kept[item.kept].writtenAs;
}

const ItemRecord* CopyOutcome::RecordOf(const ItemOutcome& item) const {
    if (item.kept == ItemOutcome::kNone || kept[item.kept].record == ItemOutcome::kNone)
        return nullptr;
    return &records[kept[item.kept].record];
}

std::string ItemPath(const RecoveredTree& tree, const ItemOutcome& item) {
    return item.folder ? FolderItemPath(tree, tree.Folders()[item.index].inode)
                       : FileItemPath(tree, item.index);
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
    outcome.SettleLast();
    s.filesWritten = outcome.counted.files;
    s.bytesWritten = outcome.counted.bytes;
    s.foldersCreated = outcome.counted.foldersCreated;
    for (const ItemOutcome& o : outcome.items) {
        // Made once, for the items a list names.
        std::string made;
        const auto path = [&]() -> const std::string& {
            if (made.empty())
                made = ItemPath(tree, o);
            return made;
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
                s.zeroFilled.push_back(path());
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
