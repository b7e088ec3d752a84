#pragma once

// The words for what a copy did. Everything said comes from the summary `Summarize` made;
// the window and trevik-cli word it differently, each in one place here.

#include "recovery/copy_outcome.h"

#include <string>
#include <vector>

namespace trevik::text {

// The window's report: the sentences above the list...
std::string CopyHeadline(const ExtractionSummary& summary);
// ...and one line for each item that was not written whole or under its own name.
std::vector<std::string> CopyItemLines(const ExtractionSummary& summary);

// trevik-cli's table after a copy, one line each, names made safe for a terminal.
std::vector<std::string> CopyTable(const ExtractionSummary& summary);
// What trevik-cli says on its error stream about a copy that lost anything (without its
// "trevik-cli: " prefix), one line each.
std::vector<std::string> CopyProblems(const ExtractionSummary& summary);

} // namespace trevik::text
