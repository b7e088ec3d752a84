#include "cli/copy_report.h"

#include "cli/commands.h"
#include "text/copy_report.h"
#include "text/messages.h"
#include "ufs/names.h"

#include <iostream>

namespace trevik::cli {

void PrintWarnings(const std::vector<Warning>& warnings) {
    for (const Warning& w : warnings) {
        std::cerr << "trevik-cli: warning: " << TerminalSafe(text::WarningMessage(w)) << "\n";
    }
}

void WriteWarnings(JsonWriter& out, const std::vector<Warning>& warnings) {
    out.BeginArray();
    for (const Warning& w : warnings) {
        out.BeginObject();
        out.Member("kind", text::WarningKindName(w.kind));
        out.Member("message", text::WarningMessage(w));
        if (!w.path.empty())
            out.Member("path", w.path);
        if (w.lastInode != 0) {
            out.Key("inodes");
            out.BeginArray();
            out.Number(w.firstInode);
            out.Number(w.lastInode);
            out.EndArray();
        }
        if (w.sector)
            out.Member("sector", *w.sector);
        if (!w.names.empty()) {
            out.Key("names");
            out.BeginArray();
            for (const auto& n : w.names)
                out.String(n);
            out.EndArray();
        }
        out.EndObject();
    }
    out.EndArray();
}

void PrintCopyJson(const ExtractionSummary& s, const std::vector<Warning>& warnings) {
    JsonWriter out(stdout);
    out.BeginObject();
    out.Member("filesWritten", s.filesWritten);
    out.Member("bytesWritten", s.bytesWritten);
    out.Member("foldersCreated", s.foldersCreated);
    out.Member("skipped", s.skipped);
    auto strings = [&](std::string_view key, const std::vector<std::string>& list) {
        out.Key(key);
        out.BeginArray();
        for (const auto& p : list)
            out.String(p);
        out.EndArray();
    };
    strings("incomplete", s.incomplete);
    out.Key("warnings");
    WriteWarnings(out, warnings);
    strings("damaged", s.damaged);
    out.Key("renamed");
    out.BeginArray();
    for (const auto& r : s.renamed) {
        out.BeginObject();
        out.Member("from", r.from);
        out.Member("to", r.to);
        out.EndObject();
    }
    out.EndArray();
    out.Key("skippedItems");
    out.BeginArray();
    for (const auto& k : s.skippedItems) {
        out.BeginObject();
        out.Member("path", k.path);
        out.Member("reason", k.reason);
        out.EndObject();
    }
    out.EndArray();
    out.Member("stopped", s.stopped);
    out.EndObject();
    out.EndLine();
}

void PrintCopyText(const ExtractionSummary& s) {
    for (const std::string& line : text::CopyTable(s))
        std::cout << line << "\n";
}

int CopyExitCode(const ExtractionSummary& s, bool reportFailed, int warningsCode) {
    for (const std::string& line : text::CopyProblems(s))
        std::cerr << "trevik-cli: " << line << "\n";
    if (!s.Whole() || reportFailed)
        return kExitFailure;
    return warningsCode;
}

} // namespace trevik::cli
