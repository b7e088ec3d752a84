#pragma once

// The words both front ends use for what the core reports as values: the captions of the
// mount's phases and the text of each warning. Kept here so that trevik and trevik-cli
// say the same thing in the same words.

#include "ufs/mount_observer.h"
#include "ufs/warnings.h"

#include <string>

namespace trevik::text {

const char* PhaseCaption(MountPhase phase);

// The name scripts match on: "unreadableInodes", "pastEnd", ...
const char* WarningKindName(WarningKind kind);

// One line, for a terminal or a list.
std::string WarningMessage(const Warning& warning);

} // namespace trevik::text
