#include "text/copy_report.h"

#include "ufs/names.h"

namespace trevik::text {

namespace {

std::string Count(uint64_t n, const char* what) {
    return std::to_string(n) + what;
}

} // namespace

std::string CopyHeadline(const ExtractionSummary& s) {
    std::string out = "Recovered " + Count(s.filesWritten, " file(s), ") +
                      Count(s.bytesWritten, " bytes, into ") +
                      Count(s.foldersCreated, " new folder(s).");
    if (s.skipped != 0)
        out += "\n" + Count(s.skipped, " file(s) skipped (already there, or skipped by you).");
    if (s.specialsSkipped != 0)
        out += "\n" + Count(s.specialsSkipped, " device file(s), FIFO(s) or socket(s) not copied.");
    if (s.stopped)
        out += "\nThe copy was stopped before it was complete.";
    if (!s.incomplete.empty())
        out += "\n" + Count(s.incomplete.size(),
                            " item(s) are incomplete: unreadable parts were written as zeros, or "
                            "the item could not be written.");
    if (!s.renamed.empty())
        out += "\n" + Count(s.renamed.size(),
                            " item(s) were written under another name (same-named items, names "
                            "too long for the destination).");
    if (!s.damaged.empty())
        out += "\n" + Count(s.damaged.size(),
                            " damaged item(s) were not written: their inodes cannot be what they "
                            "claim.");
    return out;
}

std::vector<std::string> CopyItemLines(const ExtractionSummary& s) {
    std::vector<std::string> lines;
    for (const std::string& p : s.zeroFilled)
        lines.push_back("Incomplete (unreadable parts written as zeros): " + p);
    for (const SkippedItem& k : s.skippedItems)
        lines.push_back("Not written: " + k.path + " (" + k.reason + ")");
    for (const std::string& p : s.damaged)
        lines.push_back("Damaged, not written: " + p);
    for (const RenamedItem& r : s.renamed)
        lines.push_back("Renamed: " + r.from + " -> " + r.to);
    return lines;
}

std::vector<std::string> CopyTable(const ExtractionSummary& s) {
    std::vector<std::string> lines = {
        "Files written    " + std::to_string(s.filesWritten),
        "Bytes written    " + std::to_string(s.bytesWritten),
        "Folders created  " + std::to_string(s.foldersCreated),
        "Skipped          " + std::to_string(s.skipped),
    };
    if (s.specialsSkipped != 0)
        lines.push_back("Special files not copied " + std::to_string(s.specialsSkipped));
    for (const RenamedItem& r : s.renamed)
        lines.push_back("Renamed          " + TerminalSafe(r.from) + " -> " + TerminalSafe(r.to));
    for (const SkippedItem& k : s.skippedItems)
        lines.push_back("Not written      " + TerminalSafe(k.path) + ": " + TerminalSafe(k.reason));
    for (const std::string& p : s.incomplete)
        lines.push_back("Incomplete       " + TerminalSafe(p));
    for (const std::string& p : s.damaged)
        lines.push_back("Damaged, not written " + TerminalSafe(p));
    if (s.stopped)
        lines.emplace_back("Stopped before the copy was complete");
    return lines;
}

std::vector<std::string> CopyProblems(const ExtractionSummary& s) {
    if (!s.error.empty())
        return {TerminalSafe(s.error)};
    std::vector<std::string> lines;
    if (!s.damaged.empty())
        lines.push_back(Count(s.damaged.size(),
                              " damaged item(s) not written: their inodes cannot be what they "
                              "claim"));
    if (!s.incomplete.empty())
        lines.push_back(Count(s.incomplete.size(), " item(s) incomplete: unreadable parts "
                                                   "written as zeros, or not written"));
    return lines;
}

} // namespace trevik::text
