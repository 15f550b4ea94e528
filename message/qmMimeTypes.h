// The media type of a file from its name, for attachments built from
// files. The library's own bodies keep "application/octet-stream" unless a
// program sets another type; this is the lookup a program can use for it.
#pragma once

#include <string>

namespace qm {

/// The media type for AFileName's extension ("report.PDF" gives
/// "application/pdf"), compared without regard to case: from the system's
/// /etc/mime.types when it can be read (read once per process; Debian's
/// media-types package installs it), else or when that file does not list
/// the extension from a built-in table of common types;
/// "application/octet-stream" when neither knows it or the name has no
/// extension.
std::string ContentTypeForFileName(const std::string& AFileName);

/// The same lookup with AMimeTypesPath in the place of /etc/mime.types
/// (read at every call; an unreadable file leaves only the built-in
/// table).
std::string ContentTypeForFileName(const std::string& AFileName, const std::string& AMimeTypesPath);

}  // namespace qm
