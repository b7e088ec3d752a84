#pragma once

// How the CLI tells what a mount warned of and what a copy did: text for a terminal, or
// one JSON document, both from the same results.

#include "cli/json_writer.h"
#include "recovery/extraction.h"
#include "ufs/warnings.h"

#include <vector>

namespace trevik::cli {

// Every warning as one line on stderr.
void PrintWarnings(const std::vector<Warning>& warnings);
// Every warning as a JSON array, written as it goes.
void WriteWarnings(JsonWriter& out, const std::vector<Warning>& warnings);

// A copy's summary on stdout, as JSON (with the mount's warnings) or as text.
void PrintCopyJson(const ExtractionSummary& s, const std::vector<Warning>& warnings);
void PrintCopyText(const ExtractionSummary& s);
// The exit code of a copy, saying on stderr what made it a failure. `warningsCode`: that of
// the mount's warnings.
int CopyExitCode(const ExtractionSummary& s, bool reportFailed, int warningsCode);

} // namespace trevik::cli
