// DNS messages (RFC 1035): the header, questions and resource records of the
// supported types, the four record sections, and their encoding for UDP and
// TCP. Decoding never reads past the received bytes; encoding never writes a
// label, name or message the wire format cannot carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStream.h"
#include "core/qmTypes.h"
#include "net/qmSocketError.h"

namespace qm {

// Received data that do not hold a well-formed message: a field, label or
// record running past the end, a compression pointer that does not point
// strictly backwards, a name over 255 bytes.
constexpr int qmDnsInvalidSizeCode = -1;
extern const char* const qmDnsInvalidSize;  // "The size of the datagram is invalid"
// RCODE 3 (NXDOMAIN): the name does not exist.
constexpr int qmDnsFormatErrorCode = 1;
constexpr int qmDnsNameErrorCode = 3;
// Encoding refusals: what would otherwise put a corrupt message on the wire.
constexpr int qmDnsLabelTooLongCode = -201;
extern const char* const qmDnsLabelTooLong;  // "A label of the DNS name is longer than 63 bytes"
constexpr int qmDnsNameTooLongCode = -202;
extern const char* const qmDnsNameTooLong;  // "The DNS name is longer than 255 bytes"
constexpr int qmDnsEmptyLabelCode = -203;
extern const char* const qmDnsEmptyLabel;  // "The DNS name has an empty label"
constexpr int qmDnsMessageTooLongCode = -204;
extern const char* const qmDnsMessageTooLong;  // "The DNS message does not fit in its buffer"
constexpr int qmDnsTooManyQuestionsCode = -205;
// "The DNS lookup needs more questions than it may ask": referrals (or the
// lookups of their name servers) went on past the resolver's budget.
extern const char* const qmDnsTooManyQuestions;

class EqmDnsError : public EqmSocketError {
 public:
  // The text of a response code (1 "Format error" ... 5 "Refused", any
  // other "Unspecified error"), the code as ErrorCode.
  explicit EqmDnsError(int AResponseCode);
  EqmDnsError(std::string AMessage, int AErrorCode) : EqmSocketError(std::move(AMessage), AErrorCode) {}
  static std::string ResponseCodeText(int AResponseCode);
};

enum TqmDnsOpcode { doQuery, doInverseQuery, doStatus };
enum TqmDnsRecordClass { rcInternet, rcChaos, rcHesiod };

// Record type codes of the supported classes.
constexpr uint16_t qmDnsTypeA = 1;
constexpr uint16_t qmDnsTypeNS = 2;
constexpr uint16_t qmDnsTypeCNAME = 5;
constexpr uint16_t qmDnsTypeSOA = 6;
constexpr uint16_t qmDnsTypePTR = 12;
constexpr uint16_t qmDnsTypeMX = 15;
constexpr uint16_t qmDnsTypeTXT = 16;
constexpr uint16_t qmDnsTypeAAAA = 28;
constexpr uint16_t qmDnsTypeOPT = 41;

// A 16-bit ID from the kernel's random source, so that an off-path sender
// cannot guess the ID of a query.
uint16_t RandomDnsId();

// Encoding cursor over a buffer of fixed size.
class TqmDnsWriter {
 public:
  explicit TqmDnsWriter(size_t ACapacity) : FData(ACapacity) {}
  size_t Position() const { return FPosition; }
  const uint8_t* Data() const { return FData.data(); }
  void WriteByte(uint8_t AValue);
  void WriteWord(uint16_t AValue);
  void WriteLong(uint32_t AValue);
  void WriteBytes(const void* AData, size_t ACount);
  void PatchWord(size_t APosition, uint16_t AValue);
  // Labels without compression and a final zero byte; a final "." adds
  // nothing, an empty name is the zero byte alone.
  void WriteName(std::string_view AName);
  // One or more character strings of at most 255 bytes; an empty text is a
  // single empty string.
  void WriteCharacterStrings(std::string_view AText);

 private:
  void Reserve(size_t ACount);
  TqmByteArray FData;
  size_t FPosition = 0;
};

// Decoding cursor over received bytes. Reads stop at Limit (the end of the
// current record data, or of the message); compression pointers may reach
// anywhere before the name that holds them.
class TqmDnsReader {
 public:
  TqmDnsReader(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize), FLimit(ASize) {}
  size_t Position() const { return FPosition; }
  void SetPosition(size_t APosition) { FPosition = APosition; }
  size_t Size() const { return FSize; }
  size_t Limit() const { return FLimit; }
  void SetLimit(size_t ALimit) { FLimit = ALimit; }
  uint8_t ReadByte();
  uint16_t ReadWord();
  uint32_t ReadLong();
  const uint8_t* ReadBytes(size_t ACount);
  std::string ReadName();
  // One length-prefixed character string.
  std::string ReadCharacterString();

 private:
  void Need(size_t ACount) const;
  const uint8_t* FData;
  size_t FSize;
  size_t FLimit;
  size_t FPosition = 0;
};

[[noreturn]] void RaiseDnsInvalidSize();

class TqmDnsMessageHeader : public TPersistent {
 public:
  TqmDnsMessageHeader() { Clear(); }
  void Assign(const TPersistent& ASource) override;
  // A fresh random ID; every other field false or 0 (so IsQuery is false).
  void Clear();

  bool IsRecursionAvailable() const { return FIsRecursionAvailable; }
  void SetIsRecursionAvailable(bool AValue) { FIsRecursionAvailable = AValue; }
  bool IsAuthoritativeAnswer() const { return FIsAuthoritativeAnswer; }
  void SetIsAuthoritativeAnswer(bool AValue) { FIsAuthoritativeAnswer = AValue; }
  bool IsQuery() const { return FIsQuery; }
  void SetIsQuery(bool AValue) { FIsQuery = AValue; }
  bool IsRecursionDesired() const { return FIsRecursionDesired; }
  void SetIsRecursionDesired(bool AValue) { FIsRecursionDesired = AValue; }
  bool IsTruncated() const { return FIsTruncated; }
  void SetIsTruncated(bool AValue) { FIsTruncated = AValue; }
  int ResponseCode() const { return FResponseCode; }
  void SetResponseCode(int AValue) { FResponseCode = AValue; }
  TqmDnsOpcode Opcode() const { return FOpcode; }
  void SetOpcode(TqmDnsOpcode AValue) { FOpcode = AValue; }
  uint16_t ID() const { return FID; }
  void SetID(uint16_t AValue) { FID = AValue; }
  uint16_t AnswerCount() const { return FAnswerCount; }
  void SetAnswerCount(uint16_t AValue) { FAnswerCount = AValue; }
  uint16_t QueryCount() const { return FQueryCount; }
  void SetQueryCount(uint16_t AValue) { FQueryCount = AValue; }
  uint16_t NameServerCount() const { return FNameServerCount; }
  void SetNameServerCount(uint16_t AValue) { FNameServerCount = AValue; }
  uint16_t AdditionalCount() const { return FAdditionalCount; }
  void SetAdditionalCount(uint16_t AValue) { FAdditionalCount = AValue; }

  void Write(TqmDnsWriter& AWriter) const;
  void Read(TqmDnsReader& AReader);

 private:
  bool FIsRecursionAvailable = false;
  bool FIsAuthoritativeAnswer = false;
  bool FIsQuery = false;
  bool FIsRecursionDesired = false;
  bool FIsTruncated = false;
  int FResponseCode = 0;
  TqmDnsOpcode FOpcode = doQuery;
  uint16_t FID = 0;
  uint16_t FAnswerCount = 0;
  uint16_t FQueryCount = 0;
  uint16_t FNameServerCount = 0;
  uint16_t FAdditionalCount = 0;
};

// A question or resource record; used as is for types without a class of
// their own (their data are skipped when read).
class TqmDnsRecord : public TPersistent {
 public:
  TqmDnsRecord() = default;
  void Assign(const TPersistent& ASource) override;
  // ---- overridable operations (slot order) ----
  // Writes the record data; a missing data field raises "Server failure" (2).
  virtual void WriteData(TqmDnsWriter& AWriter) const;
  // Reads the record data, which end at AReader.Limit().
  virtual void ReadData(TqmDnsReader& AReader);
  // A new, empty record of the same class.
  virtual std::unique_ptr<TqmDnsRecord> NewInstance() const;
  // The record type whose data this class decodes, 0 for the plain record
  // (which keeps its data undecoded). The typed finders of the record list
  // ask this instead of testing the object's class.
  virtual uint16_t DecodedType() const { return 0; }

  TqmDnsRecordClass RecordClass() const { return FRecordClass; }
  void SetRecordClass(TqmDnsRecordClass AValue) { FRecordClass = AValue; }
  uint16_t RecordType() const { return FRecordType; }
  void SetRecordType(uint16_t AValue) { FRecordType = AValue; }
  const std::string& Name() const { return FName; }
  void SetName(std::string AValue) { FName = std::move(AValue); }
  uint32_t TTL() const { return FTTL; }
  void SetTTL(uint32_t AValue) { FTTL = AValue; }
  uint16_t DataLength() const { return FDataLength; }
  void SetDataLength(uint16_t AValue) { FDataLength = AValue; }

  // Name, type and class.
  void WriteQuestion(TqmDnsWriter& AWriter) const;
  void ReadQuestion(TqmDnsReader& AReader);
  // The question part, TTL, RDLENGTH and the data.
  void WriteResource(TqmDnsWriter& AWriter);
  void ReadResource(TqmDnsReader& AReader);
  // What follows the question part: TTL, RDLENGTH and the data.
  void ReadResourceTail(TqmDnsReader& AReader);

 private:
  TqmDnsRecordClass FRecordClass = rcInternet;
  uint16_t FRecordType = 0;
  std::string FName;
  uint32_t FTTL = 0;
  uint16_t FDataLength = 0;
};

class TqmDnsARecord : public TqmDnsRecord {
 public:
  TqmDnsARecord() { SetRecordType(qmDnsTypeA); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsARecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypeA;
  uint16_t DecodedType() const override { return ClassType; }
  const std::string& IPAddress() const { return FIPAddress; }
  void SetIPAddress(const std::string& AValue) { FIPAddress = AValue; }

 private:
  std::string FIPAddress;
};

class TqmDnsNSRecord : public TqmDnsRecord {
 public:
  TqmDnsNSRecord() { SetRecordType(qmDnsTypeNS); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsNSRecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypeNS;
  uint16_t DecodedType() const override { return ClassType; }
  const std::string& NameServer() const { return FNameServer; }
  void SetNameServer(const std::string& AValue) { FNameServer = AValue; }

 private:
  std::string FNameServer;
};

class TqmDnsCNAMERecord : public TqmDnsRecord {
 public:
  TqmDnsCNAMERecord() { SetRecordType(qmDnsTypeCNAME); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsCNAMERecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypeCNAME;
  uint16_t DecodedType() const override { return ClassType; }
  const std::string& PrimaryName() const { return FPrimaryName; }
  void SetPrimaryName(const std::string& AValue) { FPrimaryName = AValue; }

 private:
  std::string FPrimaryName;
};

class TqmDnsSOARecord : public TqmDnsRecord {
 public:
  TqmDnsSOARecord() { SetRecordType(qmDnsTypeSOA); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsSOARecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypeSOA;
  uint16_t DecodedType() const override { return ClassType; }
  const std::string& PrimaryNameServer() const { return FPrimaryNameServer; }
  void SetPrimaryNameServer(const std::string& AValue) { FPrimaryNameServer = AValue; }
  const std::string& ResponsiblePerson() const { return FResponsiblePerson; }
  void SetResponsiblePerson(const std::string& AValue) { FResponsiblePerson = AValue; }
  uint32_t SerialNumber() const { return FSerialNumber; }
  void SetSerialNumber(uint32_t AValue) { FSerialNumber = AValue; }
  uint32_t RefreshInterval() const { return FRefreshInterval; }
  void SetRefreshInterval(uint32_t AValue) { FRefreshInterval = AValue; }
  uint32_t RetryInterval() const { return FRetryInterval; }
  void SetRetryInterval(uint32_t AValue) { FRetryInterval = AValue; }
  uint32_t ExpirationLimit() const { return FExpirationLimit; }
  void SetExpirationLimit(uint32_t AValue) { FExpirationLimit = AValue; }
  uint32_t MinimumTTL() const { return FMinimumTTL; }
  void SetMinimumTTL(uint32_t AValue) { FMinimumTTL = AValue; }

 private:
  std::string FPrimaryNameServer;
  std::string FResponsiblePerson;
  uint32_t FSerialNumber = 0;
  uint32_t FRefreshInterval = 0;
  uint32_t FRetryInterval = 0;
  uint32_t FExpirationLimit = 0;
  uint32_t FMinimumTTL = 0;
};

class TqmDnsPTRRecord : public TqmDnsRecord {
 public:
  TqmDnsPTRRecord() { SetRecordType(qmDnsTypePTR); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsPTRRecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypePTR;
  uint16_t DecodedType() const override { return ClassType; }
  const std::string& DomainName() const { return FDomainName; }
  void SetDomainName(const std::string& AValue) { FDomainName = AValue; }

 private:
  std::string FDomainName;
};

class TqmDnsMXRecord : public TqmDnsRecord {
 public:
  TqmDnsMXRecord() { SetRecordType(qmDnsTypeMX); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsMXRecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypeMX;
  uint16_t DecodedType() const override { return ClassType; }
  uint16_t Preference() const { return FPreference; }
  void SetPreference(uint16_t AValue) { FPreference = AValue; }
  const std::string& MailServer() const { return FMailServer; }
  void SetMailServer(const std::string& AValue) { FMailServer = AValue; }

 private:
  uint16_t FPreference = 0;
  std::string FMailServer;
};

class TqmDnsTXTRecord : public TqmDnsRecord {
 public:
  TqmDnsTXTRecord() { SetRecordType(qmDnsTypeTXT); }
  void Assign(const TPersistent& ASource) override;
  // Texts over 255 bytes go out as several character strings.
  void WriteData(TqmDnsWriter& AWriter) const override;
  // The character strings joined without separators.
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsTXTRecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypeTXT;
  uint16_t DecodedType() const override { return ClassType; }
  const std::string& Text() const { return FText; }
  void SetText(const std::string& AValue) { FText = AValue; }

 private:
  std::string FText;
};

class TqmDnsAAAARecord : public TqmDnsRecord {
 public:
  TqmDnsAAAARecord() { SetRecordType(qmDnsTypeAAAA); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsAAAARecord>(); }
  static constexpr uint16_t ClassType = qmDnsTypeAAAA;
  uint16_t DecodedType() const override { return ClassType; }
  const std::string& IPv6Address() const { return FIPv6Address; }
  void SetIPv6Address(const std::string& AValue) { FIPv6Address = AValue; }

 private:
  std::string FIPv6Address;
};

// Owns its records.
class TqmDnsRecordList : public TPersistent {
 public:
  // Clears and adds a copy of every record of ASource, of the same class.
  void Assign(const TPersistent& ASource) override;
  TqmDnsRecord* Add(std::unique_ptr<TqmDnsRecord> ARecord);
  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises EListError for an index outside the list.
  TqmDnsRecord* Items(int AIndex) const;
  void Clear() { FItems.clear(); }
  // The first record of ARecordType whose name equals AName without regard
  // to case, or nullptr.
  TqmDnsRecord* FindItem(const std::string& AName, uint16_t ARecordType) const;
  // The record at AIndex as a T (TqmDnsARecord, TqmDnsTXTRecord...), or
  // nullptr when it is of another type.
  template <class T>
  T* ItemAs(int AIndex) const {
    TqmDnsRecord* Item = Items(AIndex);
    return Item->DecodedType() == T::ClassType ? static_cast<T*>(Item) : nullptr;
  }
  // The first T whose name equals AName without regard to case, or nullptr.
  template <class T>
  T* FindItemAs(const std::string& AName) const {
    TqmDnsRecord* Item = FindItem(AName, T::ClassType);
    return Item && Item->DecodedType() == T::ClassType ? static_cast<T*>(Item) : nullptr;
  }

 private:
  std::vector<std::unique_ptr<TqmDnsRecord>> FItems;
};

class TqmDnsMessage : public TPersistent {
 public:
  TqmDnsMessage() = default;
  ~TqmDnsMessage() override = default;
  void Assign(const TPersistent& ASource) override;
  // ---- overridable operation ----
  // A new record of the class for ARecordType, else a plain TqmDnsRecord.
  virtual std::unique_ptr<TqmDnsRecord> CreateRecord(uint16_t ARecordType);

  // A fresh header and four empty sections.
  void Clear();

  // Encodes the message (its counts set from the sections) in a buffer of
  // ABufferSize bytes (512 when 0) and writes it at the stream's position.
  void Build(TStream& AStream, int ABufferSize = 0);
  // The same into bytes.
  TqmByteArray Build(int ABufferSize = 0);
  // Clears, then decodes from the stream's position to its end (nothing when
  // no bytes remain). A non-zero response code raises EqmDnsError for it
  // once everything is decoded.
  void Parse(TStream& AStream);
  void Parse(const uint8_t* AData, size_t ASize);

  // TCP framing: a 16-bit big-endian length, then the message encoded in a
  // buffer of ABatchSize - 2 bytes.
  void BuildFramed(TStream& AStream, int ABatchSize);
  // The length a framed stream announces (0 while it holds under 2 bytes).
  static size_t FramedLength(TMemoryStream& AStream);
  // Decodes the message that follows the two length bytes.
  void ParseFramed(TMemoryStream& AStream);

  // EDNS0 (RFC 6891): a payload size above 0 adds an OPT record to the
  // additional section of what Build writes, telling the server how large
  // a UDP reply may be. 0 (default): no OPT record.
  uint16_t UdpPayloadSize() const { return FUdpPayloadSize; }
  void SetUdpPayloadSize(uint16_t AValue) { FUdpPayloadSize = AValue; }

  TqmDnsMessageHeader& Header() { return FHeader; }
  const TqmDnsMessageHeader& Header() const { return FHeader; }
  TqmDnsRecordList& NameServers() { return FNameServers; }
  const TqmDnsRecordList& NameServers() const { return FNameServers; }
  TqmDnsRecordList& Answers() { return FAnswers; }
  const TqmDnsRecordList& Answers() const { return FAnswers; }
  TqmDnsRecordList& Queries() { return FQueries; }
  const TqmDnsRecordList& Queries() const { return FQueries; }
  TqmDnsRecordList& AdditionalRecords() { return FAdditionalRecords; }
  const TqmDnsRecordList& AdditionalRecords() const { return FAdditionalRecords; }

 private:
  void Encode(TqmDnsWriter& AWriter);
  void ReadSection(TqmDnsReader& AReader, TqmDnsRecordList& AList, int ACount, bool AQuestions);

  TqmDnsMessageHeader FHeader;
  TqmDnsRecordList FNameServers;
  TqmDnsRecordList FAnswers;
  TqmDnsRecordList FQueries;
  TqmDnsRecordList FAdditionalRecords;
  uint16_t FUdpPayloadSize = 0;
};

}  // namespace qm
