#include "message/qmMailMessage.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ctime>
#include <random>

#include "core/qmDateTime.h"
#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmSysUtils.h"
#include "message/qmEmailAddress.h"
#include "message/qmLineRangeStream.h"
#include "message/qmMailHeader.h"
#include "message/qmMessageLines.h"
#include "core/qmTranslator.h"
#include "message/qmUtils.h"

namespace qm {

namespace {

class TUpdateGuard {
 public:
  explicit TUpdateGuard(TqmMailMessage& AMessage) : FMessage(AMessage) { FMessage.BeginUpdate(); }
  ~TUpdateGuard() { FMessage.EndUpdate(); }
  TUpdateGuard(const TUpdateGuard&) = delete;
  TUpdateGuard& operator=(const TUpdateGuard&) = delete;

 private:
  TqmMailMessage& FMessage;
};

class TCounterGuard {
 public:
  explicit TCounterGuard(int& ACounter) : FCounter(ACounter) { ++FCounter; }
  ~TCounterGuard() { --FCounter; }
  TCounterGuard(const TCounterGuard&) = delete;
  TCounterGuard& operator=(const TCounterGuard&) = delete;

 private:
  int& FCounter;
};

std::mt19937& RandomEngine() {
  thread_local std::mt19937 Engine{std::random_device{}()};
  return Engine;
}

int32_t TickCount() {
  timespec Ts{};
  clock_gettime(CLOCK_MONOTONIC, &Ts);
  const int64_t Ms = static_cast<int64_t>(Ts.tv_sec) * 1000 + Ts.tv_nsec / 1000000;
  return static_cast<int32_t>(static_cast<uint32_t>(Ms));
}

bool StartsWithCI(std::string_view S, std::string_view Prefix) { return StartsText(Prefix, S); }

bool InList(const TStringList& AList, const std::string& AName) {
  for (int I = 0; I < AList.Count(); ++I)
    if (SameText(AList[I], AName)) return true;
  return false;
}

// Whole-text, case-insensitive replacement.
std::string ReplaceTextCI(const std::string& AText, const std::string& AFrom,
                          const std::string& ATo) {
  if (AFrom.empty()) return AText;
  std::string Result;
  size_t Pos = 0;
  for (;;) {
    const size_t Hit = FindText(AFrom, AText, Pos);
    if (Hit == std::string::npos) break;
    Result.append(AText, Pos, Hit - Pos);
    Result += ATo;
    Pos = Hit + AFrom.size();
  }
  Result.append(AText, Pos, std::string::npos);
  return Result;
}

// Splits encoded bytes into lines at CR LF, CR or LF; NUL becomes a space.
void AppendLines(const TMemoryStream& AData, std::vector<std::string>& ALines) {
  const auto* P = reinterpret_cast<const char*>(AData.Memory());
  const size_t N = static_cast<size_t>(const_cast<TMemoryStream&>(AData).Size());
  if (N == 0) return;
  const size_t First = ALines.size();
  ALines.reserve(First + N / 64 + 1);
  AppendLinesOf(std::string_view(P, N), ALines);
  if (std::memchr(P, '\0', N))
    for (size_t I = First; I < ALines.size(); ++I) std::replace(ALines[I].begin(), ALines[I].end(), '\0', ' ');
}

bool OnlyWhiteSpace(std::string_view S, size_t From) {
  for (size_t I = From; I < S.size(); ++I)
    if (S[I] != ' ' && S[I] != '\t') return false;
  return true;
}

// "Name: value" of a field kept as read; a NUL (or a stray CR) that came
// in the value is a space, so that writing it back cannot fail or forge.
std::string ExtraFieldLine(const std::string& AName, const std::string& AValue) {
  std::string Line = AName + ": " + Trim(AValue);
  for (char& C : Line)
    if (C == '\0' || C == '\r' || C == '\n') C = ' ';
  return Line;
}

// The message identifiers of a References or In-Reply-To value: every
// "<...>"; without any, the words between blanks and commas.
std::vector<std::string> MessageIds(const std::string& AValue) {
  std::vector<std::string> Ids;
  for (size_t Pos = AValue.find('<'); Pos != std::string::npos; Pos = AValue.find('<', Pos)) {
    const size_t End = AValue.find('>', Pos);
    if (End == std::string::npos) break;
    Ids.push_back(AValue.substr(Pos, End - Pos + 1));
    Pos = End + 1;
  }
  if (!Ids.empty()) return Ids;
  std::string Word;
  for (char C : AValue + " ") {
    if (C == ' ' || C == '\t' || C == ',' || C == '\r' || C == '\n') {
      if (!Word.empty()) Ids.push_back(Word);
      Word.clear();
    } else {
      Word += C;
    }
  }
  return Ids;
}

// "begin <mode> <file name>" of a UUencoded block; the file name or empty.
std::string UUBeginFileName(std::string_view ALine) {
  if (ALine.size() < 9 || !StartsText("begin ", ALine)) return {};
  size_t I = 6;
  const size_t DigitsStart = I;
  while (I < ALine.size() && ALine[I] >= '0' && ALine[I] <= '9') ++I;
  if (I == DigitsStart || I >= ALine.size() || ALine[I] != ' ') return {};
  return Trim(std::string_view(ALine).substr(I + 1));
}

// The lines of a message's header as strings, with the line that ends it
// (the empty line, normally; see HeaderBlockEnd).
void CopyHeaderLines(const TqmMessageLines& ALines, TStringList& AHeader) {
  const int End = HeaderBlockEnd([&](int I) { return ALines.Line(I); }, 0, ALines.Count(),
                                 [](std::string_view) { return false; });
  for (int I = 0; I <= End && I < ALines.Count(); ++I) AHeader.Append(std::string(ALines.Line(I)));
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and properties

TqmMailMessage::TqmMailMessage(TComponent* AOwner) : TComponent(AOwner) {
  FBodies = std::make_unique<TqmMessageBodies>(this);
  auto OnChange = [this](TObject*) { Changed(); };
  FFromHolder = std::make_unique<TqmEmailAddressList>();
  FFromHolder->Add();
  FFromHolder->OnChanged = OnChange;
  FToList = std::make_unique<TqmEmailAddressList>();
  FToList->OnChanged = OnChange;
  FCCList = std::make_unique<TqmEmailAddressList>();
  FCCList->OnChanged = OnChange;
  FBCCList = std::make_unique<TqmEmailAddressList>();
  FBCCList->OnChanged = OnChange;
  FReferences = std::make_unique<TStringList>();
  FReferences->OnChange = OnChange;
  FNewsGroups = std::make_unique<TStringList>();
  FNewsGroups->OnChange = OnChange;
  FExtraFields = std::make_unique<TStringList>();
  FExtraFields->OnChange = OnChange;
  RegisterKnownFields();
  ClearProperties();
}

TqmMailMessage::~TqmMailMessage() {
  if (FDkimComponent) FDkimComponent->RemoveFreeNotification(this);
  // Bodies first: they reach back into the message while they go.
  FBodies.reset();
}

TqmEmailAddressItem& TqmMailMessage::From() const { return *FFromHolder->Items(0); }

#define QM_SETTER(Name, Type, Field)        \
  void TqmMailMessage::Set##Name(Type AValue) { \
    if (Field == AValue) return;            \
    Field = AValue;                         \
    Changed();                              \
  }

QM_SETTER(Subject, const std::string&, FSubject)
QM_SETTER(Priority, TqmMessagePriority, FPriority)
QM_SETTER(Date, TDateTime, FDate)
QM_SETTER(ContentSubType, const std::string&, FContentSubType)
QM_SETTER(ContentDisposition, const std::string&, FContentDisposition)
QM_SETTER(MessageFormat, TqmMessageFormat, FSettings.MessageFormat)
QM_SETTER(Encoding, TqmEncodeMethod, FSettings.Encoding)
QM_SETTER(HeaderEncoding, TqmEncodeMethod, FSettings.HeaderEncoding)
QM_SETTER(MimeOLE, const std::string&, FMimeOLE)
QM_SETTER(Mailer, const std::string&, FMailer)
QM_SETTER(ReplyTo, const std::string&, FReplyTo)
QM_SETTER(ReadReceiptTo, const std::string&, FReadReceiptTo)
QM_SETTER(MessageID, const std::string&, FMessageID)
QM_SETTER(InReplyTo, const std::string&, FInReplyTo)
QM_SETTER(ListUnsubscribe, const std::string&, FListUnsubscribe)
QM_SETTER(CharsPerLine, int, FSettings.CharsPerLine)
QM_SETTER(AllowESC, bool, FSettings.AllowESC)
QM_SETTER(UseHeaderEncodingExtensions, bool, FSettings.UseHeaderEncodingExtensions)
QM_SETTER(ErrorProcessing, TqmMessageErrorProcessing, FSettings.ErrorProcessing)

#undef QM_SETTER

void TqmMailMessage::SetContentType(const std::string& AValue) {
  if (FContentType == AValue) return;
  FContentType = AValue;
  FContentTypeImplied = false;
  Changed();
}

void TqmMailMessage::SetCharSet(const std::string& AValue) {
  FCharSetImplied = false;
  if (SameText(AValue, "iso-2022-jp")) {
    TUpdateGuard Guard(*this);
    if (FSettings.CharSet != "iso-2022-jp") {
      FSettings.CharSet = "iso-2022-jp";
      Changed();
    }
    SetEncoding(cm8Bit);
    SetAllowESC(true);
    return;
  }
  if (FSettings.CharSet == AValue) return;
  FSettings.CharSet = AValue;
  Changed();
}

void TqmMailMessage::LinkAuthenticator(TqmDkim* ADkim, TComponent* AComponent,
                                       TqmMessageAuthenticator* AAuthenticator) {
  if (FDkim == ADkim) return;
  if (FDkimComponent) FDkimComponent->RemoveFreeNotification(this);
  FDkim = ADkim;
  FDkimComponent = AComponent;
  FAuthenticator = AAuthenticator;
  if (FDkimComponent) FDkimComponent->FreeNotification(this);
  Changed();
}

void TqmMailMessage::Notification(TComponent* AComponent, TOperation AOperation) {
  TComponent::Notification(AComponent, AOperation);
  if (AOperation == TOperation::opRemove && AComponent && AComponent == FDkimComponent) {
    FDkim = nullptr;
    FDkimComponent = nullptr;
    FAuthenticator = nullptr;
  }
}

void TqmMailMessage::Loaded() {
  TComponent::Loaded();
  Changed();
}

void TqmMailMessage::SetParent(TqmMailMessage* AParent) {
  FParent = AParent;
  FNestingLevel = AParent ? AParent->FNestingLevel + 1 : 0;
  FContext = AParent ? AParent->FContext : &FSettings;
  // Messages nested here already take the new outermost settings too.
  for (int I = 0; I < FBodies->Count(); ++I)
    if (TqmMailMessage* Inner = FBodies->Items(I)->NestedMessage()) Inner->SetParent(this);
}

std::string DefectKindName(TqmMessageDefectKind AKind) {
  switch (AKind) {
    case mdBadHeaderLine: return "bad header line";
    case mdNoHeaderEnd: return "no empty line after the header";
    case mdMissingBoundary: return "missing closing boundary";
    case mdNoParts: return "multipart without parts";
    case mdUndecodableData: return "undecodable data";
    case mdCharSetMismatch: return "text not in its charset";
    case mdUnknownCharSet: return "unknown charset";
    case mdNestingTooDeep: return "nesting too deep";
  }
  return "defect";
}

void TqmMailMessage::AddDefect(TqmMessageDefectKind AKind, const std::string& APart, int ALine,
                               std::string AText) {
  // Bounded: a message made of bad lines must not make a list as large.
  constexpr size_t kMaxDefects = 1000;
  std::vector<TqmMessageDefect>& List = Root()->FDefects;
  if (List.size() >= kMaxDefects) return;
  if (AText.size() > 200) AText.resize(200);
  List.push_back({AKind, APart, ALine, std::move(AText)});
}

std::string TqmMailMessage::PartPath() const {
  if (!FParent) return {};
  for (int I = 0; I < FParent->FBodies->Count(); ++I)
    if (FParent->FBodies->Items(I)->NestedMessage() == this)
      return FParent->PartPathOf(FParent->FBodies->Items(I));
  return {};
}

std::string TqmMailMessage::PartPathOf(const TqmMessageBody* ABody) const {
  for (int I = 0; I < FBodies->Count(); ++I)
    if (FBodies->Items(I) == ABody) {
      const std::string Own = PartPath();
      return (Own.empty() ? "" : Own + ".") + std::to_string(I + 1);
    }
  return {};
}

void TqmMailMessage::NoteBadHeaderLines(const TqmMessageLines& ALines, int ABegin, int AEnd,
                                        const std::string& APart, bool AFromLine) {
  for (int I = ABegin; I < AEnd && I < ALines.Count(); ++I) {
    const std::string_view Line = ALines.Line(I);
    if (Line.empty() || IsHeaderContinuation(Line) || IsHeaderFieldLine(Line)) continue;
    if (AFromLine && I == ABegin && Line.substr(0, 5) == "From ") continue;
    AddDefect(mdBadHeaderLine, APart, I, std::string(Line));
  }
}

TqmMailMessage* TqmMailMessage::Root() {
  TqmMailMessage* M = this;
  while (M->FParent) M = M->FParent;
  return M;
}

const TqmMailMessage* TqmMailMessage::Root() const {
  const TqmMailMessage* M = this;
  while (M->FParent) M = M->FParent;
  return M;
}

bool TqmMailMessage::IsMultipart() const {
  return FBodies->Count() > 1 || StartsWithCI(FContentType, "multipart/");
}

bool TqmMailMessage::IsParsing() const {
  return FParseCount > 0 || (FParent && FParent->IsParsing());
}

// ---------------------------------------------------------------------------
// Change tracking

void TqmMailMessage::BeginUpdate() { ++FUpdateCount; }

void TqmMailMessage::EndUpdate() {
  if (FUpdateCount <= 0) return;
  if (--FUpdateCount == 0 && FChangedInUpdate) {
    FChangedInUpdate = false;
    if (!IsLoading() && !IsDestroying()) DoChanged();
  }
}

void TqmMailMessage::Changed() {
  FMessageSource.reset();
  FMessageText.Clear();
  if (FRenderCount > 0) return;  // rendering only records what it wrote
  if (FParent) FParent->Changed();
  if (FUpdateCount > 0 || IsLoading() || IsDestroying()) {
    FChangedInUpdate = true;
    return;
  }
  DoChanged();
}

void TqmMailMessage::DoChanged() {
  if (OnChanged) OnChanged(this);
}

// ---------------------------------------------------------------------------
// Events (a nested message passes them on to the outer one)

void TqmMailMessage::DoSaveAttachment(TqmAttachmentBody* ABody, std::string& AFileName,
                                      std::unique_ptr<TStream>& AData, bool& Handled) {
  if (FParent) return FParent->DoSaveAttachment(ABody, AFileName, AData, Handled);
  if (OnSaveAttachment) OnSaveAttachment(this, ABody, AFileName, AData, Handled);
}

void TqmMailMessage::DoLoadAttachment(TqmAttachmentBody* ABody, std::string& AFileName,
                                      std::unique_ptr<TStream>& AData, bool& Handled) {
  if (FParent) return FParent->DoLoadAttachment(ABody, AFileName, AData, Handled);
  if (OnLoadAttachment) OnLoadAttachment(this, ABody, AFileName, AData, Handled);
}

void TqmMailMessage::DoAttachmentSaved(TqmAttachmentBody* ABody, const std::string& AFileName,
                                       TStream* AData) {
  if (FParent) return FParent->DoAttachmentSaved(ABody, AFileName, AData);
  if (OnAttachmentSaved) OnAttachmentSaved(this, ABody, AFileName, AData);
}

void TqmMailMessage::DoDataAdded(TqmMessageBody* ABody, TStream* AData) {
  if (FParent) return FParent->DoDataAdded(ABody, AData);
  if (OnDataAdded) OnDataAdded(this, ABody, AData);
}

void TqmMailMessage::DoEncodingProgress(TqmMessageBody* ABody, int64_t ABytesProceed,
                                        int64_t ATotalBytes) {
  if (FParent) return FParent->DoEncodingProgress(ABody, ABytesProceed, ATotalBytes);
  if (OnEncodingProgress) OnEncodingProgress(this, ABody, ABytesProceed, ATotalBytes);
}

// ---------------------------------------------------------------------------
// Defaults

void TqmMailMessage::RegisterKnownFields() {
  FKnownFields.Clear();
  for (const char* Name :
       {"Content-Type", "Content-Disposition", "Content-Transfer-Encoding", "From", "To", "Cc",
        "Bcc", "Subject", "Date", "Importance", "X-Priority", "X-MSMail-Priority", "X-MimeOLE",
        "X-Mailer", "Reply-To", "In-Reply-To", "Disposition-Notification-To", "Message-ID",
        "MIME-Version", "Newsgroups", "References"})
    FKnownFields.Add(Name);
}

void TqmMailMessage::ClearProperties() {
  TUpdateGuard Guard(*this);
  FBodies->Clear();
  SetSubject("");
  From().Clear();
  FToList->Clear();
  FCCList->Clear();
  FBCCList->Clear();
  SetPriority(mpNormal);
  SetDate(Now());
  SetCharSet("iso-8859-1");
  SetContentType("text/plain");
  SetContentSubType("");
  SetContentDisposition("");
  SetMessageFormat(mfNone);
  SetEncoding(cmNone);
  SetHeaderEncoding(cmNone);
  SetMimeOLE("");
  SetMailer("");
  SetReplyTo("");
  FReferences->Clear();
  FNewsGroups->Clear();
  FExtraFields->Clear();
  SetReadReceiptTo("");
  SetMessageID("");
  SetInReplyTo("");
  SetListUnsubscribe("");
  FContentTypeImplied = false;
  FCharSetImplied = false;
  FBoundary.clear();
  FRawHeader.Clear();
  FBodyStart = 0;
  FTimeZoneOffset = 0;
  Changed();
}

void TqmMailMessage::Reset() { ClearProperties(); }

void TqmMailMessage::ClearForParse() {
  TUpdateGuard Guard(*this);
  if (!FParent) FDefects.clear();
  const std::string CharSet = FSettings.CharSet;
  const TqmEncodeMethod Encoding = FSettings.Encoding;
  const TqmEncodeMethod HeaderEncoding = FSettings.HeaderEncoding;
  const bool AllowESC = FSettings.AllowESC;
  ClearProperties();
  FSettings.CharSet = CharSet;
  FSettings.Encoding = Encoding;
  FSettings.HeaderEncoding = HeaderEncoding;
  FSettings.AllowESC = AllowESC;
}

// ---------------------------------------------------------------------------
// Building

void TqmMailMessage::BuildMessage(const std::string& AText, const std::string& AHtml) {
  BuildMessage(AText, AHtml, {}, {});
}

void TqmMailMessage::BuildMessage(const std::string& AText, const std::string& AHtml,
                                  const std::vector<std::string>& AAttachments,
                                  const std::vector<std::string>& AImages) {
  TUpdateGuard Guard(*this);
  ClearForParse();
  const bool HasText = !AText.empty();
  const bool HasHtml = !AHtml.empty();
  std::string TextType;
  if (HasText && HasHtml)
    TextType = "multipart/alternative";
  else if (HasText)
    TextType = "text/plain";
  else if (HasHtml)
    TextType = "text/html";

  // The text part as one body: an alternative of both texts, the one text,
  // or an empty plain text.
  auto AddTextPart = [&](TqmMessageBodies& ABodies, const std::string& AHtmlText) {
    if (HasText && HasHtml) {
      TqmMultipartBody* Alt = ABodies.AddMultipart();
      Alt->SetContentType("multipart/alternative");
      Alt->Bodies().AddText(AText);
      Alt->Bodies().AddHtml(AHtmlText);
    } else if (HasHtml) {
      ABodies.AddHtml(AHtmlText);
    } else {
      ABodies.AddText(AText);
    }
  };
  // Images first (their identifiers go into the HTML), then the text part,
  // moved to the front.
  auto AddRelated = [&](TqmMessageBodies& ABodies) {
    std::string Html = AHtml;
    for (const std::string& Image : AImages) {
      TqmImageBody* Body = ABodies.AddImage(Image);
      Html = ReplaceTextCI(Html, Image, "cid:" + Body->ContentID());
    }
    AddTextPart(ABodies, Html);
    ABodies.Move(ABodies.Count() - 1, 0);
  };

  if (AAttachments.empty() && AImages.empty()) {
    if (HasText) FBodies->AddText(AText);
    if (HasHtml) FBodies->AddHtml(AHtml);
    SetContentType(TextType);
  } else if (AImages.empty()) {
    AddTextPart(*FBodies, AHtml);
    for (const std::string& Name : AAttachments) FBodies->AddAttachment(Name);
    SetContentType("multipart/mixed");
  } else if (AAttachments.empty()) {
    AddRelated(*FBodies);
    SetContentSubType(TextType);
    SetContentType("multipart/related");
  } else {
    TqmMultipartBody* Related = FBodies->AddMultipart();
    Related->SetContentType("multipart/related");
    Related->SetContentSubType(TextType);
    AddRelated(Related->Bodies());
    for (const std::string& Name : AAttachments) FBodies->AddAttachment(Name);
    SetContentType("multipart/mixed");
  }
}

// ---------------------------------------------------------------------------
// Rendering

std::string TqmMailMessage::GenerateBoundary() {
  const int32_t Tick = TickCount();
  std::uniform_int_distribution<int> Dist(0, 999);
  return "Mark=_" + std::to_string(Tick) + std::to_string(Tick / 2) +
         std::to_string(Dist(RandomEngine()));
}

std::string TqmMailMessage::NewBoundary() { return GenerateBoundary(); }

void TqmMailMessage::AssignContentType(TqmMailHeaderFieldList& AFieldList) {
  if (IsMultipart()) {
    // More than one body under a type that is not multipart (a text and an
    // attachment added part by part): they are a mixed multipart.
    AFieldList.AddField("Content-Type",
                        StartsWithCI(FContentType, "multipart/") ? FContentType : "multipart/mixed");
    if (!FContentSubType.empty())
      AFieldList.AddQuotedFieldItem("Content-Type", "type", FContentSubType);
    AFieldList.AddQuotedFieldItem("Content-Type", "boundary", FBoundary);
  } else {
    // The one text body is labelled with the charset it is written in.
    TqmTextBody* Text = FBodies->Count() == 1 && FBodies->Items(0)->IsText()
                            ? static_cast<TqmTextBody*>(FBodies->Items(0))
                            : nullptr;
    const std::string CharSet = Text ? Text->WritingCharSet() : FSettings.CharSet;
    // What was implied when read is not added while it still holds.
    const bool Ascii = IsAsciiCharSet(CharSet);
    if (FContentTypeImplied && Ascii && SameText(FContentType, "text/plain")) return;
    AFieldList.AddField("Content-Type", FContentType.empty() ? "text/plain" : FContentType);
    if (!CharSet.empty() && !(FCharSetImplied && Ascii))
      AFieldList.AddQuotedFieldItem("Content-Type", "charset", CharSet);
    // A single attachment keeps its file name.
    auto* Attachment = FBodies->Count() == 1 && FBodies->Items(0)->IsAttachment()
                           ? static_cast<TqmAttachmentBody*>(FBodies->Items(0))
                           : nullptr;
    if (Attachment && !ExtractFilePart(Attachment->FileName()).empty())
      AFieldList.AddEncodedFieldItem("Content-Type", "name", ExtractFilePart(Attachment->FileName()));
  }
}

void TqmMailMessage::RenderHeader(TStrings& ALines, TqmMailHeaderFieldList& AFieldList,
                                  int& ADateLine) {
  const bool UU = FSettings.MessageFormat == mfUUencode;
  AFieldList.Parse(0, &ALines);
  AFieldList.AddField("Message-ID", FMessageID);
  AFieldList.AddField("In-Reply-To", FInReplyTo);
  AFieldList.AddEncodedAddressField("From", From().FullAddress());
  AFieldList.AddEncodedAddressField("Reply-To", FReplyTo);
  AFieldList.AddField("Newsgroups", FNewsGroups->Join(","));
  AFieldList.AddField("References", FReferences->Join(" "));
  AFieldList.AddAddressListField("To", *FToList);
  AFieldList.AddAddressListField("Cc", *FCCList);
  AFieldList.AddAddressListField("Bcc", *FBCCList);
  AFieldList.AddEncodedTextField("Subject", FSubject);
  AFieldList.AddField("Date", DateTimeToMailDate(FDate));
  ADateLine = AFieldList.HeaderEnd();
  if (!UU) {
    AFieldList.AddField("MIME-Version", "1.0");
    AssignContentType(AFieldList);
  }
  if (UU) {
    // Attachments are the "begin"/"end" blocks in the text, which carry
    // their names: "attachment" here would make the whole text one.
    if (!SameText(FContentDisposition, "attachment"))
      AFieldList.AddField("Content-Disposition", FContentDisposition);
  } else {
    auto* Attachment = !IsMultipart() && FBodies->Count() == 1 && FBodies->Items(0)->IsAttachment()
                           ? static_cast<TqmAttachmentBody*>(FBodies->Items(0))
                           : nullptr;
    const std::string Name = Attachment ? ExtractFilePart(Attachment->FileName()) : std::string();
    std::string Disposition = FContentDisposition;
    if (Disposition.empty() && !Name.empty()) Disposition = "attachment";
    AFieldList.AddField("Content-Disposition", Disposition);
    if (!Name.empty()) AFieldList.AddEncodedFieldItem("Content-Disposition", "filename", Name);
  }
  if (!IsMultipart()) {
    TqmEncodeMethod Method = FSettings.Encoding;
    if (Method == cmNone && FBodies->Count() == 1) Method = FBodies->Items(0)->GetEncoding();
    AFieldList.AddField("Content-Transfer-Encoding", EncodingName(Method));
  }
  if (FPriority == mpLow) {
    AFieldList.AddField("Importance", "Low");
    AFieldList.AddField("X-Priority", "5");
  } else if (FPriority == mpHigh) {
    AFieldList.AddField("Importance", "High");
    AFieldList.AddField("X-Priority", "1");
  }
  // Unstructured: written encoded, so that a line break in them stays text.
  AFieldList.AddEncodedTextField("X-MimeOLE", FMimeOLE);
  AFieldList.AddEncodedTextField("X-Mailer", FMailer);
  AFieldList.AddEncodedAddressField("Disposition-Notification-To", FReadReceiptTo);
  AFieldList.AddUnfoldedField("List-Unsubscribe", FListUnsubscribe);
  AFieldList.AddLines(*FExtraFields);
  ALines.Add("");
}

namespace {

// Whether some line of the data starts with "--", the only lines a
// boundary can collide with.
bool HasDashLine(const uint8_t* AData, size_t ASize) {
  const uint8_t* const End = AData + ASize;
  for (const uint8_t* Q = AData; Q < End; ++Q) {
    Q = static_cast<const uint8_t*>(std::memchr(Q, '-', static_cast<size_t>(End - Q)));
    if (!Q) return false;
    if ((Q == AData || Q[-1] == '\n' || Q[-1] == '\r') && Q + 1 < End && Q[1] == '-') return true;
  }
  return false;
}

}  // namespace

bool TqmMailMessage::DelimitsBodies() const {
  // A multipart read with no parts is written with none: a lone closing
  // delimiter (and the preamble line) would read back as a text.
  return IsMultipart() && FBodies->Count() > 0 && Context().MessageFormat != mfUUencode;
}

std::vector<TqmMailMessage::TRenderedBody> TqmMailMessage::RenderBodyBlocks() {
  TCounterGuard Rendering(Root()->FRenderCount);
  const bool UU = Context().MessageFormat == mfUUencode;
  const bool Delimited = DelimitsBodies();
  std::vector<TRenderedBody> Blocks;
  Blocks.reserve(static_cast<size_t>(FBodies->Count()));
  TMemoryStream Encoded;  // shared by the bodies, so its memory is reused
  for (int I = 0; I < FBodies->Count(); ++I) {
    TqmMessageBody* Body = FBodies->Items(I);
    TRenderedBody Block;
    if (Delimited) {
      TStringList Header;
      TqmMailHeaderFieldList FieldList(Context().CharSet, Context().GetHeaderEncoding(),
                                       Context().CharsPerLine);
      FieldList.Parse(0, &Header);
      Body->AssignBodyHeader(FieldList);
      Block.Lines = Header.Lines();
      Block.Lines.emplace_back();
    }
    auto* Attachment = Body->IsAttachment() ? static_cast<TqmAttachmentBody*>(Body) : nullptr;
    const bool UUAttachment = UU && Attachment;
    if (UUAttachment) Block.Lines.push_back("begin 644 " + ExtractFilePart(Attachment->FileName()));
    Block.DataBegin = Block.DataEnd = Block.Lines.size();
    if (std::unique_ptr<TStream> Source = Body->GetSourceStream()) {
      Encoded.SetSize(0);
      Body->EncodeData(*Source, Encoded);
      AppendLines(Encoded, Block.Lines);
      Block.DataEnd = Block.Lines.size();
      const auto Size = static_cast<size_t>(Encoded.Size());
      Block.DataHasDashLine = HasDashLine(Encoded.Memory(), Size);
      // Data that ends with a line break keeps it: the break before the
      // next delimiter belongs to the delimiter, so the data's own needs an
      // empty line of its own.
      if (Delimited && Size > 0) {
        const char Last = static_cast<char>(Encoded.Memory()[Size - 1]);
        if (Last == '\n' || Last == '\r') Block.Lines.emplace_back();
      }
    }
    if (UUAttachment) Block.Lines.emplace_back("end");
    // No empty line between the data and the next delimiter: the line break
    // before a delimiter belongs to it, and an extra line would add a line
    // break to the data each time the message is read back.
    Blocks.push_back(std::move(Block));
  }
  if (Delimited) {
    // A boundary that occurs in the content would end a part early. Only
    // lines starting with "--" can hold one; data without such lines is not
    // walked line by line.
    auto Occurs = [&](const std::string& ABoundary) {
      const std::string Delimiter = "--" + ABoundary;
      for (const auto& Block : Blocks)
        for (size_t L = 0; L < Block.Lines.size(); ++L) {
          if (L == Block.DataBegin && !Block.DataHasDashLine) L = Block.DataEnd;
          if (L >= Block.Lines.size()) break;
          const std::string& Line = Block.Lines[L];
          if (Line.size() >= Delimiter.size() && Line[0] == '-' && Line[1] == '-' &&
              Line.compare(0, Delimiter.size(), Delimiter) == 0)
            return true;
        }
      return false;
    };
    // Each rendering gets a boundary of its own, also within one tick.
    const std::string Previous = FBoundary;
    do {
      FBoundary = NewBoundary();
    } while (FBoundary == Previous || Occurs(FBoundary));
  } else if (FBoundary.empty()) {
    FBoundary = NewBoundary();
  }
  return Blocks;
}

size_t TqmMailMessage::RenderedLineCount(const std::vector<TRenderedBody>& ABlocks) const {
  size_t Count = DelimitsBodies() ? ABlocks.size() + 1 : 0;
  for (const auto& Block : ABlocks) Count += Block.Lines.size();
  return Count;
}

void TqmMailMessage::RenderBodies(std::vector<std::string>& ALines) {
  TCounterGuard Rendering(Root()->FRenderCount);
  std::vector<TRenderedBody> Blocks = RenderBodyBlocks();
  const bool Delimited = DelimitsBodies();
  ALines.reserve(ALines.size() + RenderedLineCount(Blocks));
  for (auto& Block : Blocks) {
    if (Delimited) ALines.push_back("--" + FBoundary);
    std::move(Block.Lines.begin(), Block.Lines.end(), std::back_inserter(ALines));
  }
  if (Delimited) ALines.push_back("--" + FBoundary + "--");
}

TStrings& TqmMailMessage::MessageSource() {
  if (FMessageSource) return *FMessageSource;
  // Kept only once complete: a rendering that fails leaves no cache.
  auto Lines = std::make_unique<TStringList>();
  {
    TCounterGuard Rendering(FRenderCount);
    // The bodies first: the boundary in the header must not occur in them.
    std::vector<TRenderedBody> Blocks = RenderBodyBlocks();
    TqmMailHeaderFieldList FieldList(FSettings.CharSet, GetHeaderEncoding(), FSettings.CharsPerLine);
    RenderHeader(*Lines, FieldList, FDateLine);
    const bool Delimited = DelimitsBodies();
    if (Delimited) {
      Lines->Add("This is a multi-part message in MIME format.");
      Lines->Add("");
    }
    const size_t BodyLineCount = RenderedLineCount(Blocks);
    if (FNewsGroups->Count() > 0) Lines->Insert(FDateLine, "Lines: " + std::to_string(BodyLineCount));
    // The body lines are moved once, straight into the list.
    Lines->Reserve(Lines->Count() + static_cast<int>(BodyLineCount));
    for (auto& Block : Blocks) {
      if (Delimited) Lines->Append("--" + FBoundary);
      Lines->AppendLines(std::move(Block.Lines));
    }
    if (Delimited) Lines->Append("--" + FBoundary + "--");
    // Signed last, over the lines exactly as they go out.
    if (FAuthenticator) FAuthenticator->SignMessage(*Lines);
  }
  FMessageSource = std::move(Lines);
  return *FMessageSource;
}

// ---------------------------------------------------------------------------
// Reading

void TqmMailMessage::ParseMessage(const TStrings& ALines) {
  TUpdateGuard Guard(*this);
  const TqmMessageLines Lines(ALines);
  ParseMessageLines(Lines, ALines);
  // Verification reads the lines only.
  if (FAuthenticator) FAuthenticator->VerifyMessage(const_cast<TStrings&>(ALines));
  Changed();
}

void TqmMailMessage::ParseMessage(std::string_view AText) {
  TUpdateGuard Guard(*this);
  const TqmMessageLines Lines(AText);
  // The header is read from strings of its own lines, the rest where it
  // lies.
  TStringList Header;
  CopyHeaderLines(Lines, Header);
  ParseMessageLines(Lines, Header);
  if (FAuthenticator) FAuthenticator->VerifyMessageText(AText);
  Changed();
}

void TqmMailMessage::ParseMessageLines(const TqmMessageLines& ALines, const TStrings& AHeader) {
  ClearForParse();
  ParseHeader(AHeader);
  const int HeaderEnd = FBodyStart > 0 && FBodyStart <= ALines.Count() && ALines.Line(FBodyStart - 1).empty()
                            ? FBodyStart - 1
                            : FBodyStart;
  NoteBadHeaderLines(ALines, 0, HeaderEnd, PartPath(), true);
  if (HeaderEnd < ALines.Count() && !ALines.Line(HeaderEnd).empty())
    AddDefect(mdNoHeaderEnd, PartPath(), HeaderEnd, std::string(ALines.Line(HeaderEnd)));
  ParseBodyRange(ALines, 0, FBodyStart, ALines.Count());
}

void TqmMailMessage::ParseHeaderOnly(const TStrings& ALines) {
  TUpdateGuard Guard(*this);
  ClearForParse();
  ParseHeader(ALines);
  Changed();
}

void TqmMailMessage::ParseHeaderOnly(std::string_view AText) {
  TStringList Header;
  CopyHeaderLines(TqmMessageLines(AText), Header);
  ParseHeaderOnly(Header);
}

void TqmMailMessage::ParseContentFields(TqmMailHeaderFieldList& AFieldList) {
  const bool Mime =
      AFieldList.IndexOfField("Content-Type") >= 0 || AFieldList.IndexOfField("MIME-Version") >= 0;
  SetMessageFormat(Mime ? mfMIME : mfUUencode);
  const std::string ContentType = AFieldList.GetFieldValue("Content-Type");
  // Without a type the message is text/plain, and text without a charset
  // US-ASCII (RFC 2045 section 5.2); written back, neither is added.
  const std::string Type = AFieldList.GetItemValue(ContentType, "");
  SetContentType(Type.empty() ? "text/plain" : Type);
  FContentTypeImplied = Type.empty();
  SetContentSubType(AFieldList.GetItemValue(ContentType, "type"));
  FBoundary = AFieldList.GetItemValue(ContentType, "boundary");
  const std::string CharSet = AFieldList.GetItemValue(ContentType, "charset");
  const bool Text = StartsWithCI(FContentType, "text/");
  if (!CharSet.empty() || Text) {
    SetCharSet(CharSet.empty() ? "us-ascii" : CharSet);
    FCharSetImplied = CharSet.empty();
    AFieldList.SetCharSet(FSettings.CharSet);
  }
  SetContentDisposition(
      AFieldList.GetItemValue(AFieldList.GetFieldValue("Content-Disposition"), ""));
  SetEncoding(EncodingFromName(AFieldList.GetFieldValue("Content-Transfer-Encoding")));
  AFieldList.SetHeaderEncoding(GetHeaderEncoding());
}

void TqmMailMessage::ParseHeader(const TStrings& ALines) {
  TCounterGuard Parsing(FParseCount);
  TStrings* Lines = const_cast<TStrings*>(&ALines);  // read only
  TqmMailHeaderFieldList FieldList(FSettings.CharSet, GetHeaderEncoding(), FSettings.CharsPerLine);
  const int HeaderEnd = FieldList.Parse(0, Lines);
  ParseContentFields(FieldList);

  {
    TqmEmailAddressList Senders;
    FieldList.GetAddressList("From", Senders);
    if (Senders.Count() > 0) {
      From().SetName(Senders.Items(0)->Name());
      From().SetEmail(Senders.Items(0)->Email());
    } else {
      From().SetFullAddress(FieldList.GetDecodedAddress("From"));
    }
  }
  FieldList.GetAddressList("To", *FToList);
  FieldList.GetAddressList("Cc", *FCCList);
  FieldList.GetAddressList("Bcc", *FBCCList);
  SetSubject(FieldList.GetDecodedText("Subject"));

  TDateTime Date = Now();
  TDateTime Offset = LocalTimeBias(Date) / -1440.0;
  try {
    std::string DateText;
    if (FieldList.IndexOfField("Date") >= 0) {
      DateText = FieldList.GetDecodedText("Date");
    } else if (FieldList.IndexOfField("Received") >= 0) {
      const std::string Received = FieldList.GetDecodedText("Received");
      const size_t Semi = Received.rfind(';');
      DateText = Trim(Received.substr(Semi == std::string::npos ? 0 : Semi + 1, 1000));
    }
    if (FieldList.IndexOfField("Date") >= 0 || FieldList.IndexOfField("Received") >= 0) {
      Date = 0;
      Offset = 0;
      Date = MailDateToDateTime(DateText, Offset);
    }
  } catch (const Exception&) {
    // A date that cannot be read leaves what was set before it.
  }
  SetDate(Date);
  FTimeZoneOffset = Offset;

  TqmMessagePriority Priority = mpNormal;
  const struct {
    const char* Field;
    const char* Low;
    const char* High;
  } PriorityFields[] = {{"Importance", "Low", "High"},
                        {"X-Priority", "5", "1"},
                        {"X-MSMail-Priority", "Low", "High"}};
  for (const auto& F : PriorityFields) {
    if (Priority != mpNormal) break;
    const std::string Value = FieldList.GetFieldValue(F.Field);
    if (Value.empty()) continue;
    if (SameText(Value, F.Low))
      Priority = mpLow;
    else if (SameText(Value, F.High))
      Priority = mpHigh;
  }
  SetPriority(Priority);

  SetReplyTo(FieldList.GetDecodedAddress("Reply-To"));
  SetReadReceiptTo(FieldList.GetDecodedAddress("Disposition-Notification-To"));
  // Not mailboxes but a list of URLs in angle brackets.
  SetListUnsubscribe(TqmMailHeaderFieldList::DecodeAddress(FieldList.GetFieldValue("List-Unsubscribe"),
                                                           FieldList.CharSet()));
  SetMessageID(FieldList.GetFieldValue("Message-ID"));
  {
    // Identifiers apart, whatever separated them ("<a>,<b>", folds, none).
    const std::vector<std::string> Ids = MessageIds(FieldList.GetFieldValue("In-Reply-To"));
    std::string Joined;
    for (const std::string& Id : Ids) Joined += (Joined.empty() ? "" : " ") + Id;
    SetInReplyTo(Joined);
  }
  SetMimeOLE(FieldList.GetFieldValue("X-MimeOLE"));
  SetMailer(FieldList.GetFieldValue("X-Mailer"));
  SplitText(FieldList.GetFieldValue("Newsgroups"), *FNewsGroups, ",");
  FReferences->BeginUpdate();
  FReferences->Clear();
  for (const std::string& Id : MessageIds(FieldList.GetFieldValue("References"))) FReferences->Add(Id);
  FReferences->EndUpdate();

  FRawHeader.Clear();
  for (int I = 0; I < HeaderEnd && I < ALines.Count(); ++I) FRawHeader.Add(ALines[I]);
  // A header not followed by an empty line: the body starts at the line
  // that ended it.
  const bool Blank = HeaderEnd < ALines.Count() && ALines[HeaderEnd].empty();
  FBodyStart = std::min(HeaderEnd + (Blank ? 1 : 0), ALines.Count());

  FExtraFields->BeginUpdate();
  FExtraFields->Clear();
  for (int I = 0; I < FieldList.FieldCount(); ++I) {
    const std::string Name = FieldList.GetFieldName(I);
    if (!InList(FKnownFields, Name))
      FExtraFields->Add(ExtraFieldLine(Name, FieldList.GetFieldValueAt(I)));
  }
  FExtraFields->EndUpdate();
}

TqmMessageBody* TqmMailMessage::CreateBodyForPart(const std::string& AContentType,
                                                  const std::string& ADisposition) {
  const std::string Type = LowerCase(AContentType);
  const std::string Disposition = LowerCase(ADisposition);
  if (StartsWithCI(Type, "multipart/")) {
    // Deeper nesting is kept as undecoded data.
    if (FNestingLevel >= qmMaxMultipartNesting) {
      TqmAttachmentBody* Body = FBodies->Add<TqmAttachmentBody>();
      AddDefect(mdNestingTooDeep, PartPathOf(Body), -1, AContentType);
      return Body;
    }
    return FBodies->Add<TqmMultipartBody>();
  }
  if (StartsWithCI(Type, "image/") && Disposition != "attachment")
    return FBodies->Add<TqmImageBody>();
  if (Disposition == "attachment") return FBodies->Add<TqmAttachmentBody>();
  for (const char* Prefix : {"application/", "message/", "audio/", "video/", "image/"})
    if (StartsWithCI(Type, Prefix)) return FBodies->Add<TqmAttachmentBody>();
  if (StartsWithCI(Type, "text/")) return FBodies->Add<TqmTextBody>();
  return FBodies->Add<TqmAttachmentBody>();
}

TqmMessageBody* TqmMailMessage::CreateSingleBody(const TStrings& /*ALines*/,
                                                 TqmMessageBodies& ABodies) {
  // Anything but text (an image, an archive) is kept as the bytes it is; a
  // multipart whose parts were not found is read as text.
  const bool Attachment = SameText(FContentDisposition, "attachment") ||
                          !(FContentType.empty() || StartsWithCI(FContentType, "text/") ||
                            StartsWithCI(FContentType, "multipart/"));
  if (Attachment) return ABodies.Add<TqmAttachmentBody>();
  return ABodies.Add<TqmTextBody>();
}

TqmAttachmentBody* TqmMailMessage::CreateUUAttachment(const std::string& AFileName) {
  TqmAttachmentBody* Body = FBodies->Add<TqmAttachmentBody>();
  Body->SetFileName(SafeReceivedFileName(AFileName));
  Body->SetEncoding(cmUUEncode);
  return Body;
}

void TqmMailMessage::AddBodyData(TqmMessageBody* ABody, TqmLineRangeStream& AData) {
  if (ABody) ABody->AddData(AData, AData.LineCount());
  AData.Clear();
}

void TqmMailMessage::ParseBodies(const TStrings& ALines, int AStart) {
  const TqmMessageLines Lines(ALines);
  ParseBodyRange(Lines, 0, AStart, Lines.Count());
}

void TqmMailMessage::ParseBodyRange(const TqmMessageLines& ALines, int AHeaderBegin, int ADataBegin,
                                    int AEnd, const TDashLines* ADashLines) {
  TCounterGuard Parsing(FParseCount);
  if (StartsWithCI(FContentType, "multipart/") &&
      (FSettings.Encoding == cmBase64 || FSettings.Encoding == cmQuotedPrintable) &&
      ParseEncodedMultipart(ALines, ADataBegin, AEnd))
    return;
  if (StartsWithCI(FContentType, "multipart/")) {
    ParseMultipart(ALines, ADataBegin, AEnd, ADashLines);
    if (FBodies->Count() == 0) {
      AddDefect(mdNoParts, PartPath(), ADataBegin, FBoundary);
      ParseSinglePart(ALines, AHeaderBegin, ADataBegin, AEnd);
      RemoveEmptyTextBodies();
    }
  } else {
    ParseSinglePart(ALines, AHeaderBegin, ADataBegin, AEnd);
    RemoveEmptyTextBodies();
  }
}

bool TqmMailMessage::ParseEncodedMultipart(const TqmMessageLines& ALines, int ABegin, int AEnd) {
  // A multipart sent in base64 or quoted-printable (RFC 2045 section 6.4
  // forbids it; some mailers do it): its parts are read from the decoded
  // text, so their positions are lines of that text.
  TqmLineRangeStream Data(ALines, ABegin, AEnd);
  TMemoryStream Decoded;
  TqmEncoder Decoder;
  Decoder.SetEncodeMethod(FSettings.Encoding);
  Decoder.SetErrorProcessing(FSettings.ErrorProcessing == meExtractMaximumData ? epSkip : epStop);
  try {
    Decoder.Decode(Data, Decoded);
  } catch (const Exception& E) {
    if (FSettings.ErrorProcessing == meStop) throw;
    AddDefect(mdUndecodableData, PartPath(), ABegin, E.Message());
    return false;  // read as it came
  }
  const std::string_view Text(reinterpret_cast<const char*>(Decoded.Memory()),
                              static_cast<size_t>(Decoded.Size()));
  const TqmMessageLines Lines(Text);
  ParseMultipart(Lines, 0, Lines.Count(), nullptr);
  if (FBodies->Count() == 0) return false;
  // Written back, the parts are encoded each on its own.
  SetEncoding(cmNone);
  return true;
}

void TqmMailMessage::ParseMultipart(const TqmMessageLines& ALines, int AStart, int AEnd,
                                    const TDashLines* ADashLines) {
  const std::string Delimiter = "--" + FBoundary;
  // A delimiter line may be followed by white space (transport padding).
  auto Classify = [&](std::string_view ALine) -> int {  // 0 no, 1 delimiter, 2 closing
    if (ALine.size() < Delimiter.size() || ALine[0] != '-' || ALine[1] != '-' ||
        ALine.compare(0, Delimiter.size(), Delimiter) != 0)
      return 0;
    if (OnlyWhiteSpace(ALine, Delimiter.size())) return 1;
    if (ALine.compare(Delimiter.size(), 2, "--") == 0 && OnlyWhiteSpace(ALine, Delimiter.size() + 2))
      return 2;
    return 0;
  };
  const int Count = std::min(AEnd, ALines.Count());
  const int Begin = std::max(AStart, 0);
  TDashLines OwnDashLines;
  if (!ADashLines) {
    for (int I = Begin; I < Count; ++I) {
      const std::string_view Line = ALines.Line(I);
      if (Line.size() >= 2 && Line[0] == '-' && Line[1] == '-') OwnDashLines.push_back(I);
    }
    ADashLines = &OwnDashLines;
  }
  // The next delimiter of this level at or after a line; the lines asked
  // for only grow, so the search goes on from where it stopped.
  auto Dash = std::lower_bound(ADashLines->begin(), ADashLines->end(), Begin);
  auto NextDelimiter = [&](int AFrom, int& AKind) -> int {
    if (Dash != ADashLines->end() && *Dash < AFrom)
      Dash = std::lower_bound(Dash, ADashLines->end(), AFrom);
    for (; Dash != ADashLines->end() && *Dash < Count; ++Dash) {
      AKind = Classify(ALines.Line(*Dash));
      if (AKind != 0) return *Dash;
    }
    AKind = 0;
    return Count;
  };
  // The part being read and where its data starts: its data runs to the
  // next delimiter line and is read where it lies (the preamble is
  // dropped); a nested multipart reads its range as parts.
  TqmMessageBody* Current = nullptr;
  TqmMultipartBody* Nested = nullptr;
  int DataBegin = 0;
  TqmLineRangeStream Data(ALines);
  int I = Begin;
  bool Closed = false;
  while (I < Count) {
    int Kind = 0;
    const int Next = NextDelimiter(I, Kind);
    if (Kind == 0) break;
    Closed = Kind == 2;
    I = Next;
    if (Nested) {
      Nested->ParseLines(ALines, DataBegin, I, ADashLines);
    } else if (Current) {
      Data.AddRange(DataBegin, I);
      AddBodyData(Current, Data);
    }
    Current = nullptr;
    Nested = nullptr;
    if (Kind == 2) break;
    // The part's header: up to the first empty line, and never past the
    // next delimiter (a part without header and blank line).
    // A part whose first line is no field has no header; bad lines inside
    // a header are passed over (see HeaderBlockEnd).
    int HeaderEnd = I + 1;
    if (HeaderEnd < Count && IsHeaderFieldLine(ALines.Line(HeaderEnd)) &&
        Classify(ALines.Line(HeaderEnd)) == 0)
      HeaderEnd = HeaderBlockEnd([&](int J) { return ALines.Line(J); }, I + 1, Count,
                                 [&](std::string_view ALine) { return Classify(ALine) != 0; });
    const bool HasBlank = HeaderEnd < Count && ALines.Line(HeaderEnd).empty();
    TStringList Header;
    for (int J = I + 1; J < HeaderEnd; ++J) Header.Append(std::string(ALines.Line(J)));
    // With its empty line, so that bad lines inside it are passed over.
    if (HasBlank) Header.Append(std::string());
    TqmMailHeaderFieldList FieldList(Context().CharSet, Context().GetHeaderEncoding(),
                                     Context().CharsPerLine);
    FieldList.Parse(0, &Header);
    std::string ContentType = FieldList.GetItemValue(FieldList.GetFieldValue("Content-Type"), "");
    bool ParseAgain = false;
    // Without Content-Type a part is plain text, or an embedded message in
    // a digest (RFC 2045 section 5.2, RFC 2046 section 5.1.5).
    const bool Implied = ContentType.empty();
    if (Implied) ContentType = SameText(FContentType, "multipart/digest") ? "message/rfc822" : "text/plain";
    if (HasBlank && StartsWithCI(ContentType, "message/")) {
      // An embedded message: its own header follows the part's (its
      // Subject names the part). Other parts skip this copy of their data.
      for (int J = HeaderEnd + 1, N = 0; J < Count && N < 200 && !ALines.Line(J).empty() &&
                                         Classify(ALines.Line(J)) == 0;
           ++J, ++N)
        Header.Append(std::string(ALines.Line(J)));
      ParseAgain = true;
    }
    if (ParseAgain) FieldList.Parse(0, &Header);
    const std::string Disposition =
        FieldList.GetItemValue(FieldList.GetFieldValue("Content-Disposition"), "");
    TqmMessageBody* Body = CreateBodyForPart(ContentType, Disposition);
    Body->ParseBodyHeader(FieldList);
    if (Implied) Body->SetImpliedContentType(ContentType);
    NoteBadHeaderLines(ALines, I + 1, HeaderEnd, PartPathOf(Body), false);
    for (int J = I + 1; J < HeaderEnd; ++J) Body->RawHeader().Add(std::string(ALines.Line(J)));
    Body->ExtraFields().BeginUpdate();
    for (int F = 0; F < FieldList.FieldCount(); ++F) {
      const std::string Name = FieldList.GetFieldName(F);
      if (!InList(Body->KnownFields(), Name))
        Body->ExtraFields().Add(ExtraFieldLine(Name, FieldList.GetFieldValueAt(F)));
    }
    Body->ExtraFields().EndUpdate();
    Body->SetHeaderStart(I + 1);
    const int DataStart = HasBlank ? HeaderEnd + 1 : HeaderEnd;
    Body->SetDataStart(std::min(DataStart, std::max(Count - 1, AStart)));
    Current = Body;
    Nested = Body->NestedMessage() ? static_cast<TqmMultipartBody*>(Body) : nullptr;
    if (Nested && Nested->IsEncoded()) Nested = nullptr;  // decoded, then read
    DataBegin = DataStart;
    I = DataStart;
  }
  if (Current && !Closed) AddDefect(mdMissingBoundary, PartPathOf(Current), Count - 1, FBoundary);
  if (Nested) {
    Nested->ParseLines(ALines, DataBegin, Count, ADashLines);
  } else if (Current) {
    Data.AddRange(DataBegin, Count);
    AddBodyData(Current, Data);
  }
}

void TqmMailMessage::ParseSinglePart(const TqmMessageLines& ALines, int AHeaderBegin,
                                     int ADataBegin, int AEnd) {
  const int Count = std::min(AEnd, ALines.Count());
  // The header is what comes before the data (nothing for the data of a
  // nested multipart), without its empty line.
  const int HeaderBegin = std::clamp(AHeaderBegin, 0, Count);
  const int DataStart = std::clamp(ADataBegin, HeaderBegin, Count);
  int HeaderEnd = DataStart;
  if (HeaderEnd > HeaderBegin && ALines.Line(HeaderEnd - 1).empty()) --HeaderEnd;
  if (DataStart >= Count && HeaderEnd == DataStart) return;

  TStringList Header;
  for (int J = HeaderBegin; J < HeaderEnd; ++J) Header.Append(std::string(ALines.Line(J)));
  // With its empty line, so that bad lines inside it are passed over.
  const bool HasBlank = HeaderEnd < DataStart;
  if (HasBlank) Header.Append(std::string());
  TqmMailHeaderFieldList FieldList(FSettings.CharSet, GetHeaderEncoding(), Context().CharsPerLine);
  FieldList.Parse(0, &Header);
  TqmMessageBody* Main = CreateSingleBody(ALines, *FBodies);
  Main->ParseBodyHeader(FieldList);
  if (FContentTypeImplied && Main->ContentType().empty()) Main->SetImpliedContentType(FContentType);
  Main->RawHeader().Assign(Header);
  if (HasBlank) Main->RawHeader().Delete(Main->RawHeader().Count() - 1);
  // Of the message's other fields the body takes those that describe its
  // content (Content-Language, Content-Location...): should it become a
  // part of a multipart, they belong in its part header, while Received,
  // DKIM-Signature and the like stay in the message's header only.
  Main->ExtraFields().BeginUpdate();
  Main->ExtraFields().Clear();
  for (int I = 0; I < FExtraFields->Count(); ++I)
    if (StartsText("content-", (*FExtraFields)[I])) Main->ExtraFields().Add((*FExtraFields)[I]);
  Main->ExtraFields().EndUpdate();
  Main->SetHeaderStart(HeaderBegin);
  Main->SetDataStart(DataStart);

  // The data is read where it lies, in ranges: the lines "begin ..." and
  // "end" of uuencoded blocks are left out.
  TqmLineRangeStream Data(ALines);
  int RangeBegin = DataStart;
  TqmAttachmentBody* Open = nullptr;
  for (int I = DataStart; I < Count; ++I) {
    const std::string_view Line = ALines.Line(I);
    if (!Line.empty() && (Line[0] == 'b' || Line[0] == 'B')) {
      const std::string FileName = UUBeginFileName(Line);
      if (!FileName.empty()) {
        SetMessageFormat(mfUUencode);
        Data.AddRange(RangeBegin, I);
        AddBodyData(Open ? static_cast<TqmMessageBody*>(Open) : Main, Data);
        RangeBegin = I + 1;
        Open = CreateUUAttachment(FileName);
        Open->SetHeaderStart(I);
        Open->SetDataStart(I + 1);
        continue;
      }
    }
    if (FSettings.MessageFormat == mfUUencode && Line.size() <= 16 &&
        SameText(Trim(std::string(Line)), "end")) {
      Data.AddRange(RangeBegin, I);
      RangeBegin = I + 1;
      if (Open) {
        AddBodyData(Open, Data);
        Open = nullptr;
      }
      continue;
    }
  }
  Data.AddRange(RangeBegin, Count);
  AddBodyData(Main, Data);
}

void TqmMailMessage::RemoveEmptyTextBodies() {
  for (int I = FBodies->Count() - 1; I >= 0; --I) {
    TqmMessageBody* Body = FBodies->Items(I);
    if (Body->IsText() && Trim(static_cast<TqmTextBody*>(Body)->Strings().Text()).empty())
      FBodies->Delete(I);
  }
}

// ---------------------------------------------------------------------------
// Display text

namespace {

void CollectTexts(TqmMessageBodies& ABodies, std::vector<TqmTextBody*>& ATexts) {
  for (int I = 0; I < ABodies.Count(); ++I) {
    TqmMessageBody* Body = ABodies.Items(I);
    if (Body->IsText())
      ATexts.push_back(static_cast<TqmTextBody*>(Body));
    else if (TqmMailMessage* Inner = Body->NestedMessage())
      CollectTexts(Inner->Bodies(), ATexts);
  }
}

}  // namespace

TStrings& TqmMailMessage::GetMessageText() {
  FMessageText.Clear();
  std::vector<TqmTextBody*> Texts;
  CollectTexts(*FBodies, Texts);
  for (TqmTextBody* Text : Texts) {
    if (SameText(Text->ContentType(), "text/html")) {
      FMessageText.AddStrings(Text->Strings());
      return FMessageText;
    }
  }
  for (TqmTextBody* Text : Texts)
    if (SameText(Text->ContentType(), "text/plain")) FMessageText.AddStrings(Text->Strings());
  if (Trim(FMessageText.Text()).empty()) {
    FMessageText.Clear();
    for (TqmTextBody* Text : Texts) FMessageText.AddStrings(Text->Strings());
  }
  return FMessageText;
}

}  // namespace qm
