#include "recovery/filter_table.h"

#include "recovery/wildcard.h"

namespace trevik {

void FilterTable::Assign(std::vector<std::string> filters) {
    if (filters.size() > kMaxFilters) {
        filters.resize(kMaxFilters);
    }
    filters_ = std::move(filters);
}

bool FilterTable::Shows(std::string_view fileName) const {
    if (filters_.empty()) {
        return true;
    }
    const std::string upperName = ToUpperName(fileName);
    for (const auto& f : filters_) {
        if (MatchWildcard(upperName, ToUpperName(f)) == 1) {
            return true;
        }
    }
    return false;
}

FilterEditor::Outcome FilterEditor::Add(const std::string& text) {
    if (entries_.size() >= FilterTable::kMaxFilters) {
        return Outcome::TooMany;
    }
    if (text.size() > FilterTable::kMaxLength) {
        return Outcome::TooLong;
    }
    if (text.empty()) {
        return Outcome::Blank;
    }
    for (const auto& e : entries_) {
        if (e == text) { // case-sensitive: *.doc and *.DOC are different entries
            return Outcome::Duplicate;
        }
    }
    entries_.insert(entries_.begin(), text);
    return Outcome::Added;
}

bool FilterEditor::Remove(int index) {
    if (index < 0 || static_cast<size_t>(index) >= entries_.size()) {
        return false;
    }
    entries_.erase(entries_.begin() + index);
    return true;
}

} // namespace trevik
