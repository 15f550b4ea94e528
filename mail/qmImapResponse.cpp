#include "mail/qmImapResponse.h"

#include <algorithm>
#include <cstring>

#include "core/qmSysUtils.h"

namespace qm {

const char* const qmImapMalformed = "Malformed response from the server: %s";
const char* const qmImapLineTooLong = "A response line from the server is longer than MaxLineLength (%lld bytes)";
const char* const qmImapLiteralTooLarge = "A literal from the server is larger than MaxLiteralSize (%lld bytes)";
const char* const qmImapNestingTooDeep = "A response from the server nests lists deeper than MaxNestingDepth (%lld)";
const char* const qmImapTooManyResponses =
    "The server sent more untagged responses to one command than MaxUntaggedResponses (%lld)";
const char* const qmImapResponseTooLarge = "A response from the server is larger than MaxResponseSize (%lld bytes)";
const char* const qmImapBye = "The server closed the session: %s";

namespace {

[[noreturn]] void RaiseLimit(const char* AText, int64_t ALimit, int ACode) {
  throw EqmImapError(Format(AText, static_cast<long long>(ALimit)), ACode);
}

char UpCase(char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 32) : C; }

bool EqualsNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (UpCase(A[I]) != UpCase(B[I])) return false;
  return true;
}

std::string Upper(std::string_view AText) {
  std::string Result(AText);
  for (char& C : Result) C = UpCase(C);
  return Result;
}

// Reads one framed response. Positions are byte offsets into the raw text;
// every error names what was expected and where.
class TReader {
 public:
  TReader(TqmImapResponse::TStorage& AStorage, const TqmImapLimits& ALimits)
      : S(AStorage.Raw), St(AStorage), L(ALimits) {}

  void Run(TqmImapResponse& R) {
    if (S.empty()) Fail("an empty response");
    if (S[0] == '+') {
      R.Kind = TqmImapResponse::irContinuation;
      P = 1;
      if (P < S.size() && S[P] == ' ') ++P;
      R.Text = std::string(RestOfLine());
      End();
      return;
    }
    if (S[0] == '*') {
      R.Kind = TqmImapResponse::irUntagged;
      P = 1;
    } else {
      R.Kind = TqmImapResponse::irTagged;
      while (P < S.size() && S[P] > ' ' && S[P] < 127 && !std::strchr("(){%*\"\\]", S[P])) ++P;
      if (P == 0) Fail("a response that starts with neither \"*\", \"+\" nor a tag");
      R.Tag = S.substr(0, P);
    }
    Space("after the tag");
    std::string_view Word = Atom();
    uint64_t Number = 0;
    if (!Word.empty() && std::all_of(Word.begin(), Word.end(), [](char C) { return C >= '0' && C <= '9'; })) {
      if (R.Kind == TqmImapResponse::irTagged || !TqmImapValue{TqmImapValue::ikAtom, Word, {}}.ToNumber(Number))
        Fail("a number where a response name was expected");
      R.HasNumber = true;
      R.Number = Number;
      Space("after the message number");
      Word = Atom();
    }
    R.Name = Upper(Word);
    if (!R.HasNumber && R.IsStatus()) {
      RespText(R);
    } else {
      if (R.Kind == TqmImapResponse::irTagged) Fail("a completion that is not OK, NO or BAD");
      for (;;) {
        SkipSpaces();
        if (AtLineEnd()) break;
        R.Values.push_back(Value(0));
      }
    }
    End();
  }

 private:
  [[noreturn]] void Fail(const std::string& AWhat) {
    throw EqmImapError(Format(qmImapMalformed, (AWhat + " (at byte " + std::to_string(P) + ")").c_str()),
                       qmImapMalformedCode);
  }
  bool AtLineEnd() const { return P >= S.size() || S[P] == '\r' || S[P] == '\n'; }
  void SkipSpaces() {
    while (P < S.size() && S[P] == ' ') ++P;
  }
  void Space(const char* AWhere) {
    if (P >= S.size() || S[P] != ' ') Fail(std::string("a space expected ") + AWhere);
    SkipSpaces();
  }
  std::string_view RestOfLine() {
    const size_t Start = P;
    while (!AtLineEnd()) ++P;
    return std::string_view(S).substr(Start, P - Start);
  }
  // The line break that ends the response, and nothing after it.
  void End() {
    if (P < S.size() && S[P] == '\r') ++P;
    if (P < S.size() && S[P] == '\n') ++P;
    if (P != S.size()) Fail("data after the end of the response");
  }
  // An atom: up to a space, a parenthesis, a quote or the line end; a
  // "[...]" section inside it (BODY[HEADER.FIELDS (FROM)]) may hold spaces.
  std::string_view Atom() {
    const size_t Start = P;
    int Brackets = 0;
    while (P < S.size()) {
      const char C = S[P];
      if (C == '\r' || C == '\n') {
        if (Brackets > 0) Fail("an unclosed \"[\" in an atom");
        break;
      }
      if (C == '[') {
        ++Brackets;
      } else if (C == ']') {
        if (Brackets == 0) break;
        --Brackets;
      } else if (Brackets == 0 && (C == ' ' || C == '(' || C == ')' || C == '"' || (C == '{' && P == Start))) {
        break;
      }
      ++P;
    }
    if (P == Start) Fail("an atom expected");
    return std::string_view(S).substr(Start, P - Start);
  }
  std::string_view Quoted() {
    ++P;  // the opening quote
    const size_t Start = P;
    bool Escaped = false;
    while (P < S.size() && S[P] != '"') {
      if (S[P] == '\r' || S[P] == '\n') Fail("an unclosed quoted string");
      if (S[P] == '\\') {
        Escaped = true;
        ++P;
        if (P >= S.size() || (S[P] != '"' && S[P] != '\\')) Fail("a bad escape in a quoted string");
      }
      ++P;
    }
    if (P >= S.size()) Fail("an unclosed quoted string");
    std::string_view Text = std::string_view(S).substr(Start, P - Start);
    ++P;
    if (!Escaped) return Text;
    std::string& Out = St.Unescaped.emplace_back();
    Out.reserve(Text.size());
    for (size_t I = 0; I < Text.size(); ++I) {
      if (Text[I] == '\\') ++I;
      Out += Text[I];
    }
    return Out;
  }
  std::string_view Literal() {
    ++P;  // '{'
    uint64_t Size = 0;
    const size_t Start = P;
    while (P < S.size() && S[P] >= '0' && S[P] <= '9') {
      if (Size > (uint64_t{1} << 60)) Fail("a literal size out of range");
      Size = Size * 10 + static_cast<uint64_t>(S[P] - '0');
      ++P;
    }
    if (P == Start) Fail("a literal without a size");
    if (P < S.size() && S[P] == '+') ++P;
    if (P >= S.size() || S[P] != '}') Fail("a literal size not closed by \"}\"");
    ++P;
    if (P < S.size() && S[P] == '\r') ++P;
    if (P >= S.size() || S[P] != '\n') Fail("a literal size not followed by a line break");
    ++P;
    if (L.MaxLiteralSize > 0 && Size > static_cast<uint64_t>(L.MaxLiteralSize))
      RaiseLimit(qmImapLiteralTooLarge, L.MaxLiteralSize, qmImapLiteralTooLargeCode);
    if (Size > S.size() - P) Fail("a literal cut short");
    std::string_view Text = std::string_view(S).substr(P, Size);
    P += Size;
    return Text;
  }
  TqmImapValue Value(int ADepth) {
    if (AtLineEnd()) Fail("a value expected");
    TqmImapValue V;
    const char C = S[P];
    if (C == '(') {
      if (L.MaxNestingDepth > 0 && ADepth + 1 > L.MaxNestingDepth)
        RaiseLimit(qmImapNestingTooDeep, L.MaxNestingDepth, qmImapNestingTooDeepCode);
      ++P;
      V.Kind = TqmImapValue::ikList;
      for (;;) {
        SkipSpaces();
        if (AtLineEnd()) Fail("an unclosed list");
        if (S[P] == ')') {
          ++P;
          break;
        }
        V.Items.push_back(Value(ADepth + 1));
      }
    } else if (C == '"') {
      V.Kind = TqmImapValue::ikString;
      V.Text = Quoted();
    } else if (C == '{' || (C == '~' && P + 1 < S.size() && S[P + 1] == '{')) {
      if (C == '~') ++P;
      V.Kind = TqmImapValue::ikString;
      V.Text = Literal();
    } else if (C == ')') {
      Fail("a \")\" without a list");
    } else {
      V.Text = Atom();
      V.Kind = EqualsNoCase(V.Text, "NIL") ? TqmImapValue::ikNil : TqmImapValue::ikAtom;
      if (V.IsNil()) V.Text = {};
    }
    return V;
  }
  // "[CODE args] text" of a status response.
  void RespText(TqmImapResponse& R) {
    SkipSpaces();
    if (P < S.size() && S[P] == '[') {
      ++P;
      const size_t Start = P;
      while (P < S.size() && S[P] != ' ' && S[P] != ']' && S[P] != '\r' && S[P] != '\n') ++P;
      if (P == Start) Fail("an empty response code");
      R.Code = Upper(std::string_view(S).substr(Start, P - Start));
      for (;;) {
        SkipSpaces();
        if (AtLineEnd()) Fail("an unclosed response code");
        if (S[P] == ']') {
          ++P;
          break;
        }
        R.CodeArgs.push_back(Value(0));
      }
      SkipSpaces();
    }
    R.Text = std::string(RestOfLine());
  }

  const std::string& S;
  TqmImapResponse::TStorage& St;
  const TqmImapLimits& L;
  size_t P = 0;
};

}  // namespace

bool TqmImapValue::ToNumber(uint64_t& AValue) const {
  if ((Kind != ikAtom && Kind != ikString) || Text.empty() || Text.size() > 18) return false;
  uint64_t Result = 0;
  for (char C : Text) {
    if (C < '0' || C > '9') return false;
    Result = Result * 10 + static_cast<uint64_t>(C - '0');
  }
  AValue = Result;
  return true;
}

bool TqmImapValue::Is(std::string_view AName) const { return Kind == ikAtom && EqualsNoCase(Text, AName); }

bool TqmImapResponse::IsStatus() const {
  return Name == "OK" || Name == "NO" || Name == "BAD" || Name == "PREAUTH" || Name == "BYE";
}

std::string TqmImapResponse::StatusText() const {
  if (Code.empty()) return Text;
  // The code as the server wrote it: from "[" to its "]" in the raw bytes.
  std::string_view Raw = Storage ? std::string_view(Storage->Raw) : std::string_view();
  const size_t Open = Raw.find('[');
  const size_t Shut = Raw.find("] ", Open == std::string_view::npos ? 0 : Open);
  std::string Result = Open != std::string_view::npos && Shut != std::string_view::npos
                           ? std::string(Raw.substr(Open, Shut - Open + 1))
                           : "[" + Code + "]";
  if (!Text.empty()) Result += " " + Text;
  return Result;
}

TqmImapResponse TqmImapParser::Parse(std::string ARaw, const TqmImapLimits& ALimits) {
  TqmImapResponse R;
  R.Size = ARaw.size();
  R.Storage = std::make_shared<TqmImapResponse::TStorage>();
  R.Storage->Raw = std::move(ARaw);
  TReader(*R.Storage, ALimits).Run(R);
  return R;
}

void TqmImapParser::Reset() {
  FBuffer.clear();
  FStart = FScan = FLineStart = 0;
  FLiteralLeft = 0;
  FDivertLeft = 0;
  FFailed = false;
}

void TqmImapParser::Feed(const char* AData, size_t ASize) {
  if (FFailed) throw EqmImapError(Format(qmImapMalformed, "the reader failed earlier"), qmImapMalformedCode);
  FBuffer.append(AData, ASize);
}

void TqmImapParser::Compact() {
  if (FStart == 0) return;
  FBuffer.erase(0, FStart);
  FScan -= FStart;
  FLineStart -= FStart;
  FStart = 0;
}

bool TqmImapParser::Frame(size_t& AEnd) {
  for (;;) {
    if (FDivertLeft > 0) {
      // Passed on and dropped from the buffer: the response keeps "{0}".
      const size_t Take = static_cast<size_t>(std::min<int64_t>(FDivertLeft, FBuffer.size() - FScan));
      if (Take > 0) FSink->Write(FBuffer.data() + FScan, Take);
      FBuffer.erase(FScan, Take);
      FDivertLeft -= static_cast<int64_t>(Take);
      if (FDivertLeft > 0) return false;
      FLineStart = FScan;
    }
    if (FLiteralLeft > 0) {
      const size_t Take = static_cast<size_t>(std::min<int64_t>(FLiteralLeft, FBuffer.size() - FScan));
      FScan += Take;
      FLiteralLeft -= static_cast<int64_t>(Take);
      if (FLiteralLeft > 0) return false;
      FLineStart = FScan;
    }
    const int64_t Held = static_cast<int64_t>(FBuffer.size() - FStart);
    if (FLimits.MaxResponseSize > 0 && Held > FLimits.MaxResponseSize &&
        static_cast<int64_t>(FScan - FStart) > FLimits.MaxResponseSize)
      RaiseLimit(qmImapResponseTooLarge, FLimits.MaxResponseSize, qmImapResponseTooLargeCode);
    const void* Lf = FScan < FBuffer.size() ? std::memchr(FBuffer.data() + FScan, '\n', FBuffer.size() - FScan)
                                            : nullptr;
    if (!Lf) {
      FScan = FBuffer.size();
      if (FLimits.MaxLineLength > 0 && static_cast<int64_t>(FScan - FLineStart) > FLimits.MaxLineLength)
        RaiseLimit(qmImapLineTooLong, FLimits.MaxLineLength, qmImapLineTooLongCode);
      return false;
    }
    const size_t LfAt = static_cast<size_t>(static_cast<const char*>(Lf) - FBuffer.data());
    size_t LineEnd = LfAt;
    if (LineEnd > FLineStart && FBuffer[LineEnd - 1] == '\r') --LineEnd;
    if (FLimits.MaxLineLength > 0 && static_cast<int64_t>(LineEnd - FLineStart) > FLimits.MaxLineLength)
      RaiseLimit(qmImapLineTooLong, FLimits.MaxLineLength, qmImapLineTooLongCode);
    FScan = LfAt + 1;
    if (FLimits.MaxResponseSize > 0 && static_cast<int64_t>(FScan - FStart) > FLimits.MaxResponseSize)
      RaiseLimit(qmImapResponseTooLarge, FLimits.MaxResponseSize, qmImapResponseTooLargeCode);
    // A line that ends with "{n}" (or "{n+}") announces n bytes of literal.
    std::string_view Line(FBuffer.data() + FLineStart, LineEnd - FLineStart);
    FLineStart = FScan;
    if (Line.empty() || Line.back() != '}') {
      AEnd = FScan;
      return true;
    }
    size_t I = Line.size() - 1;
    if (I > 0 && Line[I - 1] == '+') --I;
    const size_t DigitsEnd = I;
    while (I > 0 && Line[I - 1] >= '0' && Line[I - 1] <= '9') --I;
    if (I == DigitsEnd || I == 0 || Line[I - 1] != '{') {
      AEnd = FScan;
      return true;
    }
    if (DigitsEnd - I > 18) RaiseLimit(qmImapLiteralTooLarge, FLimits.MaxLiteralSize, qmImapLiteralTooLargeCode);
    int64_t Size = 0;
    for (size_t K = I; K < DigitsEnd; ++K) Size = Size * 10 + (Line[K] - '0');
    if (FSink && Size > 0 && FSink->Accept(Line, Size)) {
      // The size becomes 0 in the held line; the bytes go to the sink.
      const size_t Base = static_cast<size_t>(Line.data() - FBuffer.data());
      FBuffer.replace(Base + I, DigitsEnd - I, "0");
      FScan -= DigitsEnd - I - 1;
      FLineStart = FScan;
      FDivertLeft = Size;
      continue;
    }
    if (FLimits.MaxLiteralSize > 0 && Size > FLimits.MaxLiteralSize)
      RaiseLimit(qmImapLiteralTooLarge, FLimits.MaxLiteralSize, qmImapLiteralTooLargeCode);
    if (FLimits.MaxResponseSize > 0 && static_cast<int64_t>(FScan - FStart) + Size > FLimits.MaxResponseSize)
      RaiseLimit(qmImapResponseTooLarge, FLimits.MaxResponseSize, qmImapResponseTooLargeCode);
    FLiteralLeft = Size;
    if (Size >= 65536) {
      // A large literal: the response is moved to the front now, so that
      // it can be handed over without a copy, and its room is made once.
      Compact();
      FBuffer.reserve(FScan + static_cast<size_t>(Size) + 1024);
    }
  }
}

bool TqmImapParser::Next(TqmImapResponse& AResponse) {
  if (FFailed) throw EqmImapError(Format(qmImapMalformed, "the reader failed earlier"), qmImapMalformedCode);
  try {
    size_t End = 0;
    if (!Frame(End)) {
      // Nothing pending before the open response: keep the buffer short.
      if (FStart > 0 && (FStart >= FBuffer.size() / 2 || FStart > (1 << 20))) Compact();
      return false;
    }
    std::string Raw;
    if (FStart == 0 && End == FBuffer.size()) {
      Raw = std::move(FBuffer);
      FBuffer = std::string();
      FScan = FLineStart = 0;
    } else if (FStart == 0 && End > (64 << 10)) {
      // A large response followed by the start of the next (its
      // completion, read in the same block): the few bytes after it move,
      // not the response, which would be held twice for a moment.
      std::string Rest(FBuffer, End);
      Raw = std::move(FBuffer);
      Raw.resize(End);
      FBuffer = std::move(Rest);
      FScan = FLineStart = 0;
    } else {
      Raw.assign(FBuffer, FStart, End - FStart);
      FStart = End;
      if (FStart == FBuffer.size()) {
        FBuffer.clear();
        FStart = FScan = FLineStart = 0;
      }
    }
    AResponse = Parse(std::move(Raw), FLimits);
    return true;
  } catch (...) {
    FFailed = true;
    throw;
  }
}

bool ImapNeedsLiteral(std::string_view AText, bool AUtf8) {
  if (AText.size() > 1000) return true;
  for (unsigned char C : AText) {
    if (C == '\r' || C == '\n' || C == 0) return true;
    if (C >= 0x80 && !AUtf8) return true;
  }
  return false;
}

std::string ImapQuote(std::string_view AText) {
  bool IsAtom = !AText.empty() && !EqualsNoCase(AText, "NIL");
  for (unsigned char C : AText)
    if (C <= ' ' || C >= 0x7f || std::strchr("(){%*\"\\]", C)) IsAtom = false;
  if (IsAtom) return std::string(AText);
  std::string Result = "\"";
  for (char C : AText) {
    if (C == '"' || C == '\\') Result += '\\';
    Result += C;
  }
  return Result + "\"";
}

}  // namespace qm
