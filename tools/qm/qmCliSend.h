// qm send: a message composed from the options, or a ready one, delivered
// through an SMTP server.
#pragma once

#include "qm/qmCliSession.h"

namespace qm::cli {

TSubcommand AddSendCommand(CLI::App& AParent);

}  // namespace qm::cli
