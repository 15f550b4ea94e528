// One Internet message: its header properties and its tree of bodies, built
// from texts and files, rendered into the lines sent after DATA, and read
// back from received lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStrings.h"
#include "core/qmTypes.h"
#include "message/qmEmailAddress.h"
#include "message/qmEncoder.h"
#include "message/qmMessageBodies.h"

namespace qm {

class TqmDkim;
class TqmMailHeaderFieldList;
class TMemoryStream;

enum TqmMessagePriority { mpLow, mpNormal, mpHigh };
enum TqmMessageFormat { mfNone, mfMIME, mfUUencode };
// What a decoding error of a part does: keep what was decoded, keep the
// part undecoded, or end the reading with the error.
enum TqmMessageErrorProcessing { meExtractMaximumData, meIgnore, meStop };

// Multiparts nested deeper than this are kept as undecoded data.
constexpr int qmMaxMultipartNesting = 100;

class TqmMailMessage : public TComponent {
 public:
  explicit TqmMailMessage(TComponent* AOwner = nullptr);
  ~TqmMailMessage() override;

  // Properties.
  TqmMessageBodies& Bodies() { return *FBodies; }
  const TqmMessageBodies& Bodies() const { return *FBodies; }
  const std::string& Subject() const { return FSubject; }
  void SetSubject(const std::string& AValue);
  TqmEmailAddressItem& From() const;
  TqmEmailAddressList& ToList() const { return *FToList; }
  TqmEmailAddressList& CCList() const { return *FCCList; }
  TqmEmailAddressList& BCCList() const { return *FBCCList; }
  TqmMessagePriority Priority() const { return FPriority; }
  void SetPriority(TqmMessagePriority AValue);
  TDateTime Date() const { return FDate; }
  void SetDate(TDateTime AValue);
  const std::string& CharSet() const { return FCharSet; }
  // "iso-2022-jp" (any case) is stored in lower case and also sets Encoding
  // to cm8Bit and AllowESC.
  void SetCharSet(const std::string& AValue);
  const std::string& ContentType() const { return FContentType; }
  void SetContentType(const std::string& AValue);
  const std::string& ContentSubType() const { return FContentSubType; }
  void SetContentSubType(const std::string& AValue);
  const std::string& ContentDisposition() const { return FContentDisposition; }
  void SetContentDisposition(const std::string& AValue);
  TqmMessageFormat MessageFormat() const { return FMessageFormat; }
  void SetMessageFormat(TqmMessageFormat AValue);
  TqmEncodeMethod Encoding() const { return FEncoding; }
  void SetEncoding(TqmEncodeMethod AValue);
  TqmEncodeMethod HeaderEncoding() const { return FHeaderEncoding; }
  void SetHeaderEncoding(TqmEncodeMethod AValue);
  const std::string& MimeOLE() const { return FMimeOLE; }
  void SetMimeOLE(const std::string& AValue);
  const std::string& Mailer() const { return FMailer; }
  void SetMailer(const std::string& AValue);
  const std::string& ReplyTo() const { return FReplyTo; }
  void SetReplyTo(const std::string& AValue);
  TStringList& References() { return *FReferences; }
  TStringList& NewsGroups() { return *FNewsGroups; }
  TStringList& ExtraFields() { return *FExtraFields; }
  const TStringList& References() const { return *FReferences; }
  const TStringList& NewsGroups() const { return *FNewsGroups; }
  const TStringList& ExtraFields() const { return *FExtraFields; }
  const std::string& ReadReceiptTo() const { return FReadReceiptTo; }
  void SetReadReceiptTo(const std::string& AValue);
  const std::string& MessageID() const { return FMessageID; }
  void SetMessageID(const std::string& AValue);
  const std::string& InReplyTo() const { return FInReplyTo; }
  void SetInReplyTo(const std::string& AValue);
  const std::string& ListUnsubscribe() const { return FListUnsubscribe; }
  void SetListUnsubscribe(const std::string& AValue);
  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int AValue);
  bool AllowESC() const { return FAllowESC; }
  void SetAllowESC(bool AValue);
  bool UseHeaderEncodingExtensions() const { return FUseHeaderEncodingExtensions; }
  void SetUseHeaderEncodingExtensions(bool AValue);
  TqmMessageErrorProcessing ErrorProcessing() const { return FErrorProcessing; }
  void SetErrorProcessing(TqmMessageErrorProcessing AValue);
  // The DKIM component that signs the rendering and verifies what is read;
  // a link, cleared when that component is destroyed.
  TqmDkim* Dkim() const { return FDkim; }
  void SetDkim(TqmDkim* AValue);

  // What reading found.
  const TStringList& RawHeader() const { return FRawHeader; }
  int BodyStart() const { return FBodyStart; }
  const TStringList& KnownFields() const { return FKnownFields; }
  TDateTime TimeZoneOffset() const { return FTimeZoneOffset; }
  const std::string& Boundary() const { return FBoundary; }
  void SetBoundary(const std::string& AValue) { FBoundary = AValue; }

  // Events.
  TNotifyEvent OnChanged;
  TqmAttachmentEvent OnSaveAttachment;
  TqmAttachmentEvent OnLoadAttachment;
  TqmAttachmentSavedEvent OnAttachmentSaved;
  TqmBodyDataAddedEvent OnDataAdded;
  TqmBodyProgressEvent OnEncodingProgress;

  // Building and rendering.
  void BuildMessage(const std::string& AText, const std::string& AHtml,
                    const std::vector<std::string>& AAttachments,
                    const std::vector<std::string>& AImages);
  void BuildMessage(const std::string& AText, const std::string& AHtml);
  // The rendered lines, cached until the next change.
  TStrings& MessageSource();

  // Reading.
  void ParseMessage(const TStrings& ALines);
  void ParseHeaderOnly(const TStrings& ALines);
  // The lines to show: the first HTML text, else the plain texts, else all.
  TStrings& GetMessageText();

  void BeginUpdate();
  void EndUpdate();
  // Empties the rendering and tells OnChanged (unless held back).
  void Changed();
  bool IsMultipart() const;
  bool IsParsing() const;

  // Overridable operations, in slot order.
  virtual void ClearForParse();
  virtual TqmMessageBody* CreateBodyForPart(const std::string& AContentType,
                                            const std::string& ADisposition);
  virtual TqmMessageBody* CreateSingleBody(const TStrings& ALines, TqmMessageBodies& ABodies);
  virtual TqmAttachmentBody* CreateUUAttachment(const std::string& AFileName);
  virtual void DoChanged();
  virtual void DoSaveAttachment(TqmAttachmentBody* ABody, std::string& AFileName,
                                std::unique_ptr<TStream>& AData, bool& Handled);
  virtual void DoLoadAttachment(TqmAttachmentBody* ABody, std::string& AFileName,
                                std::unique_ptr<TStream>& AData, bool& Handled);
  virtual void DoAttachmentSaved(TqmAttachmentBody* ABody, const std::string& AFileName,
                                 TStream* AData);
  virtual void DoDataAdded(TqmMessageBody* ABody, TStream* AData);
  virtual void DoEncodingProgress(TqmMessageBody* ABody, int64_t ABytesProceed,
                                  int64_t ATotalBytes);
  virtual void ParseContentFields(TqmMailHeaderFieldList& AFieldList);
  virtual void AssignContentType(TqmMailHeaderFieldList& AFieldList);
  virtual void RegisterKnownFields();
  virtual void Reset();
  // A boundary for the next rendering (GenerateBoundary).
  virtual std::string NewBoundary();

  // The header encoding every header list of the message uses.
  TqmEncodeMethod GetHeaderEncoding() const;
  // A fresh boundary ("Mark=_" and numbers).
  static std::string GenerateBoundary();

  // Nested messages (the inner message of a multipart body).
  TqmMailMessage* Parent() const { return FParent; }
  TqmMailMessage* Root();
  const TqmMailMessage* Root() const;
  int NestingLevel() const { return FNestingLevel; }
  void SetParent(TqmMailMessage* AParent);

  // The bodies written as lines (with the delimiters of this message's
  // boundary when it is multipart); used for the message and for nested
  // multiparts. A boundary that occurs in the content is redrawn.
  void RenderBodies(std::vector<std::string>& ALines);
  // Reads the lines from AStart as this message's bodies.
  void ParseBodies(const TStrings& ALines, int AStart);

 protected:
  void Loaded() override;
  void Notification(TComponent* AComponent, TOperation AOperation) override;

 private:
  void ParseHeader(const TStrings& ALines);
  void ParseMultipart(const TStrings& ALines, int AStart);
  void ParseSinglePart(const TStrings& ALines, int AStart);
  // One body's lines (part header, data, closing lines) and where its data
  // lines are, so the boundary check can pass over data without "--" lines.
  struct TRenderedBody {
    std::vector<std::string> Lines;
    size_t DataBegin = 0, DataEnd = 0;
    bool DataHasDashLine = false;
  };
  // Renders every body and draws the boundary; the delimiters are added by
  // the callers.
  std::vector<TRenderedBody> RenderBodyBlocks();
  size_t RenderedLineCount(const std::vector<TRenderedBody>& ABlocks) const;
  bool DelimitsBodies() const;

  void RemoveEmptyTextBodies();
  void ClearProperties();
  void RenderHeader(TStrings& ALines, TqmMailHeaderFieldList& AFieldList, int& ADateLine);
  void AddBodyData(TqmMessageBody* ABody, TMemoryStream& AData, int ALineCount);

  std::unique_ptr<TqmMessageBodies> FBodies;
  std::string FSubject;
  std::unique_ptr<TqmEmailAddressList> FFromHolder;  // one item: From
  std::unique_ptr<TqmEmailAddressList> FToList;
  std::unique_ptr<TqmEmailAddressList> FCCList;
  std::unique_ptr<TqmEmailAddressList> FBCCList;
  TqmMessagePriority FPriority = mpNormal;
  TDateTime FDate = 0;
  std::string FCharSet = "iso-8859-1";
  std::string FContentType = "text/plain";
  std::string FContentSubType;
  std::string FContentDisposition;
  TqmMessageFormat FMessageFormat = mfNone;
  TqmEncodeMethod FEncoding = cmNone;
  TqmEncodeMethod FHeaderEncoding = cmNone;
  std::string FMimeOLE;
  std::string FMailer;
  std::string FReplyTo;
  std::unique_ptr<TStringList> FReferences;
  std::unique_ptr<TStringList> FNewsGroups;
  std::unique_ptr<TStringList> FExtraFields;
  std::string FReadReceiptTo;
  std::string FMessageID;
  std::string FInReplyTo;
  std::string FListUnsubscribe;
  int FCharsPerLine = 76;
  bool FAllowESC = false;
  bool FUseHeaderEncodingExtensions = false;
  TqmMessageErrorProcessing FErrorProcessing = meExtractMaximumData;
  TqmDkim* FDkim = nullptr;

  TStringList FRawHeader;
  int FBodyStart = 0;
  TStringList FKnownFields;
  TDateTime FTimeZoneOffset = 0;
  std::string FBoundary;

  std::unique_ptr<TStringList> FMessageSource;  // null: no cached rendering
  TStringList FMessageText;
  int FUpdateCount = 0;
  bool FChangedInUpdate = false;
  int FParseCount = 0;
  int FRenderCount = 0;  // above zero while the rendering is written
  int FDateLine = -1;  // the line after "Date" in the last rendering
  TqmMailMessage* FParent = nullptr;
  int FNestingLevel = 0;
};

}  // namespace qm
