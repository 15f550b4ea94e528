// Mailbox names on the wire: modified UTF-7 (RFC 3501 5.1.3), the form
// every IMAP server understands unless UTF8=ACCEPT was enabled.
#pragma once

#include <string>
#include <string_view>

namespace qm {

/// A UTF-8 mailbox name in modified UTF-7: printable ASCII as itself ("&"
/// as "&-"), every other run as "&" base64 of its UTF-16 "-" (with ","
/// for "/"). A byte that is not valid UTF-8 is sent as U+FFFD.
std::string ImapEncodeMailboxName(std::string_view AName);
/// The UTF-8 form of a modified UTF-7 name; false (AName left as it
/// came) for text that is not valid modified UTF-7: raw 8-bit bytes, an
/// unterminated or badly padded run, printable ASCII or an unpaired
/// surrogate inside a run.
bool ImapDecodeMailboxName(std::string_view AName, std::string& AResult);

}  // namespace qm
