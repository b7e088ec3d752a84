#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trevik {

// The user's file filters: at most 99 patterns of at most 19 characters, kept as typed.
// Only file rows are filtered; folders are always shown.
class FilterTable {
public:
    static constexpr size_t kMaxFilters = 99;
    static constexpr size_t kMaxLength = 19;

    const std::vector<std::string>& Filters() const { return filters_; }
    size_t Count() const { return filters_.size(); }
    void Clear() { filters_.clear(); }
    void Assign(std::vector<std::string> filters);

    // True when a file of this name is shown: no filters, or one of them matches.
    bool Shows(std::string_view fileName) const;

private:
    std::vector<std::string> filters_;
};

// The list the File Filters dialog edits, newest first, with the dialog's refusals (as
// values: the dialog says them in its words, text::FilterRefusal). Closing the dialog
// commits it to the table.
class FilterEditor {
public:
    enum class Outcome { Added, TooMany, TooLong, Blank, Duplicate };

    explicit FilterEditor(const FilterTable& table) : entries_(table.Filters()) {}

    Outcome Add(const std::string& text);
    // Removes the entry at `index`; false when nothing is selected there.
    bool Remove(int index);
    const std::vector<std::string>& Entries() const { return entries_; }
    void CommitTo(FilterTable& table) const { table.Assign(entries_); }

private:
    std::vector<std::string> entries_;
};

} // namespace trevik
