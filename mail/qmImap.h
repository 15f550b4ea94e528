// The IMAP client: session (greeting, TLS, login, capabilities), mailboxes,
// UID search, fetch, store, copy and move, append, and IDLE.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/qmStream.h"
#include "mail/qmImapResponse.h"
#include "mail/qmMC.h"

namespace qm {

class TqmMailMessage;

/// The server lacks a capability an operation needs (IDLE, MOVE without a
/// way to fall back); the message names it.
constexpr int qmImapUnsupportedCode = -508;
extern const char* const qmImapUnsupported;  ///< "The server does not support %s"
/// The server asked for more (a continuation) where nothing more can be
/// sent, or completed a command that was not sent.
constexpr int qmImapOutOfStepCode = -509;
extern const char* const qmImapOutOfStep;  ///< "The server is out of step with the client: %s"

/// A mailbox as LIST names it.
struct TqmImapMailbox {
  std::string Name;       ///< UTF-8.
  std::string RawName;    ///< As on the wire (modified UTF-7 unless UTF8=ACCEPT is on).
  std::string Delimiter;  ///< The hierarchy delimiter; empty for a flat name (NIL).
  std::vector<std::string> Flags;  ///< "\Noselect", "\HasChildren", "\Sent", "\Trash"...
  /// Whether Flags holds AFlag, ignoring case.
  bool HasFlag(std::string_view AFlag) const;
};

/// What STATUS, SELECT and EXAMINE tell about a mailbox; -1: not told.
struct TqmImapMailboxStatus {
  int64_t Messages = -1;     ///< EXISTS / MESSAGES.
  int64_t Recent = -1;       ///< RECENT.
  int64_t Unseen = -1;       ///< STATUS: unseen messages; SELECT: the first unseen's number.
  int64_t UidNext = -1;      ///< UIDNEXT: the UID the next message will get.
  int64_t UidValidity = -1;  ///< UIDVALIDITY: UIDs stay valid while it stays the same.
  std::vector<std::string> Flags;           ///< SELECT: FLAGS.
  std::vector<std::string> PermanentFlags;  ///< SELECT: PERMANENTFLAGS.
  bool ReadOnly = false;                    ///< SELECT/EXAMINE: READ-ONLY.
};

/// An address of an ENVELOPE.
struct TqmImapAddress {
  std::string Name;     ///< The display name (NIL: empty).
  std::string Mailbox;  ///< The local part (or a group's name).
  std::string Host;     ///< The domain (NIL: empty; a group marker).
  /// "mailbox@host".
  std::string Address() const { return Host.empty() ? Mailbox : Mailbox + "@" + Host; }
};

/// An ENVELOPE. Subject and the names of addresses are decoded (encoded
/// words, and raw 8-bit text taken as UTF-8); RawSubject keeps the subject
/// as sent.
struct TqmImapEnvelope {
  /// The header fields of the same names.
  ///@{
  std::string Date;
  std::string Subject;
  std::string InReplyTo;
  std::string MessageId;
  ///@}
  std::string RawSubject;  ///< The subject as the server sent it.
  /// The address fields of the same names.
  ///@{
  std::vector<TqmImapAddress> From;
  std::vector<TqmImapAddress> Sender;
  std::vector<TqmImapAddress> ReplyTo;
  std::vector<TqmImapAddress> To;
  std::vector<TqmImapAddress> Cc;
  std::vector<TqmImapAddress> Bcc;
  ///@}
};

/// What UidFetch asks for.
enum TqmImapFetchItem : unsigned {
  fiFlags = 1,
  fiInternalDate = 2,
  fiSize = 4,           ///< RFC822.SIZE
  fiEnvelope = 8,
  fiBodyStructure = 16, ///< As a tree of parts, and as raw text.
  fiHeader = 32,        ///< BODY.PEEK[HEADER]
  fiBody = 64,          ///< BODY.PEEK[] (or the part given by a partial range)
};
/// TqmImapFetchItem values or-ed together.
using TqmImapFetchItems = unsigned;

/// A parameter of a body part ("charset" "utf-8"), name as sent.
struct TqmImapParameter {
  std::string Name;   ///< As sent ("charset", "NAME").
  std::string Value;  ///< As sent (RFC 2231 continuations already joined by the server).
};

/// One part of a BODYSTRUCTURE: a leaf (text, image, message...) or a
/// multipart with its parts. Texts the server sent as NIL are empty,
/// numbers it did not send are -1.
struct TqmImapBodyPart {
  std::string Type;     ///< Lower case: "text", "multipart", "message"...
  std::string Subtype;  ///< Lower case: "plain", "mixed", "rfc822"...
  std::vector<TqmImapParameter> Parameters;  ///< Of the content type.
  std::string Id;           ///< Content-ID.
  std::string Description;  ///< Content-Description.
  std::string Encoding;     ///< Content-Transfer-Encoding, lower case ("base64").
  int64_t Size = -1;        ///< Octets of the encoded body.
  int64_t Lines = -1;       ///< Lines of a text or message/rfc822 body.
  std::string Md5;          ///< Content-MD5.
  std::string Disposition;  ///< Lower case: "attachment", "inline"; empty: none.
  std::vector<TqmImapParameter> DispositionParameters;  ///< "filename"...
  std::vector<std::string> Language;  ///< Content-Language.
  std::string Location;               ///< Content-Location.
  /// A message/rfc822 (or message/global) part: the enclosed message's
  /// ENVELOPE; its body is Parts[0].
  ///@{
  bool HasEnvelope = false;
  TqmImapEnvelope Envelope;
  ///@}
  /// The parts of a multipart, or the body of an enclosed message.
  std::vector<TqmImapBodyPart> Parts;

  /// Whether Type is "multipart".
  bool IsMultipart() const { return Type == "multipart"; }
  /// The value of the content-type parameter AName (case ignored); empty
  /// when absent.
  std::string Parameter(std::string_view AName) const;
};

/// A BODYSTRUCTURE (or BODY) value read into a tree. Lenient: what is
/// missing or of the wrong kind keeps its default.
TqmImapBodyPart ImapBodyStructure(const TqmImapValue& AValue);

/// One message of a FETCH answer. A Body view lives as long as the
/// message object (it holds the received bytes).
struct TqmImapMessage {
  uint64_t SequenceNumber = 0;     ///< The message's number in the mailbox.
  uint64_t Uid = 0;                ///< UID.
  bool HasFlags = false;           ///< Whether FLAGS came.
  std::vector<std::string> Flags;  ///< FLAGS.
  std::string InternalDate;        ///< INTERNALDATE, as sent.
  int64_t Size = -1;               ///< RFC822.SIZE; -1: not sent.
  bool HasEnvelope = false;        ///< Whether ENVELOPE came.
  TqmImapEnvelope Envelope;        ///< ENVELOPE.
  std::string BodyStructure;       ///< BODYSTRUCTURE as raw text.
  bool HasStructure = false;       ///< Whether BODYSTRUCTURE (or BODY) came.
  TqmImapBodyPart Structure;       ///< BODYSTRUCTURE as a tree.
  std::string_view Header;  ///< BODY[HEADER]
  std::string_view Body;    ///< BODY[], or the range of it asked for
  TqmImapResponse Response; ///< The FETCH response the views point into.
};

/// Criteria of UID SEARCH, joined by AND; strings go out quoted or as
/// literals, with CHARSET UTF-8 when any is not ASCII.
class TqmImapSearch {
 public:
  /// Every message ("ALL" when nothing else is added).
  TqmImapSearch() = default;
  /// Criteria of the same names; each returns *this.
  ///@{
  TqmImapSearch& Seen() { return Key("SEEN"); }
  TqmImapSearch& Unseen() { return Key("UNSEEN"); }
  TqmImapSearch& Flagged() { return Key("FLAGGED"); }
  TqmImapSearch& Deleted() { return Key("DELETED"); }
  TqmImapSearch& Undeleted() { return Key("UNDELETED"); }
  TqmImapSearch& Answered() { return Key("ANSWERED"); }
  TqmImapSearch& Keyword(const std::string& AFlag) { return Key("KEYWORD " + AFlag); }
  TqmImapSearch& From(const std::string& AText) { return Text("FROM", AText); }
  TqmImapSearch& To(const std::string& AText) { return Text("TO", AText); }
  TqmImapSearch& Subject(const std::string& AText) { return Text("SUBJECT", AText); }
  TqmImapSearch& Body(const std::string& AText) { return Text("BODY", AText); }
  TqmImapSearch& AnyText(const std::string& AText) { return Text("TEXT", AText); }
  TqmImapSearch& Header(const std::string& AField, const std::string& AText);
  ///@}
  /// Internal dates, by day: ADay as year, month (1-12), day.
  ///@{
  TqmImapSearch& Since(int AYear, int AMonth, int ADay) { return Date("SINCE", AYear, AMonth, ADay); }
  TqmImapSearch& Before(int AYear, int AMonth, int ADay) { return Date("BEFORE", AYear, AMonth, ADay); }
  TqmImapSearch& On(int AYear, int AMonth, int ADay) { return Date("ON", AYear, AMonth, ADay); }
  ///@}
  /// Sizes in bytes (RFC822.SIZE).
  ///@{
  TqmImapSearch& Larger(uint64_t ABytes) { return Key("LARGER " + std::to_string(ABytes)); }
  TqmImapSearch& Smaller(uint64_t ABytes) { return Key("SMALLER " + std::to_string(ABytes)); }
  ///@}
  /// UIDs as a set ("1:5,9").
  TqmImapSearch& Uid(const std::string& ASet);
  /// NOT (all of AOther).
  TqmImapSearch& Not(const TqmImapSearch& AOther);
  /// OR (all of ALeft) (all of ARight).
  TqmImapSearch& Or(const TqmImapSearch& ALeft, const TqmImapSearch& ARight);

  /// The pieces: atoms, and strings that go out quoted or as literals.
  struct TPiece {
    bool IsString = false;  ///< A string (quoted or a literal), else an atom.
    std::string Text;       ///< The atom or the string's text.
  };
  /// The criteria as they go out.
  const std::vector<TPiece>& Pieces() const { return FPieces; }
  /// Whether a string is not ASCII (CHARSET UTF-8 is sent).
  bool NeedsUtf8() const;

 private:
  TqmImapSearch& Key(const std::string& AKey);
  TqmImapSearch& Text(const char* AKey, const std::string& AText);
  TqmImapSearch& Date(const char* AKey, int AYear, int AMonth, int ADay);
  void AddGroup(const TqmImapSearch& AOther);
  std::vector<TPiece> FPieces;
};

/// How UidStore changes flags.
enum TqmImapStoreMode { ismAddFlags, ismRemoveFlags, ismReplaceFlags };

/// One field of an ID exchange (RFC 2971): "name" "version"...
using TqmImapIdField = std::pair<std::string, std::string>;

/// An untagged response as it arrives (every one, also during IDLE).
using TqmImapResponseEvent = std::function<void(TObject* Sender, const TqmImapResponse& AResponse)>;
/// A number from the selected mailbox: EXISTS (the new count), EXPUNGE
/// (the sequence number removed).
using TqmImapNumberEvent = std::function<void(TObject* Sender, uint64_t ANumber)>;
/// A FETCH the server sent on its own (flags changed by another session).
using TqmImapMessageEvent = std::function<void(TObject* Sender, const TqmImapMessage& AMessage)>;

/// An IMAP4rev1 client (RFC 3501) with IDLE, UIDPLUS, MOVE, LITERAL+,
/// ENABLE UTF8=ACCEPT, ID and SASL-IR. Open() connects, reads the
/// greeting, starts TLS as UseTLS says (STARTTLS with ctExplicit, or
/// implicit TLS, usually on port 993) and logs in: LOGIN with UserName and
/// Password; or, with UseSasl (set by a token in Authorization), AUTHENTICATE
/// with the mechanism SaslChooseMechanism() takes from the server's
/// AUTH= capabilities (SaslMechanisms and PlainTextLogin apply as for POP3
/// and SMTP; the initial response goes with the command under SASL-IR);
/// LOGIN when none fits, unless SaslOnly. Close() sends LOGOUT.
///
/// A command the server refuses raises EqmImapError with ErrorCode
/// qmImapNoCode or qmImapBadCode and the server's text; the session stays
/// usable. A malformed response, a bound reached or a time-out ends the
/// session (the connection is closed); a BYE is reported as qmImapByeCode
/// with the server's text. Every public operation is one operation of the
/// client (InProgress): the keep-alive NOOP waits for it.
class TqmImap : public TqmCustomMail {
 public:
  /// A closed client; the port defaults to 143 (993 for implicit TLS is set
  /// by the caller).
  explicit TqmImap(TComponent* AOwner = nullptr);
  /// Closes the session (LOGOUT) if it is open.
  ~TqmImap() override;

  /// 143.
  int GetDefaultPort() override;
  /// Greeting, STARTTLS when due, login, capabilities, ENABLE; called by Open().
  void OpenSession() override;
  /// LOGOUT; a failure is ignored. Called by Close().
  void CloseSession() override;
  /// STARTTLS, then the TLS handshake on the open connection.
  void StartTls() override;
  /// NOOP, when the client is idle between operations (KeepAlive).
  void DoKeepAlive() override;

  // ---- session ----
  /// The server's capabilities (upper case), from the greeting or login
  /// reply, or asked with CAPABILITY when none came.
  const std::vector<std::string>& Capabilities();
  /// Whether Capabilities() holds AName (case ignored; "AUTH=PLAIN").
  bool HasCapability(std::string_view AName);
  /// Sends CAPABILITY again.
  void RefreshCapabilities();
  /// NOOP: the server reports changes of the selected mailbox (events).
  void Noop();
  /// ID (RFC 2971): sends AFields (empty: NIL) and returns the server's
  /// fields. Raises qmImapUnsupportedCode when the server lacks ID.
  std::vector<TqmImapIdField> Id(const std::vector<TqmImapIdField>& AFields = {});
  /// Whether UTF8=ACCEPT was enabled (mailbox names go as UTF-8).
  bool Utf8Enabled() const { return FUtf8Enabled; }

  // ---- mailboxes ----
  /// LIST AReference APattern ("*": all, "%": one level).
  std::vector<TqmImapMailbox> List(const std::string& AReference = "", const std::string& APattern = "*");
  /// STATUS (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN).
  TqmImapMailboxStatus Status(const std::string& AMailbox);
  /// SELECT (or EXAMINE when AReadOnly): the mailbox's counters.
  const TqmImapMailboxStatus& Select(const std::string& AMailbox, bool AReadOnly = false);
  /// EXAMINE: Select(AMailbox, true).
  const TqmImapMailboxStatus& Examine(const std::string& AMailbox) { return Select(AMailbox, true); }
  /// The selected mailbox (UTF-8; empty when none) and what is known of it,
  /// kept up to date by EXISTS, EXPUNGE and RECENT.
  ///@{
  const std::string& SelectedMailbox() const { return FSelected; }
  const TqmImapMailboxStatus& MailboxStatus() const { return FStatus; }
  ///@}
  /// CREATE, DELETE, RENAME, SUBSCRIBE and UNSUBSCRIBE (names in UTF-8).
  ///@{
  void CreateMailbox(const std::string& AMailbox);
  void DeleteMailbox(const std::string& AMailbox);
  void RenameMailbox(const std::string& AFrom, const std::string& ATo);
  void Subscribe(const std::string& AMailbox);
  void Unsubscribe(const std::string& AMailbox);
  ///@}

  // ---- messages of the selected mailbox (UIDs) ----
  /// UID SEARCH: the matching UIDs in ascending order.
  std::vector<uint64_t> UidSearch(const TqmImapSearch& ACriteria);
  /// UID FETCH of AItems for the UIDs of ASet ("1:*", "4,7:9"); APartial,
  /// when not empty, limits fiBody to a range ("0.1024"). AOnMessage, when
  /// given, receives each message as it arrives and nothing is collected.
  ///@{
  std::vector<TqmImapMessage> UidFetch(const std::string& ASet, TqmImapFetchItems AItems,
                                       const std::string& APartial = "");
  void UidFetch(const std::string& ASet, TqmImapFetchItems AItems, const std::string& APartial,
                const std::function<void(const TqmImapMessage&)>& AOnMessage);
  ///@}
  /// BODY.PEEK[] of AUid parsed into AMessage, read in place from the
  /// received literal. False when the server has no such message.
  bool UidFetchMessage(uint64_t AUid, TqmMailMessage& AMessage);
  /// BODY.PEEK[] of AUid written to ATarget as it arrives: a message of
  /// any size passes through a buffer of a few blocks. False when there is
  /// no such message.
  bool UidFetchMessage(uint64_t AUid, TStream& ATarget);
  /// UID STORE FLAGS.SILENT: adds, removes or replaces flags.
  void UidStore(const std::string& ASet, TqmImapStoreMode AMode, const std::vector<std::string>& AFlags);
  /// UID COPY to AMailbox.
  void UidCopy(const std::string& ASet, const std::string& AMailbox);
  /// UID MOVE (RFC 6851); without MOVE: UID COPY, then the flag "\Deleted",
  /// then UID EXPUNGE of those UIDs (with UIDPLUS; without it the originals
  /// stay flagged "\Deleted", since a plain EXPUNGE would remove other
  /// messages).
  void UidMove(const std::string& ASet, const std::string& AMailbox);
  /// UID EXPUNGE (UIDPLUS): removes the messages of ASet flagged "\Deleted".
  void UidExpunge(const std::string& ASet);
  /// EXPUNGE: removes every message flagged "\Deleted".
  void Expunge();
  /// APPEND: the message's text (CR LF lines), with flags and an internal
  /// date ("07-Dec-2026 10:00:00 +0000", empty: now). Returns the new UID
  /// (APPENDUID) or 0 when the server does not tell.
  uint64_t Append(const std::string& AMailbox, std::string_view AMessage,
                  const std::vector<std::string>& AFlags = {}, const std::string& AInternalDate = "");

  // ---- IDLE ----
  /// IDLE (RFC 2177): waits for changes of the selected mailbox, raising
  /// OnExists, OnExpunge, OnMessageFetched (and OnUntaggedResponse) as they
  /// come, until StopIdle() or ATimeOutMs (0 or less: no time limit). It is
  /// issued again every IdleRenewal ms (servers end an IDLE after 30
  /// minutes).
  void Idle(int ATimeOutMs);
  /// Ends a running Idle() (from any thread or a handler); a stop asked
  /// while no Idle() runs ends the next one at once.
  void StopIdle();
  /// The interval at which a long Idle() is issued again (default 28
  /// minutes).
  ///@{
  int IdleRenewal() const { return FIdleRenewal; }
  void SetIdleRenewal(int AValue);
  ///@}

  // ---- bounds ----
  /// The reader's bounds (see TqmImapLimits and the defaults).
  ///@{
  const TqmImapLimits& Limits() const { return FLimits; }
  void SetLimits(const TqmImapLimits& AValue) { FLimits = AValue; }
  ///@}
  /// Untagged responses one command may bring (default
  /// qmImapDefaultMaxUntaggedResponses; 0 or less: no limit).
  ///@{
  int MaxUntaggedResponses() const { return FMaxUntagged; }
  void SetMaxUntaggedResponses(int AValue);
  ///@}
  /// Whether ENABLE UTF8=ACCEPT is sent when the server offers it (default
  /// true).
  ///@{
  bool UseUtf8() const { return FUseUtf8; }
  void SetUseUtf8(bool AValue);
  ///@}

  /// Every untagged response as it arrives.
  TqmImapResponseEvent OnUntaggedResponse;
  /// EXISTS: the selected mailbox's new message count.
  TqmImapNumberEvent OnExists;
  /// EXPUNGE: the sequence number of a message removed.
  TqmImapNumberEvent OnExpunge;
  /// A FETCH the server sent on its own (flags changed elsewhere).
  TqmImapMessageEvent OnMessageFetched;

  /// Mailbox name conversions as this session writes and reads them.
  ///@{
  std::string EncodeMailbox(const std::string& AName) const;
  std::string DecodeMailbox(std::string_view ARaw) const;
  ///@}

 protected:
  /// Raise OnUntaggedResponse, OnExists, OnExpunge and OnMessageFetched
  /// when assigned.
  ///@{
  virtual void DoUntaggedResponse(const TqmImapResponse& AResponse);
  virtual void DoExists(uint64_t ACount);
  virtual void DoExpunge(uint64_t ANumber);
  virtual void DoMessageFetched(const TqmImapMessage& AMessage);
  ///@}
  /// Whether the server sent bytes after its STARTTLS reply (refused: they
  /// would be read as if protected).
  bool HasDataBeforeTls() override;

 private:
  // One piece of a command: text as is, or a literal.
  struct TArg {
    TArg(std::string AText = std::string()) : Text(std::move(AText)) {}
    TArg(const char* AText) : Text(AText) {}
    std::string Text;
    std::string_view Data;  // a literal's data (Text is then unused)
    bool Literal = false;
  };
  using TArgs = std::vector<TArg>;
  using TOnData = std::function<void(TqmImapResponse&)>;
  class TOperation;

  TArg Astring(const std::string& AText) const;
  TArg MailboxArg(const std::string& AName) const;
  // Sends a command and reads to its completion; untagged responses go to
  // AOnData (after the client's own bookkeeping) or are dropped. NO and
  // BAD raise. Returns the completion.
  TqmImapResponse Run(const TArgs& AArgs, const TOnData& AOnData = {});
  // Writes the command (waiting for "+" before a synchronising literal);
  // returns its tag.
  std::string Send(const TArgs& AArgs, const TOnData& AOnData);
  TqmImapResponse WaitCompletion(const std::string& ATag, const TOnData& AOnData, bool AContinuation = false);
  void Write(std::string_view AData, bool ALog);
  void ReadResponse(TqmImapResponse& AResponse);
  void ReadBlock();
  void Untagged(TqmImapResponse& AResponse);
  // Closes the connection (the session is out of step) and raises AError.
  template <typename E>
  [[noreturn]] void Fail(const E& AError);
  void DropConnection() noexcept;
  // A Cancel ended the wait: the connection goes, ECONNABORTED is raised.
  [[noreturn]] void Aborted();
  void Login();
  // AUTHENTICATE with AMechanism through the shared SASL client objects.
  void Authenticate(TqmSaslMechanism AMechanism);
  void NtlmLogin();
  void TakeCapabilities(const std::vector<TqmImapValue>& AValues, size_t AFrom);
  TqmImapMessage ToMessage(const TqmImapResponse& AResponse) const;
  bool FetchBody(uint64_t AUid, const std::function<void(std::string_view)>& ABody);

  TqmImapParser FParser;
  TqmImapLimits FLimits;
  TMemoryStream FBlock;
  unsigned FTagCounter = 0;
  int FUntaggedCount = 0;
  int FMaxUntagged = qmImapDefaultMaxUntaggedResponses;
  bool FUseUtf8 = true;
  bool FUtf8Enabled = false;
  bool FCapabilitiesKnown = false;
  std::vector<std::string> FCapabilities;
  std::string FBye;  // the text of a BYE received
  std::string FSelected;
  TqmImapMailboxStatus FStatus;
  int FIdleRenewal = 28 * 60 * 1000;
  std::mutex FIdleLock;  // FIdleStop, set by StopIdle from any thread
  bool FIdleStop = false;
  // Signalled by StopIdle: wakes the IDLE wait without touching the
  // connection's abort, which belongs to Cancel.
  int FIdleEvent = -1;
  // A sink for the literal of BODY[] while UidFetchMessage writes to a
  // stream (null otherwise).
  class TStreamSink;
};

}  // namespace qm
