// qm mime: the structure of a stored message, its text, and its
// attachments saved under safe names.
#pragma once

#include "qm/qmCliSession.h"

namespace qm::cli {

TSubcommand AddMimeCommand(CLI::App& AParent);

}  // namespace qm::cli
