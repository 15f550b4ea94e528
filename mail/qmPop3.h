// The POP3 client: greeting and APOP timestamp, STLS, login (USER/PASS,
// APOP or SASL), the mailbox counters, and messages or their headers
// downloaded into a mail message.
#pragma once

#include <cstdint>
#include <string>

#include "mail/qmMC.h"

namespace qm {

class TqmPop3 : public TqmCustomMail {
 public:
  explicit TqmPop3(TComponent* AOwner = nullptr);
  ~TqmPop3() override;

  // Reply codes: 30 "+ " or "+" (SASL continuation), 10 "+OK", 20 "-ERR",
  // 1 the lone "." that ends a multi-line reply, else 0.
  int GetResponseCode(const std::string& AResponse) override;
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

 private:
  void SaslLogin();
  void ApopLogin();
  void CramMd5Login();
  void CheckCredentials();

  int FMessageCount = -1;
  int64_t FMailBoxSize = -1;
  std::string FTimeStamp;
  int FCurrentMessage = -1;
};

}  // namespace qm
