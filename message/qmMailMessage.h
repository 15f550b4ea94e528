// One Internet message: its header properties and its tree of bodies, built
// from texts and files, rendered into the lines sent after DATA, and read
// back from received lines.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStrings.h"
#include "core/qmTypes.h"
#include "message/qmEmailAddress.h"
#include "message/qmEncoder.h"
#include "message/qmMessageAuthenticator.h"
#include "message/qmMessageBodies.h"
#include "message/qmMessageContext.h"
#include "message/qmMessageDefects.h"

namespace qm {

class TqmDkim;
class TqmMailHeaderFieldList;
class TqmLineRangeStream;
class TqmMessageLines;

/// Priority: written as Importance and X-Priority (mpNormal: neither), read
/// from Importance, X-Priority or X-MSMail-Priority.
enum TqmMessagePriority { mpLow, mpNormal, mpHigh };

/// Multiparts nested deeper than this are kept as undecoded data.
constexpr int qmMaxMultipartNesting = 100;


/// One Internet message (RFC 5322, MIME): header properties and a tree of
/// bodies (Bodies()). Build one with BuildMessage() and the properties and
/// send it with TqmSmtp::Send; read one with ParseMessage() (TqmPop3::Retrieve
/// does it) and take its texts and attachments from Bodies().
///
/// Texts are UTF-8; CharSet is the character set they are written in.
/// Every change clears the cached rendering and raises OnChanged.
///
/// Attachments are files named by path (or streams given by
/// OnLoadAttachment); they are read when the message is rendered
/// (MessageSource(), called by TqmSmtp::Send), not when they are added. A
/// file that cannot be opened then raises EStreamError.
class TqmMailMessage : public TComponent {
 public:
  /// An empty message: text/plain, CharSet "iso-8859-1", Date now.
  explicit TqmMailMessage(TComponent* AOwner = nullptr);
  ~TqmMailMessage() override;

  // Properties.
  /// The parts: texts, attachments, images, nested multiparts.
  ///@{
  TqmMessageBodies& Bodies() { return *FBodies; }
  const TqmMessageBodies& Bodies() const { return *FBodies; }
  ///@}
  /// The subject, UTF-8 (encoded words on the wire when needed). Cleared by
  /// BuildMessage(): set it afterwards.
  ///@{
  const std::string& Subject() const { return FSubject; }
  void SetSubject(const std::string& AValue);
  ///@}
  /// The sender (From). Cleared by BuildMessage().
  TqmEmailAddressItem& From() const;
  /// The To, Cc and Bcc recipients. Cleared by BuildMessage(): fill them
  /// afterwards. Bcc is never sent as a field by TqmSmtp.
  ///@{
  TqmEmailAddressList& ToList() const { return *FToList; }
  TqmEmailAddressList& CCList() const { return *FCCList; }
  TqmEmailAddressList& BCCList() const { return *FBCCList; }
  ///@}
  /// The priority (default mpNormal).
  ///@{
  TqmMessagePriority Priority() const { return FPriority; }
  void SetPriority(TqmMessagePriority AValue);
  ///@}
  /// The Date in local time (a new message: now). A read message's date is
  /// converted to local time (see MailDateToDateTime); its own zone is in
  /// TimeZoneOffset().
  ///@{
  TDateTime Date() const { return FDate; }
  void SetDate(TDateTime AValue);
  ///@}
  /// The character set texts and header are written in (default
  /// "iso-8859-1"; a text it cannot hold is written in UTF-8 instead). A
  /// read message takes the charset of its Content-Type. "iso-2022-jp"
  /// (any case) is stored in lower case and also sets Encoding to cm8Bit
  /// and AllowESC.
  ///@{
  const std::string& CharSet() const { return FSettings.CharSet; }
  void SetCharSet(const std::string& AValue);
  ///@}
  /// The media type of the message ("text/plain", "multipart/mixed", ...);
  /// BuildMessage() sets it.
  ///@{
  const std::string& ContentType() const { return FContentType; }
  void SetContentType(const std::string& AValue);
  ///@}
  /// Whether the last message read had no Content-Type (ContentType is then
  /// text/plain, RFC 2045 section 5.2), and whether its text had no charset
  /// (CharSet is then "us-ascii"). Written back, the message gets neither
  /// while its text is ASCII. Setting ContentType or CharSet clears them.
  ///@{
  bool ContentTypeImplied() const { return FContentTypeImplied; }
  bool CharSetImplied() const { return FCharSetImplied; }
  ///@}
  /// The "type" parameter of a multipart/related message.
  ///@{
  const std::string& ContentSubType() const { return FContentSubType; }
  void SetContentSubType(const std::string& AValue);
  ///@}
  /// The Content-Disposition of the message itself ("attachment" for a
  /// message that is one file); empty by default.
  ///@{
  const std::string& ContentDisposition() const { return FContentDisposition; }
  void SetContentDisposition(const std::string& AValue);
  ///@}
  /// The format (see TqmMessageFormat; default mfNone).
  ///@{
  TqmMessageFormat MessageFormat() const { return FSettings.MessageFormat; }
  void SetMessageFormat(TqmMessageFormat AValue);
  ///@}
  /// The transfer encoding of a single-part message (cmNone, default: the
  /// body chooses; see TqmEncodeMethod).
  ///@{
  TqmEncodeMethod Encoding() const { return FSettings.Encoding; }
  void SetEncoding(TqmEncodeMethod AValue);
  ///@}
  /// The encoding of non-ASCII header text: cmQuotedPrintable (Q) or
  /// cmBase64 (B); cmNone (default): as Encoding (see GetHeaderEncoding()).
  ///@{
  TqmEncodeMethod HeaderEncoding() const { return FSettings.HeaderEncoding; }
  void SetHeaderEncoding(TqmEncodeMethod AValue);
  ///@}
  /// The X-MimeOLE field (empty: none).
  ///@{
  const std::string& MimeOLE() const { return FMimeOLE; }
  void SetMimeOLE(const std::string& AValue);
  ///@}
  /// The X-Mailer field (empty: none; TqmSmtp adds its MailAgent).
  ///@{
  const std::string& Mailer() const { return FMailer; }
  void SetMailer(const std::string& AValue);
  ///@}
  /// The Reply-To address ("Name <a@b>").
  ///@{
  const std::string& ReplyTo() const { return FReplyTo; }
  void SetReplyTo(const std::string& AValue);
  ///@}
  /// References (message ids, joined with spaces), Newsgroups (joined with
  /// commas), and ExtraFields: further header lines ("Name: value"),
  /// written as they are; a read message lists here every field that is
  /// not in KnownFields().
  ///@{
  TStringList& References() { return *FReferences; }
  TStringList& NewsGroups() { return *FNewsGroups; }
  TStringList& ExtraFields() { return *FExtraFields; }
  const TStringList& References() const { return *FReferences; }
  const TStringList& NewsGroups() const { return *FNewsGroups; }
  const TStringList& ExtraFields() const { return *FExtraFields; }
  ///@}
  /// The address for a read receipt (Disposition-Notification-To).
  ///@{
  const std::string& ReadReceiptTo() const { return FReadReceiptTo; }
  void SetReadReceiptTo(const std::string& AValue);
  ///@}
  /// The Message-ID ("<...>"); TqmSmtp::Send sets a new one.
  ///@{
  const std::string& MessageID() const { return FMessageID; }
  void SetMessageID(const std::string& AValue);
  ///@}
  /// The In-Reply-To field (the id of the message answered).
  ///@{
  const std::string& InReplyTo() const { return FInReplyTo; }
  void SetInReplyTo(const std::string& AValue);
  ///@}
  /// The List-Unsubscribe field, written unfolded.
  ///@{
  const std::string& ListUnsubscribe() const { return FListUnsubscribe; }
  void SetListUnsubscribe(const std::string& AValue);
  ///@}
  /// The longest line the encoders write, in characters (default 76).
  ///@{
  int CharsPerLine() const { return FSettings.CharsPerLine; }
  void SetCharsPerLine(int AValue);
  ///@}
  /// Whether ESC is allowed in 8-bit text (needed by iso-2022-jp; default
  /// false).
  ///@{
  bool AllowESC() const { return FSettings.AllowESC; }
  void SetAllowESC(bool AValue);
  ///@}
  /// Whether attachments also carry their file name as RFC 2231 parameters
  /// (name*=, filename*=) next to the plain ones (default false).
  ///@{
  bool UseHeaderEncodingExtensions() const { return FSettings.UseHeaderEncodingExtensions; }
  void SetUseHeaderEncodingExtensions(bool AValue);
  ///@}
  /// What a part that cannot be decoded does (default
  /// meExtractMaximumData).
  ///@{
  TqmMessageErrorProcessing ErrorProcessing() const { return FSettings.ErrorProcessing; }
  void SetErrorProcessing(TqmMessageErrorProcessing AValue);
  ///@}
  /// The DKIM component that signs the rendering and verifies what is read;
  /// a link, cleared when that component is destroyed.
  ///@{
  TqmDkim* Dkim() const { return FDkim; }
  /// (A template only so that it is compiled where TqmDkim is complete: the
  /// message reaches the component through TqmMessageAuthenticator.)
  template <class TDkim = TqmDkim>
  void SetDkim(TDkim* AValue) {
    LinkAuthenticator(AValue, AValue, AValue);
  }
  void SetDkim(std::nullptr_t) { LinkAuthenticator(nullptr, nullptr, nullptr); }
  ///@}

  // What reading found.
  /// The header lines of the last message read, as they came.
  const TStringList& RawHeader() const { return FRawHeader; }
  /// The index of the first body line in the lines read.
  int BodyStart() const { return FBodyStart; }
  /// The fields read into properties; all others go to ExtraFields().
  const TStringList& KnownFields() const { return FKnownFields; }
  /// The zone of the Date read, as a fraction of a day (+02:00 is 2/24).
  TDateTime TimeZoneOffset() const { return FTimeZoneOffset; }
  /// What the parser repaired or passed over in the last message read, in
  /// the order met; reading never fails because of a defect it can repair.
  /// Kept by the outermost message (a nested one hands its own on).
  const std::vector<TqmMessageDefect>& Defects() const { return Root()->FDefects; }
  /// Records a defect of this message (APart empty) or of one of its parts;
  /// used by the parser and by the bodies while they are read.
  void AddDefect(TqmMessageDefectKind AKind, const std::string& APart, int ALine,
                 std::string AText);
  /// The position of this message's parts in the tree: "" for the
  /// outermost message, "2.1" for the message nested in part 2.1.
  std::string PartPath() const;
  /// The position of one of this message's bodies ("" when it is not one).
  std::string PartPathOf(const TqmMessageBody* ABody) const;
  /// The multipart boundary read, or drawn for the last rendering.
  ///@{
  const std::string& Boundary() const { return FBoundary; }
  void SetBoundary(const std::string& AValue) { FBoundary = AValue; }
  ///@}

  // Events. A nested message passes them on to the outermost one.
  /// After a change (held back between BeginUpdate() and EndUpdate()).
  TNotifyEvent OnChanged;
  /// A read attachment's data is about to be decoded: the handler may
  /// supply the stream to write to (the body owns it), change the file
  /// name, and set Handled. Without a stream the data is not kept.
  TqmAttachmentEvent OnSaveAttachment;
  /// An attachment's data is needed for rendering: the handler may supply
  /// a stream instead of the file, or change the file name.
  TqmAttachmentEvent OnLoadAttachment;
  /// A read attachment's data has been written to its stream.
  TqmAttachmentSavedEvent OnAttachmentSaved;
  /// A read body received its decoded data (the stream at position 0).
  TqmBodyDataAddedEvent OnDataAdded;
  /// Progress of encoding one body's data while rendering, in bytes.
  TqmBodyProgressEvent OnEncodingProgress;

  // Building and rendering.
  /// Starts a new message: clears the bodies, the subject, From and every
  /// address list, the dates and ids (CharSet, Encoding, HeaderEncoding and
  /// AllowESC are kept), then adds the text (plain), the HTML text, the
  /// attachments (file paths) and the inline images (file paths; each
  /// occurrence of the path in the HTML becomes "cid:<id>"). The structure
  /// follows: text/plain, text/html, multipart/alternative, /mixed,
  /// /related. Set the subject and addresses after it. Files are not read
  /// here.
  void BuildMessage(const std::string& AText, const std::string& AHtml,
                    const std::vector<std::string>& AAttachments,
                    const std::vector<std::string>& AImages);
  /// BuildMessage() without attachments or images.
  void BuildMessage(const std::string& AText, const std::string& AHtml);
  /// The rendered lines (header, empty line, bodies), cached until the next
  /// change; signed when Dkim is set. Reads the attachments; raises when a
  /// file cannot be read.
  TStrings& MessageSource();

  // Reading.
  /// Reads a whole message (lines without line ends, as from a file or
  /// TqmPop3::Retrieve) into the properties and Bodies(); verified when
  /// Dkim is set. Malformed input is read as far as it goes (see
  /// ErrorProcessing).
  void ParseMessage(const TStrings& ALines);
  /// Reads a whole message from its text (lines ending in CR LF, LF or
  /// CR), as ParseMessage(lines) reads the same text split into lines. The
  /// text is read where it lies: no string is made per line, so this is
  /// the faster and smaller way for a message held in memory or a file.
  void ParseMessage(std::string_view AText);
  /// Reads only the header of ALines (or of a message's text); Bodies()
  /// stays empty.
  ///@{
  void ParseHeaderOnly(const TStrings& ALines);
  void ParseHeaderOnly(std::string_view AText);
  ///@}
  /// The lines to show: the first HTML text, else the plain texts, else all.
  TStrings& GetMessageText();

  /// Hold OnChanged back until the matching EndUpdate(), which raises it
  /// once if something changed. Calls nest.
  ///@{
  void BeginUpdate();
  void EndUpdate();
  ///@}
  /// Empties the rendering and tells OnChanged (unless held back).
  void Changed();
  /// Whether the message has more than one body or a multipart type.
  bool IsMultipart() const;
  /// Whether a ParseMessage() is running (here or in an outer message).
  bool IsParsing() const;

  /// Overridable operations, in slot order: for a descendant that
  /// changes how parts are created or read.
  ///@{
  virtual void ClearForParse();
  virtual TqmMessageBody* CreateBodyForPart(const std::string& AContentType,
                                            const std::string& ADisposition);
  virtual TqmMessageBody* CreateSingleBody(const TStrings& ALines, TqmMessageBodies& ABodies);
  virtual TqmAttachmentBody* CreateUUAttachment(const std::string& AFileName);
  ///@}
  /// Event dispatchers (a nested message forwards to its Parent()).
  ///@{
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
  ///@}
  /// Header handling: the content fields read and written, the list of
  /// known fields, and Reset(), which empties every property (CharSet
  /// back to "iso-8859-1").
  ///@{
  virtual void ParseContentFields(TqmMailHeaderFieldList& AFieldList);
  virtual void AssignContentType(TqmMailHeaderFieldList& AFieldList);
  virtual void RegisterKnownFields();
  virtual void Reset();
  ///@}
  /// A boundary for the next rendering (GenerateBoundary).
  virtual std::string NewBoundary();

  /// The header encoding every header list of the message uses:
  /// HeaderEncoding, else Encoding.
  TqmEncodeMethod GetHeaderEncoding() const { return FSettings.GetHeaderEncoding(); }
  /// The settings the parts of this message read and write with: the
  /// outermost message's (see TqmMessageContext).
  const TqmMessageContext& Context() const { return *FContext; }
  /// A fresh boundary ("Mark=_" and numbers).
  static std::string GenerateBoundary();

  /// Nested messages (the inner message of a multipart body): the outer
  /// message, the outermost one, and the depth (0 at the top).
  ///@{
  TqmMailMessage* Parent() const { return FParent; }
  TqmMailMessage* Root();
  const TqmMailMessage* Root() const;
  int NestingLevel() const { return FNestingLevel; }
  void SetParent(TqmMailMessage* AParent);
  ///@}

  /// The bodies written as lines (with the delimiters of this message's
  /// boundary when it is multipart); used for the message and for nested
  /// multiparts. A boundary that occurs in the content is redrawn.
  void RenderBodies(std::vector<std::string>& ALines);
  /// Reads the lines from AStart as this message's bodies.
  void ParseBodies(const TStrings& ALines, int AStart);

 protected:
  /// Raises OnChanged after a stored form was loaded.
  void Loaded() override;
  /// Clears the Dkim link when that component is destroyed.
  void Notification(TComponent* AComponent, TOperation AOperation) override;

 private:
  friend class TqmMultipartBody;
  void LinkAuthenticator(TqmDkim* ADkim, TComponent* AComponent, TqmMessageAuthenticator* AAuthenticator);
  void ParseHeader(const TStrings& ALines);
  // Reads a message: the header from AHeader (ALines or its first lines),
  // the bodies from ALines.
  void ParseMessageLines(const TqmMessageLines& ALines, const TStrings& AHeader);
  // Every level of nesting reads its own range of the one list of lines:
  // the data is [ADataBegin, AEnd), the header of a single part
  // [AHeaderBegin, ADataBegin). Nothing of a level is copied for the next.
  // ADashLines: the positions in ALines of the lines that start with "--",
  // ascending (the only lines that can be delimiters). Found once per
  // message and shared by every level, so a level visits the delimiters of
  // its range and not every line of it; built on the spot when not given.
  using TDashLines = std::vector<int>;
  void ParseBodyRange(const TqmMessageLines& ALines, int AHeaderBegin, int ADataBegin, int AEnd,
                      const TDashLines* ADashLines = nullptr);
  void ParseMultipart(const TqmMessageLines& ALines, int AStart, int AEnd,
                      const TDashLines* ADashLines);
  void ParseSinglePart(const TqmMessageLines& ALines, int AHeaderBegin, int ADataBegin, int AEnd);
  // Reads a multipart whose lines are base64 or quoted-printable; false
  // (nothing read) when its decoded text holds no parts.
  bool ParseEncodedMultipart(const TqmMessageLines& ALines, int ABegin, int AEnd);
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
  // Records the lines of [ABegin, AEnd) that are neither fields nor
  // continuations (the first may be an mbox "From " line when AFromLine).
  void NoteBadHeaderLines(const TqmMessageLines& ALines, int ABegin, int AEnd,
                          const std::string& APart, bool AFromLine);
  void ClearProperties();
  void RenderHeader(TStrings& ALines, TqmMailHeaderFieldList& AFieldList, int& ADateLine);
  // Hands the lines of AData to ABody as its data and empties AData.
  void AddBodyData(TqmMessageBody* ABody, TqmLineRangeStream& AData);

  std::unique_ptr<TqmMessageBodies> FBodies;
  std::string FSubject;
  std::unique_ptr<TqmEmailAddressList> FFromHolder;  // one item: From
  std::unique_ptr<TqmEmailAddressList> FToList;
  std::unique_ptr<TqmEmailAddressList> FCCList;
  std::unique_ptr<TqmEmailAddressList> FBCCList;
  TqmMessagePriority FPriority = mpNormal;
  TDateTime FDate = 0;
  std::string FContentType = "text/plain";
  bool FContentTypeImplied = false;
  bool FCharSetImplied = false;
  std::string FContentSubType;
  std::string FContentDisposition;
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
  TqmDkim* FDkim = nullptr;
  // The same component as FDkim, seen as what the message uses of it.
  TComponent* FDkimComponent = nullptr;
  TqmMessageAuthenticator* FAuthenticator = nullptr;

  std::vector<TqmMessageDefect> FDefects;
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
  // This message's own settings (its properties), and those its parts use:
  // its own, or the outermost message's when it is nested.
  TqmMessageContext FSettings;
  const TqmMessageContext* FContext = &FSettings;
};

}  // namespace qm
