#include "message/qmMessageBodies.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>

#include "core/qmDateTime.h"
#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmSysUtils.h"
#include "message/qmMailHeader.h"
#include "message/qmMailMessage.h"
#include "message/qmMessageContext.h"
#include "message/qmMessageLines.h"
#include "core/qmTranslator.h"
#include "message/qmUtils.h"

namespace qm {

// ---------------------------------------------------------------------------
// Helpers

std::string EncodingName(TqmEncodeMethod AMethod) {
  switch (AMethod) {
    case cmNone: return "7bit";
    case cmQuotedPrintable: return "quoted-printable";
    case cmBase64: return "base64";
    case cm8Bit: return "8bit";
    default: return {};
  }
}

TqmEncodeMethod EncodingFromName(std::string_view AValue) {
  std::string Name;
  int Depth = 0;
  for (size_t I = 0; I < AValue.size(); ++I) {
    const char C = AValue[I];
    if (C == '\\' && Depth > 0) {
      ++I;
    } else if (C == '(') {
      ++Depth;
    } else if (C == ')' && Depth > 0) {
      --Depth;
    } else if (Depth == 0 && C != ' ' && C != '\t' && C != '"' && C != '\r' && C != '\n') {
      Name += (C >= 'A' && C <= 'Z') ? static_cast<char>(C + 32) : C;
    }
  }
  if (Name == "quoted-printable") return cmQuotedPrintable;
  if (Name == "base64") return cmBase64;
  if (Name == "x-uuencode" || Name == "x-uue" || Name == "uuencode" || Name == "x-uu")
    return cmUUEncode;
  return cmNone;
}

std::string MakeValidFileName(const std::string& AName) {
  std::string Result = AName;
  for (char& C : Result) {
    switch (C) {
      case '\0': case '"': case '*': case '/': case ':': case '<': case '>': case '?':
      case '\\': case '|':
        C = '_';
        break;
      default:
        break;
    }
  }
  if (!Result.empty() && (Result.back() == ' ' || Result.back() == '.')) Result.pop_back();
  if (Result.empty()) Result = "_";
  return Result;
}

std::string SafeReceivedFileName(const std::string& AName) {
  if (AName.empty()) return AName;
  std::string Result = AName;
  // Control characters too: a NUL would cut the name short for a C API
  // ("evil.exe%00.txt"), a line break would forge lines in logs.
  for (char& C : Result)
    if (C == '/' || C == '\\' || static_cast<uint8_t>(C) < 0x20 || C == 0x7F) C = '_';
  if (Result.find_first_not_of('.') == std::string::npos) Result = "_";
  return Result;
}

std::string ExtractFilePart(const std::string& APath) {
  const size_t Slash = APath.rfind('/');
  return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

namespace {

void WriteInt(TStream& S, int64_t V) { S.WriteBuffer(&V, sizeof(V)); }
int64_t ReadInt(TStream& S) {
  int64_t V = 0;
  S.ReadBuffer(&V, sizeof(V));
  return V;
}
void WriteString(TStream& S, const std::string& V) {
  WriteInt(S, static_cast<int64_t>(V.size()));
  if (!V.empty()) S.WriteBuffer(V.data(), static_cast<int64_t>(V.size()));
}
std::string ReadString(TStream& S) {
  const int64_t N = ReadInt(S);
  if (N < 0 || N > S.Remaining()) throw EReadError("Stream read error");
  std::string V(static_cast<size_t>(N), '\0');
  if (N > 0) S.ReadBuffer(V.data(), N);
  return V;
}

// Splits bytes into lines at CR LF, CR or LF, as loading a stream does;
// NUL becomes a space.
void SplitLines(const uint8_t* AData, size_t ASize, TStringList& ALines) {
  size_t Start = 0;
  auto AddLine = [&](size_t From, size_t To) {
    std::string Line(reinterpret_cast<const char*>(AData + From), To - From);
    std::replace(Line.begin(), Line.end(), '\0', ' ');
    ALines.Append(std::move(Line));
  };
  for (size_t I = 0; I < ASize; ++I) {
    const uint8_t C = AData[I];
    if (C == '\r' || C == '\n') {
      AddLine(Start, I);
      if (C == '\r' && I + 1 < ASize && AData[I + 1] == '\n') ++I;
      Start = I + 1;
    }
  }
  if (Start < ASize) AddLine(Start, ASize);
}

void ShiftLines(TqmMessageBodies& ABodies, int ADelta) {
  for (int I = 0; I < ABodies.Count(); ++I) {
    TqmMessageBody* Body = ABodies.Items(I);
    Body->SetDataStart(Body->DataStart() + ADelta);
    Body->SetHeaderStart(Body->HeaderStart() + ADelta);
    if (TqmMailMessage* Inner = Body->NestedMessage()) ShiftLines(Inner->Bodies(), ADelta);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TqmMessageBody

TqmMessageBody::TqmMessageBody(TqmMessageBodies* ABodies) : FOwner(ABodies) {}

TqmMessageBody::~TqmMessageBody() = default;

TqmMailMessage* TqmMessageBody::Message() const { return FOwner ? FOwner->Owner() : nullptr; }

const TqmMessageContext* TqmMessageBody::Context() const {
  TqmMailMessage* M = Message();
  return M ? &M->Context() : nullptr;
}

void TqmMessageBody::Initialize() {
  CreateInternals();
  Clear();
}

void TqmMessageBody::CreateInternals() {
  FEncoder = std::make_unique<TqmEncoder>();
  FEncoder->OnProgress = [this](TObject*, int64_t AProceed, int64_t ATotal) {
    if (TqmMailMessage* M = Message()) M->DoEncodingProgress(this, AProceed, ATotal);
  };
  FExtraFields = std::make_unique<TStringList>();
  FExtraFields->OnChange = [this](TObject*) { Changed(); };
  RegisterKnownFields();
}

void TqmMessageBody::RegisterKnownFields() {
  FKnownFields.Clear();
  FKnownFields.Add("Content-Type");
  FKnownFields.Add("Content-Transfer-Encoding");
  FKnownFields.Add("Content-Disposition");
}

void TqmMessageBody::Clear() {
  FContentType.clear();
  FContentTypeImplied = false;
  const TqmMessageContext* C = Context();
  FEncoding = C ? C->Encoding : cmNone;
  FContentDisposition.clear();
  FExtraFields->BeginUpdate();
  FExtraFields->Clear();
  FExtraFields->EndUpdate();
  FRawHeader.Clear();
  FEncodedSize = 0;
  FEncodedLines = 0;
  FDataStart = 0;
  FHeaderStart = 0;
}

void TqmMessageBody::Changed() {
  if (TqmMailMessage* M = Message()) M->Changed();
}

bool TqmMessageBody::IsParsing() const {
  TqmMailMessage* M = Message();
  return M && M->IsParsing();
}

void TqmMessageBody::SetContentType(const std::string& AValue) {
  if (FContentType == AValue) return;
  FContentType = AValue;
  FContentTypeImplied = false;
  Changed();
}

void TqmMessageBody::SetImpliedContentType(const std::string& AValue) {
  SetContentType(AValue);
  FContentTypeImplied = true;
}

void TqmMessageBody::SetEncoding(TqmEncodeMethod AValue) {
  if (FEncoding == AValue) return;
  FEncoding = AValue;
  Changed();
}

void TqmMessageBody::SetContentDisposition(const std::string& AValue) {
  if (FContentDisposition == AValue) return;
  FContentDisposition = AValue;
  Changed();
}

void TqmMessageBody::Assign(const TPersistent& ASource) {
  const auto* Src = dynamic_cast<const TqmMessageBody*>(&ASource);
  if (!Src) {
    TPersistent::Assign(ASource);
    return;
  }
  FContentType = Src->FContentType;
  FEncoding = Src->FEncoding;
  FContentDisposition = Src->FContentDisposition;
  FExtraFields->Assign(*Src->FExtraFields);
  FRawHeader.Assign(Src->FRawHeader);
  FEncodedSize = Src->FEncodedSize;
  FEncodedLines = Src->FEncodedLines;
  FDataStart = Src->FDataStart;
  FHeaderStart = Src->FHeaderStart;
  Changed();
}

void TqmMessageBody::ReadBody(TStream& AStream) {
  FExtraFields->SetText(ReadString(AStream));
  FContentType = ReadString(AStream);
  const int64_t E = ReadInt(AStream);
  FEncoding = E >= cmNone && E <= cm8Bit ? static_cast<TqmEncodeMethod>(E) : cmNone;
  FContentDisposition = ReadString(AStream);
}

void TqmMessageBody::WriteBody(TStream& AStream) const {
  WriteString(AStream, FExtraFields->Text());
  WriteString(AStream, FContentType);
  WriteInt(AStream, FEncoding);
  WriteString(AStream, FContentDisposition);
}

TqmEncodeMethod TqmMessageBody::ReadEncoding() const {
  // The one body of an outermost message follows the message's Encoding.
  TqmMailMessage* M = Message();
  if (!M || M->Parent() || M->IsMultipart() || M->Encoding() == cmNone) return FEncoding;
  return M->Encoding();
}

TqmEncodeMethod TqmMessageBody::GetEncoding() const {
  // The data between "begin" and "end" must be uuencoded whatever it was
  // read in (an attachment of a message that merely lacked MIME fields).
  const TqmMessageContext* C = Context();
  if (C && C->MessageFormat == mfUUencode && IsAttachment())
    return cmUUEncode;
  return ReadEncoding();
}

void TqmMessageBody::AddExtraFieldLines(TqmMailHeaderFieldList& AFieldList) {
  AFieldList.AddLines(*FExtraFields);
}

void TqmMessageBody::AssignBodyHeader(TqmMailHeaderFieldList& /*AFieldList*/) {}

void TqmMessageBody::ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  FContentType = AFieldList.GetItemValue(AFieldList.GetFieldValue("Content-Type"), "");
  const TqmMessageContext* C = Context();
  FEncoding = C ? C->Encoding : cmNone;
  const TqmEncodeMethod Cte = EncodingFromName(AFieldList.GetFieldValue("Content-Transfer-Encoding"));
  if (Cte != cmNone) FEncoding = Cte;
  AFieldList.SetHeaderEncoding(FEncoding);
  FContentDisposition =
      AFieldList.GetItemValue(AFieldList.GetFieldValue("Content-Disposition"), "");
}

void TqmMessageBody::TrimDataEnd(TStream& AStream) {
  const int64_t Size = AStream.Size();
  if (Size < 2) return;
  char Tail[2];
  AStream.Seek(Size - 2, TSeekOrigin::soBeginning);
  AStream.ReadBuffer(Tail, 2);
  if (Tail[0] == '\r' && Tail[1] == '\n') AStream.SetSize(Size - 2);
  AStream.Seek(0, TSeekOrigin::soBeginning);
}

void TqmMessageBody::DataDecoded(TStream& /*AStream*/) {}

void TqmMessageBody::DecodeData(TStream& ASource, TStream& ADestination) {
  const TqmMessageContext* C = Context();
  const TqmMessageErrorProcessing Policy = C ? C->ErrorProcessing : meExtractMaximumData;
  // By default characters outside the base64 alphabet are passed over, as
  // RFC 2045 asks; the stricter policies stop at them.
  FEncoder->SetErrorProcessing(Policy == meExtractMaximumData ? epSkip : epStop);
  FEncoder->SetEncodeMethod(ReadEncoding());
  FEncoder->SetSuppressCrlf(false);
  ASource.Seek(0, TSeekOrigin::soBeginning);
  try {
    FEncoder->Decode(ASource, ADestination);
    if (FEncoder->DataSkipped()) NoteDefect(mdUndecodableData, "characters outside the base64 alphabet");
  } catch (const Exception& E) {
    if (Policy == meStop) throw;
    NoteDefect(mdUndecodableData, E.Message());
    if (Policy == meIgnore) {
      ADestination.SetSize(0);
      ADestination.Seek(0, TSeekOrigin::soBeginning);
      ASource.Seek(0, TSeekOrigin::soBeginning);
      if (ASource.Size() > 0) ADestination.CopyFrom(ASource, ASource.Size());
    }
  }
}

void TqmMessageBody::NoteDefect(TqmMessageDefectKind AKind, std::string AText) {
  TqmMailMessage* M = Message();
  if (M && IsParsing()) M->AddDefect(AKind, M->PartPathOf(this), FDataStart, std::move(AText));
}

void TqmMessageBody::EncodeData(TStream& ASource, TStream& ADestination) {
  if (const TqmMessageContext* C = Context()) {
    FEncoder->SetAllowESC(C->AllowESC);
    FEncoder->SetCharsPerLine(C->CharsPerLine);
  }
  FEncoder->SetSuppressCrlf(false);
  FEncoder->SetEncodeMethod(GetEncoding());
  FEncoder->Encode(ASource, ADestination);
}

void TqmMessageBody::AssignEncodingIfNeeded() {
  if (ReadEncoding() != cmNone || IsParsing()) return;
  std::unique_ptr<TStream> Source = GetSourceStream();
  if (!Source) return;
  if (const TqmMessageContext* C = Context()) {
    FEncoder->SetAllowESC(C->AllowESC);
    FEncoder->SetCharsPerLine(C->CharsPerLine);
  }
  FEncoding = FEncoder->GetPreferredEncoding(*Source);
}

void TqmMessageBody::AddData(TStream& AData, int ALineCount) {
  std::unique_ptr<TStream> Destination = GetDestinationStream();
  if (HasEncodedSize() && AData.Size() > 0 && ALineCount > 0) {
    FEncodedSize = AData.Size();
    FEncodedLines = ALineCount;
  }
  TrimDataEnd(AData);
  if (!Destination) return;
  // Decoding never makes data larger than its encoded form.
  Destination->Reserve(Destination->Position() + AData.Size() - AData.Position());
  DecodeData(AData, *Destination);
  // A UUencoded part of a MIME message is written back in base64, which
  // the part header can name.
  if (FEncoding == cmUUEncode) {
    const TqmMessageContext* C = Context();
    if (C && C->MessageFormat == mfMIME) FEncoding = cmBase64;
  }
  // Data read as 7bit, 8bit or binary is written back in an encoding that
  // carries it (8-bit bytes, NUL, long lines), not labelled 7bit.
  if (FEncoding == cmNone && IsParsing() && Destination->Size() > 0) {
    Destination->Seek(0, TSeekOrigin::soBeginning);
    FEncoding = FEncoder->GetPreferredEncoding(*Destination);
  }
  DataDecoded(*Destination);
}

// ---------------------------------------------------------------------------
// TqmTextBody

void TqmTextBody::CreateInternals() {
  TqmMessageBody::CreateInternals();
  FStrings = std::make_unique<TStringList>();
  FStrings->OnChange = [this](TObject*) {
    AssignEncodingIfNeeded();
    Changed();
  };
}

void TqmTextBody::Clear() {
  TqmMessageBody::Clear();
  FContentType = "text/plain";
  const TqmMessageContext* C = Context();
  FCharSet = C ? C->CharSet : std::string();
  FCharSetImplied = false;
  FStrings->BeginUpdate();
  FStrings->Clear();
  FStrings->EndUpdate();
}

void TqmTextBody::SetCharSet(const std::string& AValue) {
  if (FCharSet == AValue) return;
  FCharSet = AValue;
  FCharSetImplied = false;
  Changed();
}

std::string TqmTextBody::GetCharSet() const {
  // The one text of an outermost message is written in the message's
  // charset.
  TqmMailMessage* M = Message();
  if (!M || M->Parent() || M->IsMultipart()) return FCharSet;
  return M->CharSet();
}

void TqmTextBody::Assign(const TPersistent& ASource) {
  if (const auto* Src = dynamic_cast<const TqmTextBody*>(&ASource)) {
    FCharSet = Src->FCharSet;
    FStrings->BeginUpdate();
    FStrings->Assign(*Src->FStrings);
    FStrings->EndUpdate();
  }
  TqmMessageBody::Assign(ASource);
}

void TqmTextBody::ReadBody(TStream& AStream) {
  FStrings->BeginUpdate();
  FStrings->SetText(ReadString(AStream));
  FStrings->EndUpdate();
  FCharSet = ReadString(AStream);
  TqmMessageBody::ReadBody(AStream);
}

void TqmTextBody::WriteBody(TStream& AStream) const {
  WriteString(AStream, FStrings->Text());
  WriteString(AStream, FCharSet);
  TqmMessageBody::WriteBody(AStream);
}

void TqmTextBody::AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  // A multipart whose parts were not found (no usable boundary) is read as
  // text; labelled multipart again, it would be read as parts or left
  // undecoded.
  const std::string Type = StartsText("multipart/", FContentType) ? "text/plain" : FContentType;
  const std::string CharSet = WritingCharSet();
  // What was implied when read is not added: it still holds while the
  // text is ASCII.
  const bool Ascii = IsAsciiCharSet(CharSet);
  if (!(FContentTypeImplied && Ascii && SameText(Type, "text/plain"))) {
    AFieldList.AddField("Content-Type", Type);
    if (!Type.empty() && !CharSet.empty() && !(FCharSetImplied && Ascii))
      AFieldList.AddQuotedFieldItem("Content-Type", "charset", CharSet);
  }
  AFieldList.AddField("Content-Transfer-Encoding", EncodingName(GetEncoding()));
  AddExtraFieldLines(AFieldList);
}

void TqmTextBody::ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  TqmMessageBody::ParseBodyHeader(AFieldList);
  FCharSet = AFieldList.GetItemValue(AFieldList.GetFieldValue("Content-Type"), "charset");
  // Text without a charset is US-ASCII (RFC 2045 section 5.2).
  FCharSetImplied = FCharSet.empty();
  if (FCharSetImplied) FCharSet = "us-ascii";
  AFieldList.SetCharSet(GetCharSet());
}

bool TqmTextBody::CharSetWasImplied() const {
  // The one text of an outermost message has the message's charset.
  TqmMailMessage* M = Message();
  if (!M || M->Parent() || M->IsMultipart()) return FCharSetImplied;
  return M->CharSetImplied();
}

std::string TqmTextBody::WritingCharSet() const {
  std::string CharSet = GetCharSet();
  if (CharSet.empty())
    if (const TqmMessageContext* C = Context()) CharSet = C->CharSet;
  // A charset that cannot be written (an unknown name read from a part)
  // would label UTF-8 bytes wrongly.
  if (!CharSetHolds(FStrings->Text(), CharSet) ||
      (!TqmTranslator::IsKnownCharSet(CharSet) && !CharSetHolds(FStrings->Text(), "us-ascii")))
    CharSet = "utf-8";
  return CharSet;
}

std::unique_ptr<TStream> TqmTextBody::GetSourceStream() {
  std::string Text = FStrings->Text();
  if (Text.size() >= 3) Text.resize(Text.size() - 2);
  const std::string CharSet = WritingCharSet();
  auto Stream = std::make_unique<TMemoryStream>();
  Stream->SetBytes(TqmTranslator::GetBytes(Text, CharSet));
  return Stream;
}

std::unique_ptr<TStream> TqmTextBody::GetDestinationStream() {
  return std::make_unique<TMemoryStream>();
}

namespace {

// How often AChar occurs in AText (memchr leaps from one to the next).
size_t CountOf(std::string_view AText, char AChar) {
  size_t Count = 0;
  for (size_t At = AText.find(AChar); At != std::string_view::npos; At = AText.find(AChar, At + 1)) ++Count;
  return Count;
}

}  // namespace

void TqmTextBody::DataDecoded(TStream& AStream) {
  AStream.Seek(0, TSeekOrigin::soBeginning);
  TqmStringsUtils Utils(FStrings.get());
  // Text without a charset, or labelled ASCII, that holds 8-bit bytes is
  // read as UTF-8 when it is valid UTF-8 and as windows-1252 otherwise.
  // So is text in a charset that cannot be read, which would otherwise
  // lose every 8-bit character.
  std::string CharSet = GetCharSet();
  const bool Known = TqmTranslator::IsKnownCharSet(CharSet);
  if (IsAsciiCharSet(CharSet) || !Known) {
    TMemoryStream Copy;
    std::optional<std::span<const uint8_t>> View = AStream.ReadView();
    if (!View) {
      Copy.CopyFrom(AStream, 0);
      AStream.Seek(0, TSeekOrigin::soBeginning);
      View = Copy.ReadView();
    }
    const std::string Read =
        ReceivedCharSet(View->data(), View->size(), IsAsciiCharSet(CharSet) ? CharSet : std::string());
    if (!Known)
      NoteDefect(mdUnknownCharSet, CharSet);
    else if (!IsAsciiCharSet(Read) && !CharSetWasImplied())
      NoteDefect(mdCharSetMismatch, CharSet + " holds 8-bit bytes");
    CharSet = IsAsciiCharSet(Read) ? "utf-8" : Read;
  } else if (SameText(CharSet, "utf-8") || SameText(CharSet, "utf8")) {
    // Invalid sequences become U+FFFD when decoded: noted here, while the
    // bytes are at hand.
    const auto View = AStream.ReadView();
    if (View && !IsValidUtf8(View->data(), View->size()))
      NoteDefect(mdCharSetMismatch, CharSet + " does not decode");
  }
  Utils.SetCharSet(CharSet);
  // Read in pieces: the whole text at once would be held twice more (read
  // and decoded) beside the lines made of it.
  Utils.SetBatchSize(256 * 1024);
  FStrings->BeginUpdate();
  // Room for every line at once: a list grown by doubling holds up to
  // three times its size while it moves, the peak of reading a long text.
  if (const auto View = AStream.ReadView()) {
    const std::string_view Text(reinterpret_cast<const char*>(View->data()), View->size());
    size_t Breaks = CountOf(Text, '\n');
    if (Breaks == 0) Breaks = CountOf(Text, '\r');
    FStrings->Reserve(static_cast<int>(std::min<size_t>(Breaks + 1, std::numeric_limits<int>::max())));
  }
  Utils.LoadFromStream(AStream, false);
  // A charset the translator does not know passes bytes as they are: the
  // text handed out is valid UTF-8 all the same.
  bool Invalid = false;
  for (int I = 0; I < FStrings->Count(); ++I)
    if (!IsValidUtf8(FStrings->Get(I))) {
      FStrings->Put(I, SanitizeUtf8(FStrings->Get(I)));
      Invalid = true;
    }
  if (Invalid) NoteDefect(mdCharSetMismatch, CharSet + " does not decode");
  FStrings->EndUpdate();
  AStream.Seek(0, TSeekOrigin::soBeginning);
  if (TqmMailMessage* M = Message()) M->DoDataAdded(this, &AStream);
}

// ---------------------------------------------------------------------------
// TqmAttachmentBody

void TqmAttachmentBody::RegisterKnownFields() {
  TqmMessageBody::RegisterKnownFields();
  FKnownFields.Add("Content-Description");
  FKnownFields.Add("Content-ID");
}

void TqmAttachmentBody::Clear() {
  TqmMessageBody::Clear();
  FContentType = "application/octet-stream";
  FFileName.clear();
  FContentID.clear();
}

void TqmAttachmentBody::SetFileName(const std::string& AValue) {
  if (FFileName == AValue) return;
  FFileName = AValue;
  FChoosingEncoding = true;
  AssignEncodingIfNeeded();
  FChoosingEncoding = false;
  Changed();
}

void TqmAttachmentBody::SetContentID(const std::string& AValue) {
  if (FContentID == AValue) return;
  FContentID = AValue;
  Changed();
}

void TqmAttachmentBody::Assign(const TPersistent& ASource) {
  if (const auto* Src = dynamic_cast<const TqmAttachmentBody*>(&ASource)) {
    FFileName = Src->FFileName;
    FContentID = Src->FContentID;
  }
  TqmMessageBody::Assign(ASource);
}

void TqmAttachmentBody::ReadBody(TStream& AStream) {
  FFileName = ReadString(AStream);
  TqmMessageBody::ReadBody(AStream);
}

void TqmAttachmentBody::WriteBody(TStream& AStream) const {
  WriteString(AStream, FFileName);
  TqmMessageBody::WriteBody(AStream);
}

void TqmAttachmentBody::AssignAttachmentHeader(TqmMailHeaderFieldList& AFieldList,
                                               bool AExtensions, bool AAlwaysDisposition) {
  const std::string Name = ExtractFilePart(FFileName);
  // A message in a digest that had no Content-Type gets none.
  if (!(FContentTypeImplied && Name.empty())) AFieldList.AddField("Content-Type", FContentType);
  if (!FContentType.empty() && !Name.empty()) {
    AFieldList.AddEncodedFieldItem("Content-Type", "name", Name);
    if (AExtensions) AFieldList.AddEncodedFieldItem("Content-Type", "name*", Name);
  }
  AFieldList.AddField("Content-Transfer-Encoding", EncodingName(GetEncoding()));
  std::string Disposition = FContentDisposition;
  if (Disposition.empty() && AAlwaysDisposition) Disposition = "attachment";
  if (!Disposition.empty()) {
    AFieldList.AddField("Content-Disposition", Disposition);
    if (!Name.empty()) {
      AFieldList.AddEncodedFieldItem("Content-Disposition", "filename", Name);
      if (AExtensions) AFieldList.AddEncodedFieldItem("Content-Disposition", "filename*", Name);
    }
  }
  if (!FContentID.empty()) AFieldList.AddField("Content-ID", "<" + FContentID + ">");
  AddExtraFieldLines(AFieldList);
}

void TqmAttachmentBody::AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  const TqmMessageContext* C = Context();
  AssignAttachmentHeader(AFieldList, C && C->UseHeaderEncodingExtensions, true);
}

void TqmAttachmentBody::ParseContentID(TqmMailHeaderFieldList& AFieldList) {
  std::string Id = AFieldList.GetFieldValue("Content-ID");
  if (Id.size() >= 2 && Id.front() == '<' && Id.back() == '>') Id = Id.substr(1, Id.size() - 2);
  FContentID = Id;
}

void TqmAttachmentBody::ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  TqmMessageBody::ParseBodyHeader(AFieldList);
  const std::string Disposition = AFieldList.GetFieldValue("Content-Disposition");
  const std::string ContentType = AFieldList.GetFieldValue("Content-Type");
  std::string Name = AFieldList.GetDecodedItemValue(Disposition, "filename*");
  if (Name.empty()) Name = AFieldList.GetDecodedItemValue(Disposition, "filename");
  if (Name.empty()) Name = AFieldList.GetDecodedItemValue(ContentType, "filename");
  if (Name.empty()) {
    Name = AFieldList.GetDecodedText("Content-Description");
    if (Name.size() > 3 && Name[Name.size() - 4] != '.') Name = MakeValidFileName(Name + ".dat");
  }
  if (Name.empty()) {
    Name = AFieldList.GetDecodedItemValue(ContentType, "name*");
    if (!Name.empty()) Name = MakeValidFileName(Name);
  }
  if (Name.empty()) {
    Name = AFieldList.GetDecodedItemValue(ContentType, "name");
    if (!Name.empty()) Name = MakeValidFileName(Name);
  }
  if (Name.empty() && SameText(FContentType, "message/rfc822")) {
    TqmMailHeaderFieldList Embedded(AFieldList.CharSet(), AFieldList.HeaderEncoding(),
                                    AFieldList.CharsPerLine());
    Embedded.Parse(AFieldList.HeaderEnd() + 1, AFieldList.Source());
    Name = MakeValidFileName(Embedded.GetDecodedText("Subject") + ".eml");
  }
  // A received name never carries a directory.
  FFileName = SafeReceivedFileName(Name);
  ParseContentID(AFieldList);
}

std::unique_ptr<TStream> TqmAttachmentBody::OpenSource(bool AForEncodingChoice) {
  std::string Name = FFileName;
  std::unique_ptr<TStream> Data;
  bool Handled = false;
  if (TqmMailMessage* M = Message()) M->DoLoadAttachment(this, Name, Data, Handled);
  FFileName = Name;
  if (Data || Handled) return Data;
  if (FFileName.empty()) return nullptr;
  if (AForEncodingChoice) {
    try {
      return std::make_unique<TFileStream>(FFileName, fmOpenRead);
    } catch (const EStreamError&) {
      return nullptr;
    }
  }
  return std::make_unique<TFileStream>(FFileName, fmOpenRead);
}

std::unique_ptr<TStream> TqmAttachmentBody::GetSourceStream() {
  return OpenSource(FChoosingEncoding);
}

std::unique_ptr<TStream> TqmAttachmentBody::GetDestinationStream() {
  std::string Name = FFileName;
  std::unique_ptr<TStream> Data;
  bool Handled = false;
  if (TqmMailMessage* M = Message()) M->DoSaveAttachment(this, Name, Data, Handled);
  FFileName = Name;
  return Data;
}

void TqmAttachmentBody::DataDecoded(TStream& AStream) {
  TqmMessageBody::DataDecoded(AStream);
  TqmMailMessage* M = Message();
  if (!M) return;
  AStream.Seek(0, TSeekOrigin::soBeginning);
  M->DoDataAdded(this, &AStream);
  AStream.Seek(0, TSeekOrigin::soBeginning);
  M->DoAttachmentSaved(this, FFileName, &AStream);
}

// ---------------------------------------------------------------------------
// TqmImageBody

void TqmImageBody::Clear() {
  TqmAttachmentBody::Clear();
  FContentType.clear();
  FEncoding = cmBase64;
}

void TqmImageBody::SetFileName(const std::string& AValue) {
  if (FFileName == AValue) return;
  FFileName = AValue;
  if (FContentID.empty()) {
    FContentID = ExtractFilePart(AValue) + "@" + Format("%.8f", Now()) + "." +
                 std::to_string(std::rand() % 1000);
  }
  if (FContentType.empty()) {
    const size_t Last = AValue.find_last_of(".\\:");
    FContentType = "image/";
    if (Last != std::string::npos && AValue[Last] == '.') FContentType += AValue.substr(Last + 1);
  }
  FChoosingEncoding = true;
  AssignEncodingIfNeeded();
  FChoosingEncoding = false;
  Changed();
}

void TqmImageBody::AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  AssignAttachmentHeader(AFieldList, false, false);
}

void TqmImageBody::ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  TqmAttachmentBody::ParseBodyHeader(AFieldList);
  const std::string ContentType = AFieldList.GetFieldValue("Content-Type");
  FFileName = SafeReceivedFileName(AFieldList.GetDecodedItemValue(ContentType, "name"));
  FContentType = AFieldList.GetItemValue(ContentType, "");
  ParseContentID(AFieldList);
}

// ---------------------------------------------------------------------------
// TqmMultipartBody

TqmMultipartBody::TqmMultipartBody(TqmMessageBodies* ABodies) : TqmMessageBody(ABodies) {}

TqmMultipartBody::~TqmMultipartBody() = default;

void TqmMultipartBody::CreateInternals() {
  TqmMessageBody::CreateInternals();
  FInner = std::make_unique<TqmMailMessage>();
  FInner->SetParent(Message());
}

void TqmMultipartBody::Clear() {
  TqmMessageBody::Clear();
  FContentType = "multipart/mixed";
  FInner->BeginUpdate();
  FInner->SetContentType(FContentType);
  FInner->Bodies().Clear();
  FInner->SetBoundary("");
  FInner->EndUpdate();
  FContentSubType.clear();
  FEncoding = cmNone;
}

TqmMessageBodies& TqmMultipartBody::Bodies() { return FInner->Bodies(); }

const std::string& TqmMultipartBody::Boundary() const { return FInner->Boundary(); }

void TqmMultipartBody::SetContentType(const std::string& AValue) {
  TqmMessageBody::SetContentType(AValue);
  FInner->SetContentType(AValue);
}

void TqmMultipartBody::SetContentSubType(const std::string& AValue) {
  if (FContentSubType == AValue) return;
  FContentSubType = AValue;
  Changed();
}

void TqmMultipartBody::Assign(const TPersistent& ASource) {
  if (const auto* Src = dynamic_cast<const TqmMultipartBody*>(&ASource)) {
    FContentSubType = Src->FContentSubType;
    FInner->SetContentType(Src->FContentType);
    FInner->SetBoundary(Src->FInner->Boundary());
    FInner->Bodies().Assign(Src->FInner->Bodies());
  }
  TqmMessageBody::Assign(ASource);
}

void TqmMultipartBody::ReadBody(TStream& AStream) {
  FContentSubType = ReadString(AStream);
  FInner->Bodies().ReadBodies(AStream);
  TqmMessageBody::ReadBody(AStream);
  FInner->SetContentType(FContentType);
}

void TqmMultipartBody::WriteBody(TStream& AStream) const {
  WriteString(AStream, FContentSubType);
  FInner->Bodies().WriteBodies(AStream);
  TqmMessageBody::WriteBody(AStream);
}

void TqmMultipartBody::AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  // The inner parts are written first, so that the new boundary can be
  // checked against them.
  FInner->SetContentType(FContentType.empty() ? "multipart/mixed" : FContentType);
  FRendered.clear();
  FInner->RenderBodies(FRendered);
  AFieldList.AddField("Content-Type", FContentType);
  if (!FContentSubType.empty())
    AFieldList.AddQuotedFieldItem("Content-Type", "type", FContentSubType);
  AFieldList.AddQuotedFieldItem("Content-Type", "boundary", FInner->Boundary());
  AddExtraFieldLines(AFieldList);
  AFieldList.AddEndOfHeader();
}

void TqmMultipartBody::ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) {
  TqmMessageBody::ParseBodyHeader(AFieldList);
  const std::string ContentType = AFieldList.GetFieldValue("Content-Type");
  FInner->SetContentType(FContentType);
  FInner->SetBoundary(AFieldList.GetItemValue(ContentType, "boundary"));
  FContentSubType = AFieldList.GetItemValue(ContentType, "type");
  // A multipart has no transfer encoding of its own (RFC 2045 section
  // 6.4); one that came in base64 or quoted-printable all the same keeps it
  // until its data is decoded and read as parts (DataDecoded).
  if (FEncoding != cmBase64 && FEncoding != cmQuotedPrintable) FEncoding = cmNone;
}

bool TqmMultipartBody::IsEncoded() const {
  return FEncoding == cmBase64 || FEncoding == cmQuotedPrintable;
}

std::unique_ptr<TStream> TqmMultipartBody::GetSourceStream() {
  if (FRendered.empty()) FInner->RenderBodies(FRendered);
  auto Stream = std::make_unique<TMemoryStream>();
  for (size_t I = 0; I < FRendered.size(); ++I) {
    if (I > 0) Stream->WriteBuffer("\r\n", 2);
    if (!FRendered[I].empty())
      Stream->WriteBuffer(FRendered[I].data(), static_cast<int64_t>(FRendered[I].size()));
  }
  FRendered.clear();
  Stream->Seek(0, TSeekOrigin::soBeginning);
  return Stream;
}

std::unique_ptr<TStream> TqmMultipartBody::GetDestinationStream() {
  return std::make_unique<TMemoryStream>();
}

void TqmMultipartBody::DataDecoded(TStream& AStream) {
  TStringList Lines;
  AStream.Seek(0, TSeekOrigin::soBeginning);
  if (const auto View = AStream.ReadView()) {
    SplitLines(View->data(), View->size(), Lines);
  } else {
    AStream.Seek(0, TSeekOrigin::soBeginning);
    TMemoryStream Copy;
    Copy.CopyFrom(AStream, 0);
    SplitLines(Copy.Memory(), static_cast<size_t>(Copy.Size()), Lines);
  }
  FInner->ParseBodies(Lines, 0);
  ShiftLines(FInner->Bodies(), FDataStart);
  FEncodedLines = Lines.Count();
  // Written back, the parts are encoded each on its own.
  FEncoding = cmNone;
}

void TqmMultipartBody::ParseLines(const TStrings& ALines, int ABegin, int AEnd) {
  ParseLines(TqmMessageLines(ALines), ABegin, AEnd, nullptr);
}

void TqmMultipartBody::ParseLines(const TqmMessageLines& ALines, int ABegin, int AEnd,
                                  const std::vector<int>* ADashLines) {
  // The line break before the next delimiter belongs to it: a last empty
  // line is not data, as when the data is handed over joined.
  if (AEnd > ABegin && AEnd <= ALines.Count() && ALines.Line(AEnd - 1).empty()) --AEnd;
  FInner->ParseBodyRange(ALines, ABegin, ABegin, AEnd, ADashLines);
  FEncodedLines = AEnd - ABegin;
}

// ---------------------------------------------------------------------------
// TqmMessageBodies

TqmMessageBodies::TqmMessageBodies(TqmMailMessage* AOwner) : FOwner(AOwner) {}

TqmMessageBodies::~TqmMessageBodies() = default;

void TqmMessageBodies::Changed() {
  if (FOwner) FOwner->Changed();
}

void TqmMessageBodies::Append(std::unique_ptr<TqmMessageBody> ABody) {
  TqmMessageBody* Body = ABody.get();
  FItems.push_back(std::move(ABody));
  Body->Initialize();
  Changed();
}

TqmMessageBody* TqmMessageBodies::Add(const std::string& AClassName) {
  if (AClassName == "TqmTextBody") return Add<TqmTextBody>();
  if (AClassName == "TqmAttachmentBody") return Add<TqmAttachmentBody>();
  if (AClassName == "TqmImageBody") return Add<TqmImageBody>();
  if (AClassName == "TqmMultipartBody") return Add<TqmMultipartBody>();
  throw EConvertError("Class " + AClassName + " not found");
}

TqmTextBody* TqmMessageBodies::AddText(const std::string& AText) {
  TqmTextBody* Body = Add<TqmTextBody>();
  Body->Strings().SetText(AText);
  return Body;
}

TqmTextBody* TqmMessageBodies::AddHtml(const std::string& AHtml) {
  TqmTextBody* Body = Add<TqmTextBody>();
  Body->SetContentType("text/html");
  Body->Strings().SetText(AHtml);
  return Body;
}

TqmAttachmentBody* TqmMessageBodies::AddAttachment(const std::string& AFileName) {
  TqmAttachmentBody* Body = Add<TqmAttachmentBody>();
  Body->SetFileName(AFileName);
  return Body;
}

TqmImageBody* TqmMessageBodies::AddImage(const std::string& AFileName) {
  TqmImageBody* Body = Add<TqmImageBody>();
  Body->SetFileName(AFileName);
  return Body;
}

TqmMultipartBody* TqmMessageBodies::AddMultipart() { return Add<TqmMultipartBody>(); }

void TqmMessageBodies::Delete(int AIndex) {
  if (AIndex < 0 || AIndex >= Count()) throw EListError("List index out of bounds");
  FItems.erase(FItems.begin() + AIndex);
  Changed();
}

void TqmMessageBodies::Move(int AFrom, int ATo) {
  if (AFrom < 0 || AFrom >= Count() || ATo < 0 || ATo >= Count())
    throw EListError("List index out of bounds");
  if (AFrom == ATo) return;
  auto Body = std::move(FItems[static_cast<size_t>(AFrom)]);
  FItems.erase(FItems.begin() + AFrom);
  FItems.insert(FItems.begin() + ATo, std::move(Body));
  Changed();
}

void TqmMessageBodies::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

TqmMessageBody* TqmMessageBodies::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError("List index out of bounds");
  return FItems[static_cast<size_t>(AIndex)].get();
}

void TqmMessageBodies::Assign(const TPersistent& ASource) {
  const auto* Src = dynamic_cast<const TqmMessageBodies*>(&ASource);
  if (!Src) {
    TPersistent::Assign(ASource);
    return;
  }
  if (Src == this) return;
  Clear();
  for (const auto& Item : Src->FItems) Add(Item->ClassName())->Assign(*Item);
}

void TqmMessageBodies::WriteBodies(TStream& AStream) const {
  WriteInt(AStream, Count());
  for (const auto& Item : FItems) {
    WriteString(AStream, Item->ClassName());
    Item->WriteBody(AStream);
  }
}

void TqmMessageBodies::ReadBodies(TStream& AStream) {
  Clear();
  const int64_t N = ReadInt(AStream);
  if (N < 0 || N > AStream.Remaining()) throw EReadError("Stream read error");
  for (int64_t I = 0; I < N; ++I) Add(ReadString(AStream))->ReadBody(AStream);
}

}  // namespace qm
