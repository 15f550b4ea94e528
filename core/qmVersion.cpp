#include "core/qmVersion.h"

namespace qm {

const char* LibraryVersion() { return QM_VERSION_STRING; }

}  // namespace qm
