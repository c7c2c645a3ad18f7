#pragma once

// Connection settings that the extension takes as they are and that would
// only fail much later, at connection time: refused where they are made, by
// set and new, with a message that says what would be valid.

#include <set>
#include <string>

#include "lib/case.h"

namespace zefalink {

// Checks the settings among `edited` (tags) as the unit holds them now:
// PortNumber a whole number from 1 to 32767; a ServerName made only of
// digits (which is the server's port) equal to PortNumber; zefaModelPath an
// existing folder (a relative one beside the case, in `case_folder`).
// Returns the first problem, empty when there is none.
std::string RefusedSetting(refhost::PipelineUnit& unit, const std::set<std::string>& edited,
                           const std::string& case_folder);

}  // namespace zefalink
