#include "dkim/qmDkimSignature.h"

#include <set>

#include "core/qmDateTime.h"
#include "core/qmSysUtils.h"
#include "core/qmIdnTranslator.h"
#include "message/qmUtils.h"

namespace qm {

namespace {

const char* const FieldName = "DKIM-Signature";

// A tag list that names one tag twice is malformed (RFC 6376 section 3.2):
// which of the two would count is a guess a forger could exploit.
bool HasDuplicateTag(const std::string& AValue) {
  std::set<std::string> Names;
  size_t Pos = 0;
  while (Pos <= AValue.size()) {
    size_t End = AValue.find(';', Pos);
    if (End == std::string::npos) End = AValue.size();
    const std::string_view Spec = std::string_view(AValue).substr(Pos, End - Pos);
    const size_t Eq = Spec.find('=');
    if (Eq != std::string_view::npos) {
      const std::string Name = LowerCase(Trim(Spec.substr(0, Eq)));
      if (!Name.empty() && !Names.insert(Name).second) return true;
    }
    Pos = End + 1;
  }
  return false;
}

// Seconds since 1970 of a t or x tag: the first 12 characters, 0 when they
// are not a number; a date-time in local time, 0 for 0.
TDateTime ReadTime(const std::string& AText) {
  const std::string Text = Trim(AText);
  if (Text.empty()) return 0;
  int64_t Seconds = 0;
  if (!TryStrToInt64(Text.substr(0, 12), Seconds) || Seconds == 0) return 0;
  return UtcDateTimeToLocal(UnixToDateTime(Seconds));
}

std::string WriteTime(TDateTime ALocal) {
  return IntToStr(DateTimeToUnix(LocalDateTimeToUtc(ALocal)));
}

// Splits the text at CR, LF or CR LF and appends the lines.
void AppendLines(TStrings& ALines, const std::string& AText) {
  std::vector<std::string> Lines;
  AppendLinesOf(AText, Lines);
  if (Lines.empty()) Lines.emplace_back();
  ALines.AddStrings(Lines);
}

inline bool IsContinuationLine(const std::string& ALine) {
  return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
}

}  // namespace

TqmDkimSignature::TqmDkimSignature() { Clear(); }

void TqmDkimSignature::Clear() {
  Version = 0;
  SignatureTimestamp = 0;
  Domain.clear();
  UserIdentity.clear();
  BodyLength = 0;
  HasBodyLengthTag = false;
  BodyHash.clear();
  PublicKeyLocation.clear();
  SignatureAlgorithm.clear();
  CopiedHeaderFields.Clear();
  Signature.clear();
  SignatureExpiration = 0;
  SignedHeaderFields.Clear();
  Canonicalization.clear();
  Selector.clear();
  VerifyStatus.Clear();
}

void TqmDkimSignature::ParseTags(const std::string& AValue) {
  TqmDkimHeaderFieldList List;
  auto Tag = [&](const char* AName) { return List.GetItemValue(AValue, AName); };
  auto Required = [&](const char* AName) {
    std::string Text = Trim(Tag(AName));
    if (Text.empty()) RaiseDkimError(DKIM_E_FORMAT);
    return Text;
  };
  if (HasDuplicateTag(AValue)) RaiseDkimError(DKIM_E_FORMAT);

  Version = StrToIntDef(Trim(Tag("v")), 0);
  if (Version == 0) RaiseDkimError(DKIM_E_FORMAT);
  SignatureAlgorithm = Required("a");
  Canonicalization = Tag("c");
  Domain = Required("d");
  Selector = Required("s");
  SplitText(Required("h"), SignedHeaderFields, ":");

  const std::string Length = Trim(Tag("l"));
  BodyLength = 0;
  HasBodyLengthTag = !Length.empty();
  if (HasBodyLengthTag) {
    int64_t Value = -1;
    if (!TryStrToInt64(Length, Value)) Value = -1;
    if (Value < 0) RaiseDkimError(DKIM_E_FORMAT);
    BodyLength = Value;
  }
  UserIdentity = TqmDkimQuotedPrintableEncoder::Decode(Tag("i"));
  PublicKeyLocation = Tag("q");
  SignatureTimestamp = ReadTime(Tag("t"));
  SignatureExpiration = ReadTime(Tag("x"));

  CopiedHeaderFields.Clear();
  TStringList Pieces;
  SplitText(Tag("z"), Pieces, "|");
  for (int I = 0; I < Pieces.Count(); ++I)
    AppendLines(CopiedHeaderFields, TqmDkimQuotedPrintableEncoder::Decode(Pieces[I]));
  Signature = Tag("b");
  BodyHash = Tag("bh");
}

void TqmDkimSignature::BuildHeaderField(TStrings& ALines, int ACharsPerLine) {
  TqmDkimHeaderFieldList List;
  List.SetCharsPerLine(ACharsPerLine);
  List.Parse(0, &ALines);
  List.InsertEmptyField(0, FieldName);
  auto Add = [&](const char* ATag, const std::string& AText, bool ARequired) {
    if (ARequired && Trim(AText).empty()) RaiseDkimError(DKIM_E_PARAMETERS);
    List.AddFieldItem(FieldName, ATag, AText);
  };
  if (Version < 0) RaiseDkimError(DKIM_E_PARAMETERS);
  Add("v", IntToStr(Version), false);
  Add("a", SignatureAlgorithm, true);
  Add("d", Trim(Domain).empty() ? Domain : TqmIdnTranslator::EncodeDomain(Trim(Domain)), true);
  Add("s", Selector, true);
  Add("c", Canonicalization, false);
  if (BodyLength > 0) Add("l", IntToStr(BodyLength), false);
  Add("q", PublicKeyLocation, false);
  if (!Trim(UserIdentity).empty())
    Add("i",
        TqmDkimQuotedPrintableEncoder::Encode(TqmIdnTranslator::EncodeMailbox(Trim(UserIdentity))),
        false);
  if (SignatureTimestamp > 0 && SignatureExpiration > 0 &&
      SignatureTimestamp >= SignatureExpiration)
    RaiseDkimError(DKIM_E_PARAMETERS);
  if (SignatureTimestamp > 0) Add("t", WriteTime(SignatureTimestamp), false);
  if (SignatureExpiration > 0) Add("x", WriteTime(SignatureExpiration), false);
  Add("h", SignedHeaderFields.Join(":"), true);

  std::string Copied;
  for (int I = 0; I < CopiedHeaderFields.Count(); ++I) {
    const std::string& Line = CopiedHeaderFields[I];
    Copied += IsContinuationLine(Line) ? "\r\n" : "|";
    Copied += Line;
  }
  if (!Copied.empty()) Copied.erase(0, 1);
  if (!Trim(Copied).empty()) Add("z", TqmDkimQuotedPrintableEncoder::Encode(Copied), false);
  Add("bh", BodyHash, true);
  List.AddFieldItemAt(List.IndexOfField(FieldName), "b", std::string(), true);
}

void TqmDkimSignature::StoreSignatureValue(TStrings& ALines, int ACharsPerLine) {
  if (Trim(Signature).empty()) RaiseDkimError(DKIM_E_PARAMETERS);
  TqmDkimHeaderFieldList List;
  List.SetCharsPerLine(ACharsPerLine);
  List.Parse(0, &ALines);
  List.RemoveFieldItem(FieldName, "b");
  List.AddFieldItemAt(List.IndexOfField(FieldName), "b", Signature, true);
}

std::string TqmDkimSignature::GetHashAlgorithm() const {
  if (WordCount(SignatureAlgorithm, "-") != 2) RaiseDkimError(DKIM_E_ALGORITHM);
  return ExtractWord(2, SignatureAlgorithm, "-");
}

std::string TqmDkimSignature::GetKeyAlgorithm() const {
  if (WordCount(SignatureAlgorithm, "-") != 2) RaiseDkimError(DKIM_E_ALGORITHM);
  return ExtractWord(1, SignatureAlgorithm, "-");
}

std::string TqmDkimSignature::GetHeaderCanonicalization() const {
  const int Words = WordCount(Canonicalization, "/");
  if (Words < 1 || Words > 2) return "simple";
  return ExtractWord(1, Canonicalization, "/");
}

// A single name is the header's; the body is then simple (RFC 6376
// section 3.5), as every other implementation reads it.
std::string TqmDkimSignature::GetBodyCanonicalization() const {
  if (WordCount(Canonicalization, "/") != 2) return "simple";
  return ExtractWord(2, Canonicalization, "/");
}

TqmDkimSignature* TqmDkimSignatureList::Add(std::unique_ptr<TqmDkimSignature> ASignature) {
  FItems.push_back(std::move(ASignature));
  return FItems.back().get();
}

}  // namespace qm
