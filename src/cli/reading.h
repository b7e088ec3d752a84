#pragma once

#include "cli/commands.h"
#include "recovery/session.h"

#include <string>

namespace trevik::cli {

// Opens the device for a command with its read options in force and its ddrescue map
// loaded. Prints its own errors.
bool OpenForReading(Session& session, const std::string& device, const ReadOptions& options);

// Writes --save-badmap when it was given. Returns rc, or a failure when the map cannot be
// written.
int FinishReading(Session& session, const ReadOptions& options, int rc);

} // namespace trevik::cli
