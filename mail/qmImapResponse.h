// The IMAP response reader: server bytes in, whole responses out. Kept
// apart from the client (which only feeds it and acts on what it yields),
// so that it can be tested and fuzzed on its own.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/qmTcpClient.h"

namespace qm {

/// A failure of an IMAP session: a command the server refused (ErrorCode
/// qmImapNoCode for NO, qmImapBadCode for BAD; Message the server's text
/// with its response code, e.g. "[AUTHENTICATIONFAILED] Authentication
/// failed."), or a condition the client detected (the negative codes
/// below: a malformed response, a bound reached, the server's BYE).
class EqmImapError : public EqmTcpClientError {
 public:
  using EqmTcpClientError::EqmTcpClientError;
};

constexpr int qmImapNoCode = 20;    ///< The server answered NO.
constexpr int qmImapBadCode = 21;   ///< The server answered BAD.
/// Bytes that are not an IMAP response; the message names what was wrong.
constexpr int qmImapMalformedCode = -500;
constexpr int qmImapLineTooLongCode = -501;      ///< A line over MaxLineLength.
constexpr int qmImapLiteralTooLargeCode = -502;  ///< A literal over MaxLiteralSize.
constexpr int qmImapNestingTooDeepCode = -503;   ///< Lists nested deeper than MaxNestingDepth.
constexpr int qmImapTooManyResponsesCode = -504; ///< More than MaxUntaggedResponses for one command.
constexpr int qmImapResponseTooLargeCode = -505; ///< One response over MaxResponseSize.
/// The server ended the session (BYE) before the command completed; the
/// message holds the server's text.
constexpr int qmImapByeCode = -506;
/// A mailbox name that is not valid modified UTF-7, or a command argument
/// that cannot be sent (a NUL byte).
constexpr int qmImapInvalidArgumentCode = -507;
extern const char* const qmImapMalformed;         ///< "Malformed response from the server: %s"
extern const char* const qmImapLineTooLong;       ///< With the limit.
extern const char* const qmImapLiteralTooLarge;   ///< With the limit.
extern const char* const qmImapNestingTooDeep;    ///< With the limit.
extern const char* const qmImapTooManyResponses;  ///< With the limit.
extern const char* const qmImapResponseTooLarge;  ///< With the limit.
extern const char* const qmImapBye;               ///< "The server closed the session: %s"

/// Defaults of the bounds. A line holds a whole SEARCH answer (about
/// 700 KB for 100,000 UIDs); a literal is a message (servers refuse
/// larger ones to APPEND); BODYSTRUCTURE of real mail nests a few levels.
constexpr int64_t qmImapDefaultMaxLineLength = 4 << 20;              ///< Bytes.
constexpr int64_t qmImapDefaultMaxLiteralSize = int64_t{256} << 20;  ///< Bytes.
constexpr int64_t qmImapDefaultMaxResponseSize = int64_t{512} << 20; ///< Bytes.
constexpr int qmImapDefaultMaxNestingDepth = 64;                     ///< Levels.
constexpr int qmImapDefaultMaxUntaggedResponses = 2000000;           ///< Per command.

/// One value of a response: an atom (numbers and flags included), a string
/// (quoted or literal), NIL or a parenthesised list. Texts are views into
/// the response that holds the value; they live as long as it.
struct TqmImapValue {
  /// What the value is.
  enum TKind : uint8_t { ikAtom, ikString, ikNil, ikList };
  TKind Kind = ikNil;  ///< What the value is.
  std::string_view Text;             ///< Atom or string contents.
  std::vector<TqmImapValue> Items;   ///< List members.

  /// Whether Kind is ikAtom, ikString, ikNil or ikList.
  ///@{
  bool IsAtom() const { return Kind == ikAtom; }
  bool IsString() const { return Kind == ikString; }
  bool IsNil() const { return Kind == ikNil; }
  bool IsList() const { return Kind == ikList; }
  ///@}
  /// An atom or string as a number; false when it is not one of 1 to 18 digits.
  bool ToNumber(uint64_t& AValue) const;
  /// The atom, string or NIL ("") as text.
  std::string AsString() const { return std::string(Text); }
  /// Whether this is an atom equal to AName, ignoring ASCII case.
  bool Is(std::string_view AName) const;
};

/// One response: untagged ("* ..."), tagged completion ("A1 OK ...") or a
/// continuation request ("+ ..."). Copies share the received bytes.
struct TqmImapResponse {
  /// Untagged, a tagged completion or a continuation request.
  enum TKind : uint8_t { irUntagged, irTagged, irContinuation };
  TKind Kind = irUntagged;  ///< Untagged, tagged or a continuation.
  std::string Tag;       ///< The tag of a completion.
  bool HasNumber = false;  ///< Whether a number came before Name.
  uint64_t Number = 0;   ///< "* 23 EXISTS": 23.
  /// Upper case: OK NO BAD PREAUTH BYE for a status; EXISTS, FETCH,
  /// CAPABILITY, LIST... for data; empty for a continuation.
  std::string Name;
  /// Of a status response: the response code ("UIDVALIDITY"; upper case,
  /// empty when none), its arguments, and the human-readable text. Of a
  /// continuation: the text after "+ ".
  ///@{
  std::string Code;
  std::vector<TqmImapValue> CodeArgs;
  std::string Text;
  ///@}
  /// The values after Name (a data response).
  std::vector<TqmImapValue> Values;
  /// The size of the response as received, in bytes.
  size_t Size = 0;

  /// Whether Name is OK, NO, BAD, PREAUTH or BYE.
  bool IsStatus() const;
  /// "[CODE args] text" as the server sent it (for messages).
  std::string StatusText() const;

  /// The received bytes and unescaped quoted strings the views point into.
  struct TStorage {
    std::string Raw;                     ///< The response as received.
    std::deque<std::string> Unescaped;   ///< Quoted strings that had escapes.
  };
  /// Shared by copies, so that their views stay valid.
  std::shared_ptr<TStorage> Storage;
};

/// Bounds on what one server can make the reader hold; 0 or less: none.
struct TqmImapLimits {
  int64_t MaxLineLength = qmImapDefaultMaxLineLength;      ///< Bytes of one line (literals apart).
  int64_t MaxLiteralSize = qmImapDefaultMaxLiteralSize;    ///< Bytes of one literal.
  int64_t MaxResponseSize = qmImapDefaultMaxResponseSize;  ///< Bytes of one response, literals included.
  int MaxNestingDepth = qmImapDefaultMaxNestingDepth;      ///< Levels of nested lists.
};

/// Takes the bytes of chosen literals as they arrive, instead of the
/// response (a message written to a file without being held whole).
class TqmImapLiteralSink {
 public:
  virtual ~TqmImapLiteralSink() = default;
  /// Whether the literal of ASize bytes announced at the end of ALine (the
  /// response's line up to and with "{n}") goes to Write(); the response
  /// then holds an empty string in its place.
  virtual bool Accept(std::string_view ALine, int64_t ASize) = 0;
  /// The next bytes of an accepted literal, in order.
  virtual void Write(const char* AData, size_t ASize) = 0;
};

/// Splits server bytes into responses. Feed() the bytes as they arrive, in
/// pieces of any size (a literal or a line may be cut at any byte), then
/// take the complete responses with Next(). A malformed response or one
/// beyond the limits raises EqmImapError; the reader is then unusable (the
/// session is out of step with the server).
class TqmImapParser {
 public:
  TqmImapParser() = default;
  /// A reader with ALimits instead of the defaults.
  explicit TqmImapParser(const TqmImapLimits& ALimits) : FLimits(ALimits) {}

  /// The bounds the reader enforces.
  ///@{
  const TqmImapLimits& Limits() const { return FLimits; }
  void SetLimits(const TqmImapLimits& AValue) { FLimits = AValue; }
  ///@}

  /// Adds received bytes. Raises as soon as a bound is passed (before a
  /// line or literal is complete).
  ///@{
  void Feed(const char* AData, size_t ASize);
  void Feed(std::string_view AData) { Feed(AData.data(), AData.size()); }
  ///@}
  /// Takes the next complete response; false when more bytes are needed.
  bool Next(TqmImapResponse& AResponse);
  /// Bytes received that do not yet form a whole response.
  size_t Pending() const { return FBuffer.size(); }
  /// Forgets everything received (a new session).
  void Reset();
  /// Whether bytes of a literal are awaited (for progress: how many).
  int64_t LiteralLeft() const { return FLiteralLeft + FDivertLeft; }
  /// Literals ASink accepts go to it as they arrive; they count against
  /// no bound, since the reader holds no more than one fed block of them.
  /// Null (default): every literal stays in its response.
  void SetLiteralSink(TqmImapLiteralSink* ASink) { FSink = ASink; }

  /// Parses one whole response (its bytes, literals included, as framed by
  /// the reader). Public for tests and the fuzz target.
  static TqmImapResponse Parse(std::string ARaw, const TqmImapLimits& ALimits);

 private:
  // Advances the framing over FBuffer; true with the end of a response.
  bool Frame(size_t& AEnd);
  // Drops the bytes of responses already taken.
  void Compact();

  TqmImapLimits FLimits;
  std::string FBuffer;
  size_t FStart = 0;         // where the open response starts
  size_t FScan = 0;          // framed up to here
  size_t FLineStart = 0;     // start of the line being framed
  int64_t FLiteralLeft = 0;  // literal bytes still to come
  int64_t FDivertLeft = 0;   // bytes of a literal the sink takes, still to come
  TqmImapLiteralSink* FSink = nullptr;
  bool FFailed = false;
};

/// An argument written as an atom, a quoted string or a literal, whichever
/// can carry it (AUtf8: 8-bit text may be quoted, as with UTF8=ACCEPT).
/// Returns true when it must go as a literal (the text is then the data).
bool ImapNeedsLiteral(std::string_view AText, bool AUtf8);
/// AText as a quoted string, or as an atom when it is one.
std::string ImapQuote(std::string_view AText);

}  // namespace qm
