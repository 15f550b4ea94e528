// qm dkim: make a signing key and the DNS record that publishes it, sign a
// message, and verify a message's signatures (keys from DNS through the
// library's resolver, or given on the command line).
#pragma once

#include "qm/qmCliSession.h"

namespace qm::cli {

TSubcommand AddDkimCommand(CLI::App& AParent);

}  // namespace qm::cli
