// The POP3 client: greeting and APOP timestamp, STLS, login (USER/PASS,
// APOP or SASL), the mailbox counters, and messages or their headers
// downloaded into a mail message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mail/qmMC.h"

namespace qm {

// A UIDL line that is not a message number and an id.
constexpr int qmPop3UidlInvalidCode = -300;
extern const char* const qmPop3UidlInvalid;

class TqmPop3 : public TqmCustomMail {
 public:
  explicit TqmPop3(TComponent* AOwner = nullptr);
  ~TqmPop3() override;

  // Reply codes: 30 "+ " or "+" (SASL continuation), 10 "+OK", 20 "-ERR",
  // 1 the lone "." that ends a multi-line reply, else 0.
  int GetResponseCode(const std::string& AResponse) override;
  // Every POP3 status line starts with "+OK", "-ERR" or "+".
  bool IsForeignLine(const std::string& ALine) override;
  int GetDefaultPort() override;
  void OpenSession() override;
  void CloseSession() override;
  // STLS, then the TLS handshake on the open connection.
  void StartTls() override;
  // NOOP, when the client is idle between operations.
  void DoKeepAlive() override;

  // STAT once per connection (again after an unreadable reply).
  int MessageCount();
  int64_t MailBoxSize() const { return FMailBoxSize; }
  const std::string& TimeStamp() const { return FTimeStamp; }
  int CurrentMessage() const { return FCurrentMessage; }

  void GetMailBoxInfo();
  int64_t GetMessageSize(int AMessageNumber);
  // TOP n 0: the header only, parsed into AMessage when one is given.
  void RetrieveHeader(int AMessageNumber, TqmMailMessage* AMessage = nullptr);
  // RETR n (after LIST n when OnProgress is assigned, for the total).
  void Retrieve(int AMessageNumber, TqmMailMessage* AMessage = nullptr);
  void Noop();

  // Unique ids (UIDL, RFC 1939): the same message keeps its id across
  // sessions, so a client can tell which messages it has already fetched.
  // Numbers do not shift while a session lasts: a message marked deleted
  // keeps its number and is left out of the list.
  struct TUniqueId {
    int MessageNumber = 0;
    std::string UniqueId;
  };
  // UIDL: every message not marked deleted, in the server's order.
  std::vector<TUniqueId> Uidl();
  // UIDL n: the id of one message.
  std::string Uidl(int AMessageNumber);
  // DELE n: marks the message deleted; the server removes it only when
  // the session ends with QUIT. MessageCount keeps its value.
  void Dele(int AMessageNumber);
  // RSET: clears the deleted marks of this session.
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
