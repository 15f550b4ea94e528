// The SMTP client: greeting, EHLO/HELO with the server's extensions,
// STARTTLS, login, and messages sent as MAIL FROM, RCPT TO and DATA, with
// refused recipients optionally skipped and reported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/qmStream.h"
#include "mail/qmMC.h"

namespace qm {

/// An error of the SMTP client's own checks (empty data or recipient list,
/// refused recipients, no usable login mechanism). A refusal by the server
/// raises EqmTcpClientError with the reply code as ErrorCode.
class EqmSmtpError : public EqmTcpClientError {
 public:
  using EqmTcpClientError::EqmTcpClientError;
};

/// ErrorCode of EqmSmtpError when there is no message to send.
constexpr int qmSmtpEmptyDataCode = -200;
extern const char* const qmSmtpEmptyData;  ///< "The data list is empty"
/// ErrorCode of EqmSmtpError when there is no recipient.
constexpr int qmSmtpEmptyRecipientsCode = -201;
extern const char* const qmSmtpEmptyRecipients;  ///< "The recipient list is empty"
/// ErrorCode of EqmSmtpError when recipients were refused with
/// SkipFailedRecipients on: raised after the data went to the others (or
/// before DATA when every recipient was refused). The refusals are in
/// TqmCustomSmtp::FailedRecipients().
constexpr int qmSmtpFailedRecipientsCode = -202;
/// "There are recipients that failed to receive the message"
extern const char* const qmSmtpFailedRecipients;

/// ErrorCode of EqmSmtpError when the message is larger than the SIZE the
/// server announced (checked before MAIL FROM, nothing is sent).
constexpr int qmSmtpMessageTooLargeCode = -203;
/// "The message is %lld bytes, more than the %lld bytes the server accepts"
extern const char* const qmSmtpMessageTooLarge;

/// ErrorCode of EqmSmtpError when the header of a message sent from a
/// stream has no end within qmSmtpMaxStreamHeader bytes (nothing is sent).
constexpr int qmSmtpHeaderTooLargeCode = -204;
/// "The message header is larger than %lld bytes"
extern const char* const qmSmtpHeaderTooLarge;
/// The largest header SendMessageStream reads for its touch-up (bytes).
constexpr int64_t qmSmtpMaxStreamHeader = 1 << 20;
/// The size of the BDAT chunks of SendMessageStream (bytes).
constexpr int64_t qmSmtpChunkSize = 1 << 20;
/// With PIPELINING, the BDAT chunks of SendMessageStream written before
/// the reply to the first of them is read (1: each waits for its reply).
constexpr int qmSmtpChunksInFlight = 2;

/// A recipient the server refused.
struct TqmFailedRecipient {
  std::string ErrorText;  ///< The server's reply.
  std::string Email;      ///< The recipient as given, display name included.
  int ErrorCode = 0;      ///< The reply code (e.g. 550).
};

/// The recipients refused during the last send.
class TqmFailedRecipientList {
 public:
  /// Appends a refusal; the list owns it.
  TqmFailedRecipient* Add(const std::string& AErrorText, const std::string& AEmail, int AErrorCode);
  /// Empties the list.
  void Clear() { FItems.clear(); }
  /// The number of refusals.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// Refusal AIndex (from 0); std::out_of_range past the end.
  TqmFailedRecipient& Items(int AIndex) const { return *FItems.at(static_cast<size_t>(AIndex)); }

 private:
  std::vector<std::unique_ptr<TqmFailedRecipient>> FItems;
};

/// The SMTP protocol (RFC 5321) without a message source: the steps of a
/// session as overridable operations. TqmSmtp adds the sending of a
/// TqmMailMessage or of ready lines.
///
/// A command the server refuses raises EqmTcpClientError with the reply
/// code as ErrorCode and the server's reply as message.
class TqmCustomSmtp : public TqmCustomMail {
 public:
  /// A closed client; the port defaults to 25 (see TqmTcpClient).
  explicit TqmCustomSmtp(TComponent* AOwner = nullptr);
  /// Closes the session (QUIT) if it is open.
  ~TqmCustomSmtp() override;

  // ---- overridable operations (after those of the command client) ----
  /// Greeting (220), EHLO (or HELO), STARTTLS as UseTLS says and EHLO
  /// again, then the login when UserName, Password or Authorization is set
  /// and the server offers AUTH: with UseSasl the strongest mechanism it
  /// lists (SaslChooseMechanism()), else LOGIN. Without UseSasl always
  /// LOGIN (PlainTextLogin may forbid it without TLS). Raises
  /// before anything is sent when a login text or the host name holds CR,
  /// LF or NUL.
  virtual void StartSession();
  /// MAIL FROM with the address of ASender ("Name <a@b>" or "a@b"; an
  /// internationalized domain is sent in punycode).
  virtual void SendMailFrom(const std::string& ASender);
  /// RCPT TO for each entry. Clears FailedRecipients() first; with
  /// SkipFailedRecipients a refused recipient is listed there and the next
  /// one is tried, else the refusal is raised. Raises
  /// qmSmtpEmptyRecipientsCode for an empty list and
  /// qmSmtpFailedRecipientsCode when none was accepted.
  virtual void SendRecipients(const TStrings& ARecipients);
  /// DATA, the lines dot-stuffed, end of data. A line holding CR or LF is
  /// sent as separate lines: a bare line break never reaches the server,
  /// where it could end the data early (a bare LF and a dot). Raises
  /// qmSmtpEmptyDataCode for no lines.
  virtual void SendData(TStrings& ALines);
  /// QUIT; a failure is ignored.
  virtual void SendQuit();
  /// RSET: abandons the transaction begun with MAIL FROM.
  virtual void Reset();
  /// NOOP.
  virtual void Noop();
  /// Touches up the header of AData in place (X-Mailer from MailAgent and a
  /// Message-ID when missing; every Bcc field removed), then MAIL FROM,
  /// RCPT TO, DATA. Nothing is sent when an address holds CR, LF or NUL.
  /// Raises qmSmtpFailedRecipientsCode after the data when recipients
  /// were skipped. With PIPELINING the commands go in one group (see
  /// UsePipelining) instead of through SendMailFrom, SendRecipients and
  /// SendData.
  virtual void SendMessage(const std::string& ASender, TStrings& AData, const TStrings& ARecipients);
  /// Sends the ready message (header, empty line, body) that AData holds
  /// from its position to its end, read in blocks so that memory stays
  /// bounded whatever the message's size. The header is touched up as
  /// SendMessage does it (it may be up to qmSmtpMaxStreamHeader bytes);
  /// every CR, LF or CR LF goes as CR LF and lines are dot-stuffed on the
  /// way, or the message goes in BDAT chunks (qmSmtpChunkSize bytes) when
  /// CHUNKING is used, pipelined with PIPELINING (qmSmtpChunksInFlight);
  /// a refused chunk ends the message with that reply's error once the
  /// chunks already written are answered. The bytes go as they are:
  /// CharSet does not apply.
  /// AData is read twice (first for SIZE and BODY=8BITMIME), so it must
  /// be able to seek. Errors as SendMessage().
  void SendMessageStream(const std::string& ASender, TStream& AData, const TStrings& ARecipients);
  /// A new unique "<...@host>" Message-ID (GetHostName() as host).
  virtual std::string GenerateMessageID();

  /// 25.
  int GetDefaultPort() override;
  /// STARTTLS, then the TLS handshake on the open connection.
  void StartTls() override;
  /// 0 for a continuation line ("250-..."), else the leading number.
  int GetResponseCode(const std::string& AResponse) override;
  /// Any uncoded line but a continuation (three digits and a hyphen).
  bool IsForeignLine(const std::string& ALine) override;
  /// OnProgress; while a message goes in BDAT chunks it counts the bytes
  /// of the whole message, not those of the chunk being sent.
  void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) override;

  /// The name sent in EHLO/HELO and used in Message-IDs: HostName, else
  /// the machine's host name.
  std::string GetHostName() const;

  // ---- properties ----
  /// EHLO (default) or HELO. With HELO there are no extensions and no
  /// login.
  ///@{
  bool UseEHLO() const { return FUseEHLO; }
  void SetUseEHLO(bool AValue);
  ///@}
  /// The X-Mailer field added to messages that have none (default
  /// "Quillmark Internet Suite"; empty: none added).
  ///@{
  const std::string& MailAgent() const { return FMailAgent; }
  void SetMailAgent(const std::string& AValue);
  ///@}
  /// The name to announce in EHLO/HELO; empty (default): the machine's.
  ///@{
  const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& AValue);
  ///@}
  /// Whether a refused recipient is recorded in FailedRecipients() and the
  /// others still get the message (default false: the refusal is raised).
  ///@{
  bool SkipFailedRecipients() const { return FSkipFailedRecipients; }
  void SetSkipFailedRecipients(bool AValue);
  ///@}

  /// SMTP extensions, each used only when the last EHLO offered it; false
  /// turns one off. All default true.
  /// SIZE (RFC 1870): SIZE= on MAIL FROM, and a message above the
  /// announced limit is refused here (qmSmtpMessageTooLargeCode).
  ///@{
  bool UseSize() const { return FUseSize; }
  void SetUseSize(bool AValue);
  ///@}
  /// 8BITMIME (RFC 6152): BODY=8BITMIME when the message holds 8-bit bytes.
  ///@{
  bool Use8BitMime() const { return FUse8BitMime; }
  void SetUse8BitMime(bool AValue);
  ///@}
  /// SMTPUTF8 (RFC 6531): addresses with non-ASCII characters are sent as
  /// UTF-8 and MAIL FROM carries SMTPUTF8; without it the domain goes in
  /// its xn-- form as before.
  ///@{
  bool UseSmtpUtf8() const { return FUseSmtpUtf8; }
  void SetUseSmtpUtf8(bool AValue);
  ///@}
  /// CHUNKING (RFC 3030): the message goes as one "BDAT n LAST" without
  /// dot-stuffing instead of DATA (only when CharSet is empty, so that n
  /// counts the bytes on the wire).
  ///@{
  bool UseChunking() const { return FUseChunking; }
  void SetUseChunking(bool AValue);
  ///@}
  /// PIPELINING (RFC 2920): MAIL FROM and every RCPT TO go in one write
  /// and their replies are read in order; refusals are handled as without
  /// it (SkipFailedRecipients). DATA joins the group only with
  /// SkipFailedRecipients on: without it a refused recipient must stop the
  /// message, and once DATA has been answered 354 nothing but closing the
  /// connection could. When DATA is answered 354 although no recipient was
  /// accepted, a lone "." ends the empty transaction (RFC 2920, 3.1).
  /// The BDAT chunks of SendMessageStream are pipelined too (RFC 3030).
  ///@{
  bool UsePipelining() const { return FUsePipelining; }
  void SetUsePipelining(bool AValue);
  ///@}
  /// DSN (RFC 3461): the parameters below are sent when the server offers
  /// DSN and they are set.
  ///@{
  bool UseDsn() const { return FUseDsn; }
  void SetUseDsn(bool AValue);
  ///@}
  /// NOTIFY for every recipient: "NEVER" or a list of SUCCESS, FAILURE,
  /// DELAY separated by commas; empty (default): none.
  ///@{
  const std::string& DsnNotify() const { return FDsnNotify; }
  void SetDsnNotify(const std::string& AValue);
  ///@}
  /// RET on MAIL FROM: "FULL" or "HDRS"; empty (default): none.
  ///@{
  const std::string& DsnReturn() const { return FDsnReturn; }
  void SetDsnReturn(const std::string& AValue);
  ///@}
  /// ENVID on MAIL FROM (sent as xtext); empty (default): none.
  ///@{
  const std::string& DsnEnvelopeId() const { return FDsnEnvelopeId; }
  void SetDsnEnvelopeId(const std::string& AValue);
  ///@}
  /// ORCPT=rfc822;\<recipient\> on every RCPT TO. Default false.
  ///@{
  bool DsnOriginalRecipient() const { return FDsnOriginalRecipient; }
  void SetDsnOriginalRecipient(bool AValue);
  ///@}
  /// Whether the last EHLO offered the extension AName (the first word of
  /// an Extensions() line, any case).
  bool HasExtension(const std::string& AName) const;

  /// The extension lines of the last EHLO reply ("SIZE 10240000", "AUTH
  /// PLAIN LOGIN", ...).
  TStrings& Extensions() { return FExtensions; }
  /// The login mechanisms the server announced, without duplicates.
  TStrings& AuthMethods() { return FAuthMethods; }
  /// The recipients refused during the last send (SkipFailedRecipients).
  TqmFailedRecipientList& FailedRecipients() { return FFailedRecipients; }
  /// The SIZE the server announced when it is the last EHLO line, in bytes
  /// (0: not announced).
  int64_t MaxMessageSize() const { return FMaxMessageSize; }

 private:
  void Hello(const std::string& ACommand, const TOkCodes& AOkCodes);
  // MAIL FROM with the extensions' parameters; ASize < 0: not known.
  void MailFrom(const std::string& ASender, int64_t ASize, bool AEightBit, bool AUtf8);
  std::string MailFromCommand(const std::string& ASender, int64_t ASize, bool AEightBit, bool AUtf8);
  std::string RcptCommand(const std::string& AEntry) const;
  std::string Mailbox(const std::string& AAddress) const;
  bool Pipelined() const;
  bool Chunked() const;
  // One pipelined group: AMailFrom (unless empty), an RCPT TO per
  // recipient, DATA when AData; every reply read in order. True when DATA
  // was answered 354 (the body is due).
  bool SendGroup(const std::string& AMailFrom, const TStrings& ARecipients, bool AData);
  // BDAT chunks until ANext (which fills the chunk it is given) says it
  // gave the last one; pipelined when the server allows it. The first
  // refusal is raised once every chunk written has been answered.
  // ATotal: the message's size, against which OnProgress counts.
  void SendChunks(const std::function<bool(std::string&)>& ANext, int64_t ATotal);
  // The body of SendData; ADataSent: DATA was answered 354 already.
  void SendBody(TStrings& ALines, bool ADataSent);
  // The address checks and header touch-up of SendMessage.
  void CheckAddresses(const std::string& ASender, const TStrings& ARecipients);
  void TouchUpHeader(TStrings& AData);
  // The envelope (MAIL FROM with ASize and AEightBit, RCPT TO) and, when
  // pipelined, DATA; true when DATA was answered 354.
  bool SendEnvelope(const std::string& ASender, const TStrings& ARecipients, int64_t ASize, bool AEightBit);
  int64_t AnnouncedSize() const;
  void CheckMessageSize(int64_t ASize) const;
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
  bool FUseSize = true, FUse8BitMime = true, FUseSmtpUtf8 = true, FUseChunking = true, FUseDsn = true;
  bool FUsePipelining = true;
  std::string FDsnNotify, FDsnReturn, FDsnEnvelopeId;
  bool FDsnOriginalRecipient = false;
  bool FUtf8Envelope = false;  // the transaction begun by MAIL FROM is SMTPUTF8
  // While chunks are sent: the message's size and the bytes of the chunks
  // before the one being sent (FChunkTotal 0: none is).
  int64_t FChunkTotal = 0, FChunkDone = 0;
};

/// An SMTP client. Open() connects and runs StartSession() (greeting,
/// EHLO, STARTTLS, login); Send() sends one message per call; Close()
/// sends QUIT.
class TqmSmtp : public TqmCustomSmtp {
 public:
  /// A closed client; the port defaults to 25 (see TqmTcpClient).
  explicit TqmSmtp(TComponent* AOwner = nullptr);
  /// Closes the session (QUIT) if it is open.
  ~TqmSmtp() override;

  /// StartSession(); called by Open().
  void OpenSession() override;
  /// SendQuit(); called by Close().
  void CloseSession() override;
  /// NOOP, when the client is idle between operations (KeepAlive).
  void DoKeepAlive() override;

  /// Sends one message. With MailData set, or without AMessage: MailData
  /// from MailFrom to MailToList. Otherwise AMessage, rendered here (its
  /// attachments are read now), with a new Message-ID; the sender is
  /// MailFrom or else the message's From, the recipients MailToList or
  /// else every address of its To, Cc and Bcc lists (the Bcc field itself
  /// is not sent). Errors as SendMessage().
  void Send(TqmMailMessage* AMessage = nullptr);
  /// Sends the ready message AData holds from its position on, from
  /// MailFrom to MailToList, in bounded memory (see SendMessageStream).
  void SendStream(TStream& AData);

  /// The envelope sender; empty (default): the message's From.
  ///@{
  const std::string& MailFrom() const { return FMailFrom; }
  void SetMailFrom(const std::string& AValue);
  ///@}
  /// The envelope recipients, one per line; empty (default): the
  /// message's To, Cc and Bcc.
  ///@{
  TStringList& MailToList() { return *FMailToList; }
  void SetMailToList(const TStrings& AValue) { FMailToList->Assign(AValue); }
  ///@}
  /// A ready message as lines (header, empty line, body), sent instead of
  /// a TqmMailMessage when not empty.
  ///@{
  TStringList& MailData() { return *FMailData; }
  void SetMailData(const TStrings& AValue) { FMailData->Assign(AValue); }
  ///@}

 private:
  std::string FMailFrom;
  std::unique_ptr<TStringList> FMailToList;
  std::unique_ptr<TStringList> FMailData;
};

}  // namespace qm
