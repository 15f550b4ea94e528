// The POP3 client: greeting and APOP timestamp, STLS, login (USER/PASS,
// APOP or SASL), the mailbox counters, and messages or their headers
// downloaded into a mail message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mail/qmMC.h"

namespace qm {

class TStream;

/// ErrorCode of the EqmTcpClientError raised for a UIDL line that is not a
/// message number and an id of 1 to 70 printable characters, or for a
/// "UIDL n" answer about another message.
constexpr int qmPop3UidlInvalidCode = -300;
/// Message of that error ("Invalid unique id listing"), followed by ": "
/// and the line.
extern const char* const qmPop3UidlInvalid;

/// A POP3 client (RFC 1939). Open() connects, reads the greeting (and its
/// APOP timestamp), starts TLS as UseTLS says (STLS with ctExplicit, or
/// implicit TLS, usually on port 995) and logs in: USER/PASS; or, with
/// UseSasl, XOAUTH2 when Authorization is set (and SaslMechanisms is
/// empty), else the strongest mechanism the server lists
/// (SaslChooseMechanism()), else APOP (with SaslOnly:
/// qmSaslUnavailableCode).
/// Close() sends QUIT, which is when the server removes the messages
/// marked with Dele().
///
/// Message numbers start at 1 and run to MessageCount(). A command the
/// server refuses raises EqmTcpClientError with ErrorCode 20 ("-ERR") and
/// the server's reply as message; the connection stays open.
class TqmPop3 : public TqmCustomMail {
 public:
  /// A closed client; the port defaults to 110 (see TqmTcpClient).
  explicit TqmPop3(TComponent* AOwner = nullptr);
  /// Closes the session (QUIT) if it is open.
  ~TqmPop3() override;

  /// Reply codes: 30 "+ " or "+" (SASL continuation), 10 "+OK", 20 "-ERR",
  /// 1 the lone "." that ends a multi-line reply, else 0. OnGetResponseCode
  /// is asked first.
  int GetResponseCode(const std::string& AResponse) override;
  /// True: every POP3 status line starts with "+OK", "-ERR" or "+", so any
  /// other line means the peer speaks another protocol.
  bool IsForeignLine(const std::string& ALine) override;
  /// 110.
  int GetDefaultPort() override;
  /// Greeting, STLS when due, login; called by Open(). Raises before
  /// anything is sent when UserName, Password or Authorization holds CR,
  /// LF or NUL (qmCommandLineBreakCode, qmCommandNulCode).
  void OpenSession() override;
  /// QUIT; a failure is ignored. Called by Close().
  void CloseSession() override;
  /// STLS, then the TLS handshake on the open connection.
  void StartTls() override;
  /// NOOP, when the client is idle between operations (KeepAlive).
  void DoKeepAlive() override;

  /// The number of messages in the mailbox. STAT is sent once per
  /// connection (again after an unreadable reply, when this returns -1);
  /// messages marked with Dele() are still counted.
  int MessageCount();
  /// The mailbox size in bytes from the last STAT (-1 before it).
  int64_t MailBoxSize() const { return FMailBoxSize; }
  /// The APOP timestamp of the greeting ("<...>"), empty when it had none.
  const std::string& TimeStamp() const { return FTimeStamp; }
  /// The message number of the last command that named one (-1 before).
  int CurrentMessage() const { return FCurrentMessage; }

  /// STAT: sets MessageCount() and MailBoxSize() (both -1 when the reply
  /// is not "+OK count size").
  void GetMailBoxInfo();
  /// LIST n: the size in bytes of message AMessageNumber (from 1) as the
  /// server counts it; 0 when the reply holds none.
  int64_t GetMessageSize(int AMessageNumber);
  /// TOP n 0: the header of message AMessageNumber (from 1), parsed into
  /// AMessage when one is given; the raw lines stay in Response().
  void RetrieveHeader(int AMessageNumber, TqmMailMessage* AMessage = nullptr);
  /// RETR n: downloads message AMessageNumber (from 1) and parses it into
  /// AMessage when one is given; the raw lines stay in Response(). When
  /// OnProgress is assigned, LIST n is sent first to know the total.
  void Retrieve(int AMessageNumber, TqmMailMessage* AMessage = nullptr);
  /// RETR n into ADestination (a file, say): the message as the server
  /// sends it (lines ending in CR LF, dot-stuffing undone, without the
  /// final "."), written block by block as it arrives, so that memory
  /// stays small whatever the message's size. Response() holds only the
  /// status line; CharSet is not applied (a message is bytes, its parts
  /// name their own charsets). LIST n comes first when OnProgress is
  /// assigned. A failure after the status line (a limit, a time-out, an
  /// error of ADestination) closes the connection; the bytes written so
  /// far stay in ADestination. See TqmTcpCommandClient::SendCommandToStream.
  void Retrieve(int AMessageNumber, TStream& ADestination);
  /// RETR n parsed into AMessage as Retrieve(n, &message) does, but read
  /// into one buffer that the message is parsed from where it lies: the
  /// reply costs about the message's size in memory, where Retrieve()
  /// holds a string per line. Response() holds only the status line. Pages
  /// of the buffer are moved, not copied, as it grows, so a message is
  /// never held twice while it arrives; MaxResponseSize bounds it.
  void RetrieveMessage(int AMessageNumber, TqmMailMessage& AMessage);
  /// NOOP.
  void Noop();

  /// A message's unique id (UIDL, RFC 1939): the same message keeps its id
  /// across sessions, so a client can tell which messages it has already
  /// fetched. Numbers do not shift while a session lasts: a message marked
  /// deleted keeps its number and is left out of the list.
  struct TUniqueId {
    int MessageNumber = 0;  ///< From 1.
    std::string UniqueId;   ///< 1 to 70 printable ASCII characters.
  };
  /// UIDL: every message not marked deleted, in the server's order. A
  /// malformed line raises qmPop3UidlInvalidCode.
  std::vector<TUniqueId> Uidl();
  /// UIDL n: the unique id of message AMessageNumber. An answer about
  /// another message raises qmPop3UidlInvalidCode.
  std::string Uidl(int AMessageNumber);
  /// DELE n: marks the message deleted; the server removes it only when
  /// the session ends with QUIT (Close()). MessageCount() keeps its value.
  void Dele(int AMessageNumber);
  /// RSET: clears the deleted marks of this session.
  void Rset();


 private:
  void SaslLogin();
  void ApopLogin();
  void CramMd5Login();
  void NtlmLogin();
  void CheckCredentials();

  int FMessageCount = -1;
  int64_t FMailBoxSize = -1;
  std::string FTimeStamp;
  int FCurrentMessage = -1;
};

}  // namespace qm
