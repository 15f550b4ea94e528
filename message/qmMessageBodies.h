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

namespace qm {

class TStream;
class TMemoryStream;
class TqmMailMessage;
class TqmMailHeaderFieldList;
class TqmMessageBodies;
class TqmMessageBody;
class TqmAttachmentBody;

// An attachment's data is wanted (load) or offered (save). The handler may
// change the file name, supply a stream (the body takes it over and frees it
// when done) and set Handled.
using TqmAttachmentEvent =
    std::function<void(TObject* Sender, TqmAttachmentBody* ABody, std::string& AFileName,
                       std::unique_ptr<TStream>& AData, bool& Handled)>;
// The decoded data of an attachment has been written to its stream.
using TqmAttachmentSavedEvent = std::function<void(TObject* Sender, TqmAttachmentBody* ABody,
                                                   const std::string& AFileName, TStream* AData)>;
// A body received its decoded data (the stream is at position 0).
using TqmBodyDataAddedEvent =
    std::function<void(TObject* Sender, TqmMessageBody* ABody, TStream* AData)>;
// Progress of encoding one body's data.
using TqmBodyProgressEvent = std::function<void(TObject* Sender, TqmMessageBody* ABody,
                                                int64_t ABytesProceed, int64_t ATotalBytes)>;

// The name of a transfer encoding as written in Content-Transfer-Encoding
// ("7bit", "quoted-printable", "base64", "8bit"; nothing for UUencode).
std::string EncodingName(TqmEncodeMethod AMethod);
// The transfer encoding a Content-Transfer-Encoding value names, read
// without case, comments and white space: quoted-printable, base64, the
// UUencode names (x-uuencode, x-uue, uuencode, x-uu); anything else
// (7bit, 8bit, binary, unknown) is taken as it stands (cmNone).
TqmEncodeMethod EncodingFromName(std::string_view AValue);
// NUL, '"', '*', '/', ':', '<', '>', '?', '\' and '|' become '_'; a final
// space or dot goes; an empty result becomes "_".
std::string MakeValidFileName(const std::string& AName);
// A received file name reduced to a name without any directory or control
// character: '/', '\' and 0x00-0x1F, 0x7F become '_' and a name of only
// dots becomes '_'.
std::string SafeReceivedFileName(const std::string& AName);
// The part of a path after its last '/'.
std::string ExtractFilePart(const std::string& APath);

class TqmMessageBody : public TPersistent {
 public:
  explicit TqmMessageBody(TqmMessageBodies* ABodies);
  ~TqmMessageBody() override;

  TqmMessageBodies* Owner() const { return FOwner; }
  // The message whose bodies these are (a nested multipart's inner message)
  // and the outermost message (charset, line width, events).
  TqmMailMessage* Message() const;
  TqmMailMessage* RootMessage() const;
  virtual const char* ClassName() const = 0;

  const std::string& ContentType() const { return FContentType; }
  TqmEncodeMethod Encoding() const { return FEncoding; }
  void SetEncoding(TqmEncodeMethod AValue);
  const std::string& ContentDisposition() const { return FContentDisposition; }
  void SetContentDisposition(const std::string& AValue);
  // Header lines of this part beyond its known fields ("Name: value").
  TStringList& ExtraFields() { return *FExtraFields; }
  const TStringList& ExtraFields() const { return *FExtraFields; }
  const TStringList& KnownFields() const { return FKnownFields; }
  // The part's header lines as received.
  TStringList& RawHeader() { return FRawHeader; }
  const TStringList& RawHeader() const { return FRawHeader; }
  int64_t EncodedSize() const { return FEncodedSize; }
  int EncodedLines() const { return FEncodedLines; }
  int DataStart() const { return FDataStart; }
  int HeaderStart() const { return FHeaderStart; }
  void SetDataStart(int AValue) { FDataStart = AValue; }
  void SetHeaderStart(int AValue) { FHeaderStart = AValue; }
  TqmEncoder& Encoder() { return *FEncoder; }

  // Takes the raw data of the part (lines joined by CR LF) and decodes it.
  void AddData(TStream& AData, int ALineCount);

  void Assign(const TPersistent& ASource) override;

  // Overridable operations, in slot order.
  virtual void SetContentType(const std::string& AValue);
  // Component streaming: the body's own values, in a fixed order.
  virtual void ReadBody(TStream& AStream);
  virtual void WriteBody(TStream& AStream) const;
  virtual bool HasEncodedSize() const { return true; }
  virtual TqmEncodeMethod GetEncoding() const;
  virtual void AssignBodyHeader(TqmMailHeaderFieldList& AFieldList);
  virtual void ParseBodyHeader(TqmMailHeaderFieldList& AFieldList);
  // The data to encode (null when there is none) and where decoded data
  // goes (null: not decoded).
  virtual std::unique_ptr<TStream> GetSourceStream() = 0;
  virtual std::unique_ptr<TStream> GetDestinationStream() = 0;
  virtual void TrimDataEnd(TStream& AStream);
  virtual void DataDecoded(TStream& AStream);
  virtual void DecodeData(TStream& ASource, TStream& ADestination);
  virtual void EncodeData(TStream& ASource, TStream& ADestination);
  virtual void CreateInternals();
  virtual void AssignEncodingIfNeeded();
  virtual void RegisterKnownFields();
  virtual void Clear();

  // Runs CreateInternals and Clear; called once after construction, since
  // the overrides are not reachable from the constructor.
  void Initialize();

 protected:
  void Changed();
  bool IsParsing() const;
  void AddExtraFieldLines(TqmMailHeaderFieldList& AFieldList);
  // The value of a field as the message's header list reads it.
  std::string GetSubjectOfEmbeddedMessage(TqmMailHeaderFieldList& AFieldList) const;

  TqmMessageBodies* FOwner;
  std::string FContentType;
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
};

class TqmTextBody : public TqmMessageBody {
 public:
  using TqmMessageBody::TqmMessageBody;
  const char* ClassName() const override { return "TqmTextBody"; }

  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue);
  // The lines of text; a change re-chooses the encoding and marks the
  // message changed.
  TStringList& Strings() { return *FStrings; }
  const TStringList& Strings() const { return *FStrings; }
  // The body's own charset in a multipart message, the message's otherwise.
  std::string GetCharSet() const;
  // The charset the text is written in: GetCharSet (or the message's when
  // empty), or "utf-8" when that charset cannot hold the text.
  std::string WritingCharSet() const;

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
  std::string FCharSet;
  std::unique_ptr<TStringList> FStrings;
};

class TqmAttachmentBody : public TqmMessageBody {
 public:
  using TqmMessageBody::TqmMessageBody;
  const char* ClassName() const override { return "TqmAttachmentBody"; }

  const std::string& FileName() const { return FFileName; }
  const std::string& ContentID() const { return FContentID; }
  void SetContentID(const std::string& AValue);

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
  virtual void SetFileName(const std::string& AValue);

 protected:
  // The attachment's data for writing; AForEncodingChoice tolerates a
  // missing file (null instead of an error).
  std::unique_ptr<TStream> OpenSource(bool AForEncodingChoice);
  void AssignAttachmentHeader(TqmMailHeaderFieldList& AFieldList, bool AExtensions,
                              bool AAlwaysDisposition);
  void ParseContentID(TqmMailHeaderFieldList& AFieldList);

  std::string FFileName;
  std::string FContentID;
  bool FChoosingEncoding = false;
};

class TqmImageBody : public TqmAttachmentBody {
 public:
  using TqmAttachmentBody::TqmAttachmentBody;
  const char* ClassName() const override { return "TqmImageBody"; }

  void AssignBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  void ParseBodyHeader(TqmMailHeaderFieldList& AFieldList) override;
  void Clear() override;
  // Also fills in an empty ContentID and ContentType from the name.
  void SetFileName(const std::string& AValue) override;
};

class TqmMultipartBody : public TqmMessageBody {
 public:
  explicit TqmMultipartBody(TqmMessageBodies* ABodies);
  ~TqmMultipartBody() override;
  const char* ClassName() const override { return "TqmMultipartBody"; }

  // The "type" parameter.
  const std::string& ContentSubType() const { return FContentSubType; }
  void SetContentSubType(const std::string& AValue);
  TqmMessageBodies& Bodies();
  TqmMailMessage& InnerMessage() { return *FInner; }
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

 private:
  std::string FContentSubType;
  std::unique_ptr<TqmMailMessage> FInner;
  std::vector<std::string> FRendered;  // inner parts written by AssignBodyHeader
};

// The ordered bodies of a message; owns them.
class TqmMessageBodies : public TPersistent {
 public:
  explicit TqmMessageBodies(TqmMailMessage* AOwner);
  ~TqmMessageBodies() override;

  TqmMailMessage* Owner() const { return FOwner; }

  TqmTextBody* AddText(const std::string& AText);
  TqmTextBody* AddHtml(const std::string& AHtml);
  TqmAttachmentBody* AddAttachment(const std::string& AFileName);
  TqmImageBody* AddImage(const std::string& AFileName);
  TqmMultipartBody* AddMultipart();
  // A body of a registered class ("TqmTextBody", "TqmAttachmentBody",
  // "TqmImageBody", "TqmMultipartBody"); EConvertError for another name.
  TqmMessageBody* Add(const std::string& AClassName);
  template <class T>
  T* Add() {
    auto Body = std::make_unique<T>(this);
    T* Result = Body.get();
    Append(std::move(Body));
    return Result;
  }
  void Delete(int AIndex);
  void Move(int AFrom, int ATo);
  void Clear();
  int Count() const { return static_cast<int>(FItems.size()); }
  TqmMessageBody* Items(int AIndex) const;
  void Assign(const TPersistent& ASource) override;

  // Component streaming: the class name of each body followed by its data.
  void WriteBodies(TStream& AStream) const;
  void ReadBodies(TStream& AStream);

 private:
  friend class TqmMessageBody;
  void Append(std::unique_ptr<TqmMessageBody> ABody);
  void Changed();

  TqmMailMessage* FOwner;
  std::vector<std::unique_ptr<TqmMessageBody>> FItems;
};

}  // namespace qm
