// qm imap: mailboxes listed, messages searched, fetched into a maildir, an
// mbox file or stdout, flagged, moved, appended from a file, and new mail
// printed as it arrives (IDLE).
#pragma once

#include "qm/qmCliSession.h"

namespace qm::cli {

TSubcommand AddImapCommand(CLI::App& AParent);

}  // namespace qm::cli
