// The parts of a mail message: plain or HTML text, attached files, inline
// images and nested multiparts, and the ordered collection that holds them.
// File content never passes through a body: the owning application supplies
// and receives streams through the message's events.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStrings.h"
#include "message/qmEncoder.h"
#include "message/qmMessageDefects.h"

namespace qm {

class TStream;
class TMemoryStream;
class TqmMailMessage;
class TqmMailHeaderFieldList;
class TqmMessageBodies;
class TqmMessageBody;
class TqmMessageLines;
struct TqmMessageContext;
class TqmAttachmentBody;

/// An attachment's data is wanted (load) or offered (save). The handler may
/// change the file name, supply a stream (the body takes it over and frees it
/// when done) and set Handled.
using TqmAttachmentEvent =
    std::function<void(TObject* Sender, TqmAttachmentBody* ABody, std::string& AFileName,
                       std::unique_ptr<TStream>& AData, bool& Handled)>;
/// The decoded data of an attachment has been written to its stream.
using TqmAttachmentSavedEvent = std::function<void(TObject* Sender, TqmAttachmentBody* ABody,
                                                   const std::string& AFileName, TStream* AData)>;
/// A body received its decoded data (the stream is at position 0).
using TqmBodyDataAddedEvent =
    std::function<void(TObject* Sender, TqmMessageBody* ABody, TStream* AData)>;
/// Progress of encoding one body's data.
using TqmBodyProgressEvent = std::function<void(TObject* Sender, TqmMessageBody* ABody,
                                                int64_t ABytesProceed, int64_t ATotalBytes)>;

/// The name of a transfer encoding as written in Content-Transfer-Encoding
/// ("7bit", "quoted-printable", "base64", "8bit"; nothing for UUencode).
std::string EncodingName(TqmEncodeMethod AMethod);
/// The transfer encoding a Content-Transfer-Encoding value names, read
/// without case, comments and white space: quoted-printable, base64, the
/// UUencode names (x-uuencode, x-uue, uuencode, x-uu); anything else
/// (7bit, 8bit, binary, unknown) is taken as it stands (cmNone).
TqmEncodeMethod EncodingFromName(std::string_view AValue);
/// NUL, '"', '*', '/', ':', '<', '>', '?', '\' and '|' become '_'; a final
/// space or dot goes; an empty result becomes "_".
std::string MakeValidFileName(const std::string& AName);
/// A received file name reduced to a name without any directory or control
/// character: '/', '\' and 0x00-0x1F, 0x7F become '_' and a name of only
/// dots becomes '_'.
std::string SafeReceivedFileName(const std::string& AName);
/// The part of a path after its last '/'.
std::string ExtractFilePart(const std::string& APath);

/// One part of a message: its content type, transfer encoding, disposition
/// and further header fields, and its data. The data itself is held by the
/// descendants: text lines (TqmTextBody), a file or stream
/// (TqmAttachmentBody, TqmImageBody) or nested parts (TqmMultipartBody).
/// Create bodies through TqmMessageBodies, which owns them.
class TqmMessageBody : public TPersistent {
 public:
  /// A body of ABodies; call Initialize() before use (TqmMessageBodies does).
  explicit TqmMessageBody(TqmMessageBodies* ABodies);
  ~TqmMessageBody() override;

  /// The list that owns the body.
  TqmMessageBodies* Owner() const { return FOwner; }
  /// The message whose bodies these are (a nested multipart's inner
  /// message; it passes the events on to the outermost one).
  TqmMailMessage* Message() const;
  /// The settings the body reads and writes with (charset, encodings, line
  /// width, error policy, format): the outermost message's, taken from
  /// its own message; null for a body outside any message.
  const TqmMessageContext* Context() const;
  /// The registered class name ("TqmTextBody", ...), used when bodies are
  /// streamed.
  virtual const char* ClassName() const = 0;

  /// The media type ("text/plain", "application/pdf", ...).
  const std::string& ContentType() const { return FContentType; }
  /// Whether ContentType was implied, not read: a part without Content-Type
  /// is text/plain (message/rfc822 in a multipart/digest; RFC 2045 5.2,
  /// RFC 2046 5.1.5). Written back, it still gets no Content-Type while its
  /// type stays that and its text is ASCII. SetImpliedContentType() sets
  /// such a type (the parser does); a change of the type clears the flag.
  ///@{
  bool ContentTypeImplied() const { return FContentTypeImplied; }
  void SetImpliedContentType(const std::string& AValue);
  ///@}
  /// The transfer encoding set or read (cmNone: chosen from the data when
  /// rendered; see GetEncoding()).
  ///@{
  TqmEncodeMethod Encoding() const { return FEncoding; }
  void SetEncoding(TqmEncodeMethod AValue);
  ///@}
  /// "attachment", "inline" or empty.
  ///@{
  const std::string& ContentDisposition() const { return FContentDisposition; }
  void SetContentDisposition(const std::string& AValue);
  ///@}
  /// Header lines of this part beyond its known fields ("Name: value").
  ///@{
  TStringList& ExtraFields() { return *FExtraFields; }
  const TStringList& ExtraFields() const { return *FExtraFields; }
  ///@}
  /// The fields read into the body's properties; others go to ExtraFields().
  const TStringList& KnownFields() const { return FKnownFields; }
  /// The part's header lines as received.
  ///@{
  TStringList& RawHeader() { return FRawHeader; }
  const TStringList& RawHeader() const { return FRawHeader; }
  ///@}
  /// The size in bytes and lines of the part's data as received (encoded),
  /// also when it was not kept (0 for a multipart).
  ///@{
  int64_t EncodedSize() const { return FEncodedSize; }
  int EncodedLines() const { return FEncodedLines; }
  ///@}
  /// Where the part's header and data start in the lines read (indexes).
  ///@{
  int DataStart() const { return FDataStart; }
  int HeaderStart() const { return FHeaderStart; }
  void SetDataStart(int AValue) { FDataStart = AValue; }
  void SetHeaderStart(int AValue) { FHeaderStart = AValue; }
  ///@}
  /// The encoder that encodes and decodes the body's data.
  TqmEncoder& Encoder() { return *FEncoder; }

  /// Takes the raw data of the part (lines joined by CR LF) and decodes it.
  void AddData(TStream& AData, int ALineCount);

  /// Copies the values of another body of the same class.
  void Assign(const TPersistent& ASource) override;

  // ---- overridable operations, in slot order ----
  /// Sets the media type.
  virtual void SetContentType(const std::string& AValue);
  /// Component streaming: the body's own values, in a fixed order.
  ///@{
  virtual void ReadBody(TStream& AStream);
  virtual void WriteBody(TStream& AStream) const;
  ///@}
  /// Whether EncodedSize() is recorded for this kind of body.
  virtual bool HasEncodedSize() const { return true; }
  /// The transfer encoding written: UUencode for an attachment of a message
  /// written without MIME (mfUUencode, framed by "begin"/"end" lines), else
  /// the one the data was read in (ReadEncoding()).
  virtual TqmEncodeMethod GetEncoding() const;
  /// The transfer encoding the data is read in: the message's Encoding for
  /// the one body of a single-part message when it is set, else Encoding().
  TqmEncodeMethod ReadEncoding() const;
  /// Writes the part's header fields into AFieldList.
  virtual void AssignBodyHeader(TqmMailHeaderFieldList& AFieldList);
  /// Reads the part's header fields from AFieldList.
  virtual void ParseBodyHeader(TqmMailHeaderFieldList& AFieldList);
  /// The data to encode (null when there is none) and where decoded data
  /// goes (null: not decoded).
  ///@{
  virtual std::unique_ptr<TStream> GetSourceStream() = 0;
  virtual std::unique_ptr<TStream> GetDestinationStream() = 0;
  ///@}
  /// Drops the CR LF that ends the raw data (it belongs to the boundary).
  virtual void TrimDataEnd(TStream& AStream);
  /// Called with the decoded data (at position 0); nothing here.
  virtual void DataDecoded(TStream& AStream);
  /// Decodes ASource into ADestination with the transfer encoding; a
  /// decoding error is handled as the message's ErrorProcessing says.
  virtual void DecodeData(TStream& ASource, TStream& ADestination);
  /// Encodes ASource into ADestination with the transfer encoding.
  virtual void EncodeData(TStream& ASource, TStream& ADestination);
  /// Creates the body's own members (see Initialize()).
  virtual void CreateInternals();
  /// Chooses a transfer encoding from the data when none is set (not while
  /// parsing).
  virtual void AssignEncodingIfNeeded();
  /// Fills KnownFields().
  virtual void RegisterKnownFields();
  /// Back to a new body's values (data, fields, type).
  virtual void Clear();
  /// Kind queries, so that callers need not test the class: the message of
  /// a multipart body (its parts), and whether the body is a text or an
  /// attachment (an image is one too).
  ///@{
  virtual TqmMailMessage* NestedMessage() const { return nullptr; }
  virtual bool IsText() const { return false; }
  virtual bool IsAttachment() const { return false; }
  ///@}

  /// Runs CreateInternals and Clear; called once after construction, since
  /// the overrides are not reachable from the constructor.
  void Initialize();

 protected:
  /// Records a defect of this body with the message, while it is read.
  void NoteDefect(TqmMessageDefectKind AKind, std::string AText);
  /// Tells the message that the body changed (its rendering is dropped).
  void Changed();
  /// Whether the message is being read.
  bool IsParsing() const;
  /// Writes ExtraFields() into AFieldList.
  void AddExtraFieldLines(TqmMailHeaderFieldList& AFieldList);
  /// The value of a field as the message's header list reads it.
  std::string GetSubjectOfEmbeddedMessage(TqmMailHeaderFieldList& AFieldList) const;

  /// The state behind the properties above.
  ///@{
  TqmMessageBodies* FOwner;
  std::string FContentType;
  bool FContentTypeImplied = false;
  TqmEncodeMethod FEncoding = cmNone;
  std::string FContentDisposition;
  std::unique_ptr<TStringList> FExtraFields;
  TStringList FKnownFields;
  TStringList FRawHeader;
  int64_t FEncodedSize = 0;
  int FEncodedLines = 0;
  int FDataStart = 0;
  int FHeaderStart = 0;
  std::unique_ptr<TqmEncoder> FEncoder;
  ///@}
};

/// A text part: plain ("text/plain", default) or HTML ("text/html"), held
/// as UTF-8 lines and written in its charset.
class TqmTextBody : public TqmMessageBody {
 public:
  using TqmMessageBody::TqmMessageBody;
  const char* ClassName() const override { return "TqmTextBody"; }

  /// The part's own charset (a new body: the message's CharSet).
  ///@{
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue);
  ///@}
  /// Whether CharSet ("us-ascii") was implied: read without a charset
  /// parameter. Written back, the part gets none while its text is ASCII.
  bool CharSetImplied() const { return FCharSetImplied; }
  /// The lines of text; a change re-chooses the encoding and marks the
  /// message changed.
  ///@{
  TStringList& Strings() { return *FStrings; }
  const TStringList& Strings() const { return *FStrings; }
  ///@}
  /// The body's own charset in a multipart message, the message's otherwise.
  std::string GetCharSet() const;
  /// The charset the text is written in: GetCharSet (or the message's when
  /// empty), or "utf-8" when that charset cannot hold the text.
  std::string WritingCharSet() const;
  bool IsText() const override { return true; }

  void Assign(const TPersistent& ASource) override;
  void ReadBody(TStream& AStream) override;
  void WriteBody(TStream& AStream) const override;
  void AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  void ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  std::unique_ptr<TStream> GetSourceStream() override;
  std::unique_ptr<TStream> GetDestinationStream() override;
  void DataDecoded(TStream& AStream) override;
  void CreateInternals() override;
  void Clear() override;

 private:
  // FCharSetImplied, or the message's for its one text.
  bool CharSetWasImplied() const;

  std::string FCharSet;
  bool FCharSetImplied = false;
  std::unique_ptr<TStringList> FStrings;
};

/// An attached file ("application/octet-stream" unless set). To send, the
/// file named by FileName() is read when the message is rendered, or the
/// stream the message's OnLoadAttachment supplies. When read, the decoded
/// data goes to the stream OnSaveAttachment supplies (none: not kept).
class TqmAttachmentBody : public TqmMessageBody {
 public:
  using TqmMessageBody::TqmMessageBody;
  const char* ClassName() const override { return "TqmAttachmentBody"; }

  /// The path of the file to send; for a received part the name it was
  /// sent with, reduced to a safe file name (no directory, no control
  /// characters; see SafeReceivedFileName()).
  const std::string& FileName() const { return FFileName; }
  /// The Content-ID (without angle brackets) by which HTML refers to the
  /// part as "cid:...".
  ///@{
  const std::string& ContentID() const { return FContentID; }
  void SetContentID(const std::string& AValue);
  ///@}

  bool IsAttachment() const override { return true; }

  void Assign(const TPersistent& ASource) override;
  void ReadBody(TStream& AStream) override;
  void WriteBody(TStream& AStream) const override;
  void AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  void ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  std::unique_ptr<TStream> GetSourceStream() override;
  std::unique_ptr<TStream> GetDestinationStream() override;
  void DataDecoded(TStream& AStream) override;
  void RegisterKnownFields() override;
  void Clear() override;
  /// Sets the file to send (a path; only its last part is written as the
  /// file name).
  virtual void SetFileName(const std::string& AValue);

 protected:
  /// The attachment's data for writing; AForEncodingChoice tolerates a
  /// missing file (null instead of an error).
  std::unique_ptr<TStream> OpenSource(bool AForEncodingChoice);
  /// Writes Content-Type with the name, Content-Transfer-Encoding,
  /// Content-Disposition with the file name (AExtensions: also as RFC 2231
  /// parameters; AAlwaysDisposition: "attachment" when none is set) and
  /// Content-ID.
  void AssignAttachmentHeader(TqmMailHeaderFieldList& AFieldList, bool AExtensions,
                              bool AAlwaysDisposition);
  /// Reads Content-ID into ContentID().
  void ParseContentID(TqmMailHeaderFieldList& AFieldList);

  /// The state behind the properties above.
  ///@{
  std::string FFileName;
  std::string FContentID;
  bool FChoosingEncoding = false;
  ///@}
};

/// An inline image (base64, "image/<extension>"), referred to from the HTML
/// text by its ContentID().
class TqmImageBody : public TqmAttachmentBody {
 public:
  using TqmAttachmentBody::TqmAttachmentBody;
  const char* ClassName() const override { return "TqmImageBody"; }

  void AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  void ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  void Clear() override;
  /// Also fills in an empty ContentID and ContentType from the name.
  void SetFileName(const std::string& AValue) override;
};

/// A nested multipart ("multipart/mixed" unless set; "multipart/alternative"
/// for a text and its HTML, "multipart/related" for HTML and its images).
/// Its parts live in an inner message.
class TqmMultipartBody : public TqmMessageBody {
 public:
  /// An empty multipart/mixed body of ABodies.
  explicit TqmMultipartBody(TqmMessageBodies* ABodies);
  ~TqmMultipartBody() override;
  const char* ClassName() const override { return "TqmMultipartBody"; }

  /// The "type" parameter (of multipart/related).
  ///@{
  const std::string& ContentSubType() const { return FContentSubType; }
  void SetContentSubType(const std::string& AValue);
  ///@}
  /// The nested parts.
  TqmMessageBodies& Bodies();
  /// The inner message that holds the nested parts.
  TqmMailMessage& InnerMessage() { return *FInner; }
  /// The boundary of the nested parts.
  const std::string& Boundary() const;

  void Assign(const TPersistent& ASource) override;
  void SetContentType(const std::string& AValue) override;
  void ReadBody(TStream& AStream) override;
  void WriteBody(TStream& AStream) const override;
  bool HasEncodedSize() const override { return false; }
  void AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  void ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  std::unique_ptr<TStream> GetSourceStream() override;
  std::unique_ptr<TStream> GetDestinationStream() override;
  void DataDecoded(TStream& AStream) override;
  void CreateInternals() override;
  void Clear() override;
  TqmMailMessage* NestedMessage() const override { return FInner.get(); }
  /// Reads the nested parts from the lines [ABegin, AEnd) of the message
  /// being read, where they are: what DataDecoded does for data handed over
  /// as a copy. The parser calls it for every nested level.
  void ParseLines(const TStrings& ALines, int ABegin, int AEnd);
  /// Whether the part was read with a base64 or quoted-printable transfer
  /// encoding (not allowed for a multipart, but sent): its data must be
  /// decoded before its parts can be read, so it is handed over as data.
  bool IsEncoded() const;

 private:
  friend class TqmMailMessage;
  // The same, with the message's index of the lines that start with "--".
  void ParseLines(const TqmMessageLines& ALines, int ABegin, int AEnd,
                  const std::vector<int>* ADashLines);

  std::string FContentSubType;
  std::unique_ptr<TqmMailMessage> FInner;
  std::vector<std::string> FRendered;  // inner parts written by AssignBodyHeader
};

/// The ordered bodies of a message; owns them. Index errors raise
/// EListError ("List index out of bounds").
class TqmMessageBodies : public TPersistent {
 public:
  /// The bodies of AOwner.
  explicit TqmMessageBodies(TqmMailMessage* AOwner);
  ~TqmMessageBodies() override;

  /// The message the bodies belong to.
  TqmMailMessage* Owner() const { return FOwner; }

  /// Appends a text/plain body holding AText (UTF-8; split into lines).
  TqmTextBody* AddText(const std::string& AText);
  /// Appends a text/html body holding AHtml.
  TqmTextBody* AddHtml(const std::string& AHtml);
  /// Appends an attachment of the file AFileName (read when rendered).
  TqmAttachmentBody* AddAttachment(const std::string& AFileName);
  /// Appends an inline image of the file AFileName, with a new ContentID.
  TqmImageBody* AddImage(const std::string& AFileName);
  /// Appends an empty multipart/mixed body.
  TqmMultipartBody* AddMultipart();
  /// A body of a registered class ("TqmTextBody", "TqmAttachmentBody",
  /// "TqmImageBody", "TqmMultipartBody"); EConvertError for another name.
  TqmMessageBody* Add(const std::string& AClassName);
  /// Appends a new body of class T.
  template <class T>
  T* Add() {
    auto Body = std::make_unique<T>(this);
    T* Result = Body.get();
    Append(std::move(Body));
    return Result;
  }
  /// Removes and frees body AIndex (from 0).
  void Delete(int AIndex);
  /// Moves body AFrom to position ATo.
  void Move(int AFrom, int ATo);
  /// Removes and frees every body.
  void Clear();
  /// The number of bodies.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// Body AIndex (from 0).
  TqmMessageBody* Items(int AIndex) const;
  /// Copies the bodies of another list.
  void Assign(const TPersistent& ASource) override;

  /// Component streaming: the class name of each body followed by its data.
  ///@{
  void WriteBodies(TStream& AStream) const;
  void ReadBodies(TStream& AStream);
  ///@}

 private:
  friend class TqmMessageBody;
  void Append(std::unique_ptr<TqmMessageBody> ABody);
  void Changed();

  TqmMailMessage* FOwner;
  std::vector<std::unique_ptr<TqmMessageBody>> FItems;
};

}  // namespace qm
