// The SMTP client: greeting, EHLO/HELO with the server's extensions,
// STARTTLS, login, and messages sent as MAIL FROM, RCPT TO and DATA, with
// refused recipients optionally skipped and reported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/qmMC.h"

namespace qm {

class EqmSmtpError : public EqmTcpClientError {
 public:
  using EqmTcpClientError::EqmTcpClientError;
};

constexpr int qmSmtpEmptyDataCode = -200;
extern const char* const qmSmtpEmptyData;  // "The data list is empty"
constexpr int qmSmtpEmptyRecipientsCode = -201;
extern const char* const qmSmtpEmptyRecipients;  // "The recipient list is empty"
constexpr int qmSmtpFailedRecipientsCode = -202;
extern const char* const qmSmtpFailedRecipients;

struct TqmFailedRecipient {
  std::string ErrorText;  // the server's reply
  std::string Email;      // the recipient as given, display name included
  int ErrorCode = 0;      // the reply code
};

class TqmFailedRecipientList {
 public:
  TqmFailedRecipient* Add(const std::string& AErrorText, const std::string& AEmail, int AErrorCode);
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TqmFailedRecipient& Items(int AIndex) const { return *FItems.at(static_cast<size_t>(AIndex)); }

 private:
  std::vector<std::unique_ptr<TqmFailedRecipient>> FItems;
};

class TqmCustomSmtp : public TqmCustomMail {
 public:
  explicit TqmCustomSmtp(TComponent* AOwner = nullptr);
  ~TqmCustomSmtp() override;

  // ---- overridable operations (after those of the command client) ----
  // Greeting, EHLO (or HELO), STARTTLS and EHLO again, login.
  virtual void StartSession();
  virtual void SendMailFrom(const std::string& ASender);
  // Clears FailedRecipients; with SkipFailedRecipients a refused recipient
  // is listed there and the next one is tried.
  virtual void SendRecipients(const TStrings& ARecipients);
  // DATA, the lines dot-stuffed, end of data. A line holding CR or LF is
  // sent as separate lines: a bare line break never reaches the server,
  // where it could end the data early (a bare LF and a dot).
  virtual void SendData(TStrings& ALines);
  virtual void SendQuit();
  virtual void Reset();
  virtual void Noop();
  // Touches up the header of ALines in place (X-Mailer, Message-ID; every
  // Bcc field removed), then MAIL FROM, RCPT TO, DATA.
  virtual void SendMessage(const std::string& ASender, TStrings& AData, const TStrings& ARecipients);
  virtual std::string GenerateMessageID();

  int GetDefaultPort() override;
  // STARTTLS, then the TLS handshake on the open connection.
  void StartTls() override;
  // 0 for a continuation line ("250-..."), else the leading number.
  int GetResponseCode(const std::string& AResponse) override;
  // Any uncoded line but a continuation (three digits and a hyphen).
  bool IsForeignLine(const std::string& ALine) override;

  // The name sent in EHLO/HELO and used in Message-IDs.
  std::string GetHostName() const;

  // ---- properties ----
  bool UseEHLO() const { return FUseEHLO; }
  void SetUseEHLO(bool AValue);
  const std::string& MailAgent() const { return FMailAgent; }
  void SetMailAgent(const std::string& AValue);
  const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& AValue);
  bool SkipFailedRecipients() const { return FSkipFailedRecipients; }
  void SetSkipFailedRecipients(bool AValue);

  TStrings& Extensions() { return FExtensions; }
  TStrings& AuthMethods() { return FAuthMethods; }
  TqmFailedRecipientList& FailedRecipients() { return FFailedRecipients; }
  int64_t MaxMessageSize() const { return FMaxMessageSize; }

 private:
  void Hello(const std::string& ACommand, const TOkCodes& AOkCodes);
  void Login();
  void XOAuth2Login();
  void CramMd5Login();
  void NtlmLogin();
  void LoginLogin();

  bool FUseEHLO = true;
  std::string FMailAgent = "Quillmark Internet Suite";
  std::string FHostName;
  bool FSkipFailedRecipients = false;
  TStringList FExtensions;
  TStringList FAuthMethods;
  TqmFailedRecipientList FFailedRecipients;
  int64_t FMaxMessageSize = 0;
};

class TqmSmtp : public TqmCustomSmtp {
 public:
  explicit TqmSmtp(TComponent* AOwner = nullptr);
  ~TqmSmtp() override;

  void OpenSession() override;
  void CloseSession() override;
  // NOOP, when the client is idle between operations.
  void DoKeepAlive() override;

  // With MailData, or without a message: the properties. Otherwise the
  // message, with sender and recipients taken from it where the
  // properties are empty.
  void Send(TqmMailMessage* AMessage = nullptr);

  const std::string& MailFrom() const { return FMailFrom; }
  void SetMailFrom(const std::string& AValue);
  TStringList& MailToList() { return *FMailToList; }
  void SetMailToList(const TStrings& AValue) { FMailToList->Assign(AValue); }
  TStringList& MailData() { return *FMailData; }
  void SetMailData(const TStrings& AValue) { FMailData->Assign(AValue); }

 private:
  std::string FMailFrom;
  std::unique_ptr<TStringList> FMailToList;
  std::unique_ptr<TStringList> FMailData;
};

}  // namespace qm
