// qm fetch: a POP3 mailbox listed, messages retrieved into a maildir, an
// mbox file or stdout (all of them, chosen ones, or those not fetched
// before), message tops, and deletion.
#pragma once

#include "qm/qmCliSession.h"

namespace qm::cli {

TSubcommand AddFetchCommand(CLI::App& AParent);

}  // namespace qm::cli
