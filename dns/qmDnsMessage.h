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

/// Received data that do not hold a well-formed message: a field, label or
/// record running past the end, a compression pointer that does not point
/// strictly backwards, a name over 255 bytes.
constexpr int qmDnsInvalidSizeCode = -1;
extern const char* const qmDnsInvalidSize;  ///< Message of qmDnsInvalidSizeCode: "The size of the datagram is invalid"
/// RCODE 1: the server could not read the query (an old server refusing
/// EDNS0 answers so).
constexpr int qmDnsFormatErrorCode = 1;
/// RCODE 3 (NXDOMAIN): the name does not exist.
constexpr int qmDnsNameErrorCode = 3;
// Encoding refusals: what would otherwise put a corrupt message on the wire.
/// A label over 63 bytes.
constexpr int qmDnsLabelTooLongCode = -201;
extern const char* const qmDnsLabelTooLong;  ///< Message of qmDnsLabelTooLongCode: "A label of the DNS name is longer than 63 bytes"
/// A name over 255 bytes encoded.
constexpr int qmDnsNameTooLongCode = -202;
extern const char* const qmDnsNameTooLong;  ///< Message of qmDnsNameTooLongCode: "The DNS name is longer than 255 bytes"
/// A name with two dots in a row or a leading dot.
constexpr int qmDnsEmptyLabelCode = -203;
extern const char* const qmDnsEmptyLabel;  ///< Message of qmDnsEmptyLabelCode: "The DNS name has an empty label"
/// The encoded message does not fit in the buffer size given to Build.
constexpr int qmDnsMessageTooLongCode = -204;
extern const char* const qmDnsMessageTooLong;  ///< Message of qmDnsMessageTooLongCode: "The DNS message does not fit in its buffer"
/// The lookup ran out of its question budget (see qmDnsTooManyQuestions).
constexpr int qmDnsTooManyQuestionsCode = -205;
/// "The DNS lookup needs more questions than it may ask": referrals (or the
/// lookups of their name servers) went on past the resolver's budget.
extern const char* const qmDnsTooManyQuestions;

/// What the DNS classes raise: a response code of the server (1 to 5, see
/// ResponseCodeText) or one of the qmDns...Code values above as ErrorCode.
class EqmDnsError : public EqmSocketError {
 public:
  /// The text of a response code (1 "Format error" ... 5 "Refused", any
  /// other "Unspecified error"), the code as ErrorCode.
  explicit EqmDnsError(int AResponseCode);
  /// An error with its message and code.
  EqmDnsError(std::string AMessage, int AErrorCode) : EqmSocketError(std::move(AMessage), AErrorCode) {}
  /// "Format error", "Server failure", "No such name", "Not implemented",
  /// "Refused" for 1 to 5, else "Unspecified error".
  static std::string ResponseCodeText(int AResponseCode);
};

/// The OPCODE of a message: 0 query, 1 inverse query, 2 status.
enum TqmDnsOpcode { doQuery, doInverseQuery, doStatus };
/// The class of a record: IN (1), CH (3), HS (4).
enum TqmDnsRecordClass { rcInternet, rcChaos, rcHesiod };

/// Record type codes of the supported classes.
constexpr uint16_t qmDnsTypeA = 1;  ///< An IPv4 address.
constexpr uint16_t qmDnsTypeNS = 2;  ///< An authoritative name server.
constexpr uint16_t qmDnsTypeCNAME = 5;  ///< The canonical name of an alias.
constexpr uint16_t qmDnsTypeSOA = 6;  ///< The start of a zone of authority.
constexpr uint16_t qmDnsTypePTR = 12;  ///< A name pointer (reverse lookups).
constexpr uint16_t qmDnsTypeMX = 15;  ///< A mail exchanger.
constexpr uint16_t qmDnsTypeTXT = 16;  ///< Text strings (DKIM keys, SPF).
constexpr uint16_t qmDnsTypeAAAA = 28;  ///< An IPv6 address.
constexpr uint16_t qmDnsTypeOPT = 41;  ///< The EDNS0 pseudo-record.

/// A 16-bit ID from the kernel's random source, so that an off-path sender
/// cannot guess the ID of a query.
uint16_t RandomDnsId();

// Encoding cursor over a buffer of fixed size.
/// Encoding cursor over a buffer of fixed size: every write past the end
/// raises EqmDnsError qmDnsMessageTooLongCode instead of growing it.
class TqmDnsWriter {
 public:
  /// A buffer of ACapacity bytes.
  explicit TqmDnsWriter(size_t ACapacity) : FData(ACapacity) {}
  /// The number of bytes written so far.
  size_t Position() const { return FPosition; }
  /// The buffer; the message is its first Position() bytes.
  const uint8_t* Data() const { return FData.data(); }
  /// One byte.
  void WriteByte(uint8_t AValue);
  /// 16 bits, big-endian.
  void WriteWord(uint16_t AValue);
  /// 32 bits, big-endian.
  void WriteLong(uint32_t AValue);
  /// ACount bytes as they are.
  void WriteBytes(const void* AData, size_t ACount);
  /// Overwrites 16 bits already written at APosition (a length or a count).
  void PatchWord(size_t APosition, uint16_t AValue);
  /// Labels without compression and a final zero byte; a final "." adds
  /// nothing, an empty name is the zero byte alone.
  void WriteName(std::string_view AName);
  /// One or more character strings of at most 255 bytes; an empty text is a
  /// single empty string.
  void WriteCharacterStrings(std::string_view AText);

 private:
  void Reserve(size_t ACount);
  TqmByteArray FData;
  size_t FPosition = 0;
};

/// Decoding cursor over received bytes. Reads stop at Limit (the end of the
/// current record data, or of the message); compression pointers may reach
/// anywhere before the name that holds them.
class TqmDnsReader {
 public:
  /// Reads ASize bytes at AData, which must outlive the reader.
  TqmDnsReader(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize), FLimit(ASize) {}
  /// The offset of the next byte read.
  size_t Position() const { return FPosition; }
  /// Moves the cursor (checked at the next read).
  void SetPosition(size_t APosition) { FPosition = APosition; }
  /// The size of the whole message.
  size_t Size() const { return FSize; }
  /// Where reads stop.
  size_t Limit() const { return FLimit; }
  /// Sets Limit (at most Size()).
  void SetLimit(size_t ALimit) { FLimit = ALimit; }
  /// One byte; past Limit raises EqmDnsError qmDnsInvalidSizeCode, as every read does.
  uint8_t ReadByte();
  /// 16 bits, big-endian.
  uint16_t ReadWord();
  /// 32 bits, big-endian.
  uint32_t ReadLong();
  /// ACount bytes, in place (valid while the message's bytes are).
  const uint8_t* ReadBytes(size_t ACount);
  /// A name, following compression pointers, as dotted text without a final dot.
  std::string ReadName();
  /// One length-prefixed character string.
  std::string ReadCharacterString();

 private:
  void Need(size_t ACount) const;
  const uint8_t* FData;
  size_t FSize;
  size_t FLimit;
  size_t FPosition = 0;
};

/// Raises EqmDnsError qmDnsInvalidSizeCode.
[[noreturn]] void RaiseDnsInvalidSize();

/// The fixed 12-byte header of a message: ID, flags, codes and the counts
/// of the four sections.
class TqmDnsMessageHeader : public TPersistent {
 public:
  /// A header with a random ID (see Clear).
  TqmDnsMessageHeader() { Clear(); }
  /// Copies another header; anything else goes to TPersistent.
  void Assign(const TPersistent& ASource) override;
  /// A fresh random ID; every other field false or 0 (so IsQuery is false).
  void Clear();

  /// RA: the server offers recursion.
  bool IsRecursionAvailable() const { return FIsRecursionAvailable; }
  /// Sets RA.
  void SetIsRecursionAvailable(bool AValue) { FIsRecursionAvailable = AValue; }
  /// AA: the answer comes from a server of the zone.
  bool IsAuthoritativeAnswer() const { return FIsAuthoritativeAnswer; }
  /// Sets AA.
  void SetIsAuthoritativeAnswer(bool AValue) { FIsAuthoritativeAnswer = AValue; }
  /// True for a query; the QR bit is its opposite (set in a response).
  bool IsQuery() const { return FIsQuery; }
  /// Sets IsQuery.
  void SetIsQuery(bool AValue) { FIsQuery = AValue; }
  /// RD: the server is asked to resolve the name fully.
  bool IsRecursionDesired() const { return FIsRecursionDesired; }
  /// Sets RD.
  void SetIsRecursionDesired(bool AValue) { FIsRecursionDesired = AValue; }
  /// TC: the reply did not fit the UDP datagram (ask again over TCP).
  bool IsTruncated() const { return FIsTruncated; }
  /// Sets TC.
  void SetIsTruncated(bool AValue) { FIsTruncated = AValue; }
  /// RCODE: 0 no error, 3 no such name (see EqmDnsError::ResponseCodeText).
  int ResponseCode() const { return FResponseCode; }
  /// Sets RCODE (its 4 low bits are written).
  void SetResponseCode(int AValue) { FResponseCode = AValue; }
  /// The kind of query.
  TqmDnsOpcode Opcode() const { return FOpcode; }
  /// Sets Opcode.
  void SetOpcode(TqmDnsOpcode AValue) { FOpcode = AValue; }
  /// The ID that pairs a reply with its query.
  uint16_t ID() const { return FID; }
  /// Sets ID.
  void SetID(uint16_t AValue) { FID = AValue; }
  /// ANCOUNT: records in the answer section.
  uint16_t AnswerCount() const { return FAnswerCount; }
  /// Sets ANCOUNT (Build sets it from the section).
  void SetAnswerCount(uint16_t AValue) { FAnswerCount = AValue; }
  /// QDCOUNT: questions.
  uint16_t QueryCount() const { return FQueryCount; }
  /// Sets QDCOUNT (Build sets it from the section).
  void SetQueryCount(uint16_t AValue) { FQueryCount = AValue; }
  /// NSCOUNT: records in the authority section.
  uint16_t NameServerCount() const { return FNameServerCount; }
  /// Sets NSCOUNT (Build sets it from the section).
  void SetNameServerCount(uint16_t AValue) { FNameServerCount = AValue; }
  /// ARCOUNT: records in the additional section.
  uint16_t AdditionalCount() const { return FAdditionalCount; }
  /// Sets ARCOUNT (Build sets it from the section).
  void SetAdditionalCount(uint16_t AValue) { FAdditionalCount = AValue; }

  /// Encodes the 12 bytes.
  void Write(TqmDnsWriter& AWriter) const;
  /// Decodes the 12 bytes.
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

/// A question or resource record; used as is for types without a class of
/// their own (their data are skipped when read).
class TqmDnsRecord : public TPersistent {
 public:
  /// An IN record of type 0 without a name.
  TqmDnsRecord() = default;
  /// Copies another record's fields (and data, for the same class).
  void Assign(const TPersistent& ASource) override;
  // ---- overridable operations (slot order) ----
  /// Writes the record data; a missing data field raises "Server failure" (2).
  virtual void WriteData(TqmDnsWriter& AWriter) const;
  /// Reads the record data, which end at AReader.Limit().
  virtual void ReadData(TqmDnsReader& AReader);
  /// A new, empty record of the same class.
  virtual std::unique_ptr<TqmDnsRecord> NewInstance() const;
  /// The record type whose data this class decodes, 0 for the plain record
  /// (which keeps its data undecoded). The typed finders of the record list
  /// ask this instead of testing the object's class.
  virtual uint16_t DecodedType() const { return 0; }

  /// The class (IN by default).
  TqmDnsRecordClass RecordClass() const { return FRecordClass; }
  /// Sets RecordClass.
  void SetRecordClass(TqmDnsRecordClass AValue) { FRecordClass = AValue; }
  /// The type code (qmDnsTypeA...).
  uint16_t RecordType() const { return FRecordType; }
  /// Sets RecordType.
  void SetRecordType(uint16_t AValue) { FRecordType = AValue; }
  /// The owner name, dotted, without a final dot.
  const std::string& Name() const { return FName; }
  /// Sets Name.
  void SetName(std::string AValue) { FName = std::move(AValue); }
  /// How long the record may be cached, in seconds.
  uint32_t TTL() const { return FTTL; }
  /// Sets TTL.
  void SetTTL(uint32_t AValue) { FTTL = AValue; }
  /// RDLENGTH as read, in bytes.
  uint16_t DataLength() const { return FDataLength; }
  /// Sets DataLength (WriteResource writes the real length).
  void SetDataLength(uint16_t AValue) { FDataLength = AValue; }

  /// Name, type and class.
  void WriteQuestion(TqmDnsWriter& AWriter) const;
  /// Reads name, type and class.
  void ReadQuestion(TqmDnsReader& AReader);
  /// The question part, TTL, RDLENGTH and the data.
  void WriteResource(TqmDnsWriter& AWriter);
  /// Reads the question part, TTL, RDLENGTH and the data.
  void ReadResource(TqmDnsReader& AReader);
  /// What follows the question part: TTL, RDLENGTH and the data.
  void ReadResourceTail(TqmDnsReader& AReader);

 private:
  TqmDnsRecordClass FRecordClass = rcInternet;
  uint16_t FRecordType = 0;
  std::string FName;
  uint32_t FTTL = 0;
  uint16_t FDataLength = 0;
};

/// An A record: an IPv4 address.
class TqmDnsARecord : public TqmDnsRecord {
 public:
  /// An A record without data.
  TqmDnsARecord() { SetRecordType(qmDnsTypeA); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsARecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypeA;
  uint16_t DecodedType() const override { return ClassType; }
  /// The address as dotted text ("192.0.2.1").
  const std::string& IPAddress() const { return FIPAddress; }
  /// Sets IPAddress; one that does not parse raises when written.
  void SetIPAddress(const std::string& AValue) { FIPAddress = AValue; }

 private:
  std::string FIPAddress;
};

/// An NS record: a name server of the zone.
class TqmDnsNSRecord : public TqmDnsRecord {
 public:
  /// An NS record without data.
  TqmDnsNSRecord() { SetRecordType(qmDnsTypeNS); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsNSRecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypeNS;
  uint16_t DecodedType() const override { return ClassType; }
  /// The server's host name.
  const std::string& NameServer() const { return FNameServer; }
  /// Sets NameServer.
  void SetNameServer(const std::string& AValue) { FNameServer = AValue; }

 private:
  std::string FNameServer;
};

/// A CNAME record: the name is an alias of PrimaryName.
class TqmDnsCNAMERecord : public TqmDnsRecord {
 public:
  /// A CNAME record without data.
  TqmDnsCNAMERecord() { SetRecordType(qmDnsTypeCNAME); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsCNAMERecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypeCNAME;
  uint16_t DecodedType() const override { return ClassType; }
  /// The canonical name.
  const std::string& PrimaryName() const { return FPrimaryName; }
  /// Sets PrimaryName.
  void SetPrimaryName(const std::string& AValue) { FPrimaryName = AValue; }

 private:
  std::string FPrimaryName;
};

/// An SOA record: the zone's primary server and timers (times in seconds).
class TqmDnsSOARecord : public TqmDnsRecord {
 public:
  /// An SOA record without data.
  TqmDnsSOARecord() { SetRecordType(qmDnsTypeSOA); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsSOARecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypeSOA;
  uint16_t DecodedType() const override { return ClassType; }
  /// MNAME: the zone's primary name server.
  const std::string& PrimaryNameServer() const { return FPrimaryNameServer; }
  /// Sets PrimaryNameServer.
  void SetPrimaryNameServer(const std::string& AValue) { FPrimaryNameServer = AValue; }
  /// RNAME: the mailbox of the zone's admin, as a name (first dot for "@").
  const std::string& ResponsiblePerson() const { return FResponsiblePerson; }
  /// Sets ResponsiblePerson.
  void SetResponsiblePerson(const std::string& AValue) { FResponsiblePerson = AValue; }
  /// SERIAL: the zone's version.
  uint32_t SerialNumber() const { return FSerialNumber; }
  /// Sets SerialNumber.
  void SetSerialNumber(uint32_t AValue) { FSerialNumber = AValue; }
  /// REFRESH: how often secondaries check the serial, in seconds.
  uint32_t RefreshInterval() const { return FRefreshInterval; }
  /// Sets RefreshInterval.
  void SetRefreshInterval(uint32_t AValue) { FRefreshInterval = AValue; }
  /// RETRY: the wait after a failed refresh, in seconds.
  uint32_t RetryInterval() const { return FRetryInterval; }
  /// Sets RetryInterval.
  void SetRetryInterval(uint32_t AValue) { FRetryInterval = AValue; }
  /// EXPIRE: when a secondary stops answering without refresh, in seconds.
  uint32_t ExpirationLimit() const { return FExpirationLimit; }
  /// Sets ExpirationLimit.
  void SetExpirationLimit(uint32_t AValue) { FExpirationLimit = AValue; }
  /// MINIMUM: the TTL of negative answers, in seconds.
  uint32_t MinimumTTL() const { return FMinimumTTL; }
  /// Sets MinimumTTL.
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

/// A PTR record: the name an address maps back to.
class TqmDnsPTRRecord : public TqmDnsRecord {
 public:
  /// A PTR record without data.
  TqmDnsPTRRecord() { SetRecordType(qmDnsTypePTR); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsPTRRecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypePTR;
  uint16_t DecodedType() const override { return ClassType; }
  /// The name pointed to.
  const std::string& DomainName() const { return FDomainName; }
  /// Sets DomainName.
  void SetDomainName(const std::string& AValue) { FDomainName = AValue; }

 private:
  std::string FDomainName;
};

/// An MX record: a mail server of the domain and its preference.
class TqmDnsMXRecord : public TqmDnsRecord {
 public:
  /// An MX record without data.
  TqmDnsMXRecord() { SetRecordType(qmDnsTypeMX); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsMXRecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypeMX;
  uint16_t DecodedType() const override { return ClassType; }
  /// Lower values are tried first.
  uint16_t Preference() const { return FPreference; }
  /// Sets Preference.
  void SetPreference(uint16_t AValue) { FPreference = AValue; }
  /// The mail server's host name.
  const std::string& MailServer() const { return FMailServer; }
  /// Sets MailServer.
  void SetMailServer(const std::string& AValue) { FMailServer = AValue; }

 private:
  uint16_t FPreference = 0;
  std::string FMailServer;
};

/// A TXT record: text (a DKIM key record, an SPF policy).
class TqmDnsTXTRecord : public TqmDnsRecord {
 public:
  /// A TXT record without text.
  TqmDnsTXTRecord() { SetRecordType(qmDnsTypeTXT); }
  void Assign(const TPersistent& ASource) override;
  /// Texts over 255 bytes go out as several character strings.
  void WriteData(TqmDnsWriter& AWriter) const override;
  /// The character strings joined without separators.
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsTXTRecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypeTXT;
  uint16_t DecodedType() const override { return ClassType; }
  /// The text, its character strings joined.
  const std::string& Text() const { return FText; }
  /// Sets Text (any length).
  void SetText(const std::string& AValue) { FText = AValue; }

 private:
  std::string FText;
};

/// An AAAA record: an IPv6 address.
class TqmDnsAAAARecord : public TqmDnsRecord {
 public:
  /// An AAAA record without data.
  TqmDnsAAAARecord() { SetRecordType(qmDnsTypeAAAA); }
  void Assign(const TPersistent& ASource) override;
  void WriteData(TqmDnsWriter& AWriter) const override;
  void ReadData(TqmDnsReader& AReader) override;
  std::unique_ptr<TqmDnsRecord> NewInstance() const override { return std::make_unique<TqmDnsAAAARecord>(); }
  /// The record type this class decodes (used by TqmDnsRecordList::ItemAs).
  static constexpr uint16_t ClassType = qmDnsTypeAAAA;
  uint16_t DecodedType() const override { return ClassType; }
  /// The address in text form ("2001:db8::1").
  const std::string& IPv6Address() const { return FIPv6Address; }
  /// Sets IPv6Address; one that does not parse raises when written.
  void SetIPv6Address(const std::string& AValue) { FIPv6Address = AValue; }

 private:
  std::string FIPv6Address;
};

/// A section of a message (or any list of records); owns its records.
// Owns its records.
class TqmDnsRecordList : public TPersistent {
 public:
  /// Clears and adds a copy of every record of ASource, of the same class.
  void Assign(const TPersistent& ASource) override;
  /// Takes ARecord and returns it.
  TqmDnsRecord* Add(std::unique_ptr<TqmDnsRecord> ARecord);
  /// The number of records.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// Raises EListError for an index outside the list.
  TqmDnsRecord* Items(int AIndex) const;
  /// Frees every record.
  void Clear() { FItems.clear(); }
  /// The first record of ARecordType whose name equals AName without regard
  /// to case, or nullptr.
  TqmDnsRecord* FindItem(const std::string& AName, uint16_t ARecordType) const;
  /// The record at AIndex as a T (TqmDnsARecord, TqmDnsTXTRecord...), or
  /// nullptr when it is of another type.
  template <class T>
  T* ItemAs(int AIndex) const {
    TqmDnsRecord* Item = Items(AIndex);
    return Item->DecodedType() == T::ClassType ? static_cast<T*>(Item) : nullptr;
  }
  /// The first T whose name equals AName without regard to case, or nullptr.
  template <class T>
  T* FindItemAs(const std::string& AName) const {
    TqmDnsRecord* Item = FindItem(AName, T::ClassType);
    return Item && Item->DecodedType() == T::ClassType ? static_cast<T*>(Item) : nullptr;
  }

 private:
  std::vector<std::unique_ptr<TqmDnsRecord>> FItems;
};

/// A DNS message: header and the question, answer, authority and
/// additional sections, encoded with Build and decoded with Parse.
class TqmDnsMessage : public TPersistent {
 public:
  /// A query with a random ID and empty sections.
  TqmDnsMessage() = default;
  ~TqmDnsMessage() override = default;
  /// Copies another message: header, sections and UdpPayloadSize.
  void Assign(const TPersistent& ASource) override;
  // ---- overridable operation ----
  /// A new record of the class for ARecordType, else a plain TqmDnsRecord.
  virtual std::unique_ptr<TqmDnsRecord> CreateRecord(uint16_t ARecordType);

  /// A fresh header and four empty sections.
  void Clear();

  /// Encodes the message (its counts set from the sections) in a buffer of
  /// ABufferSize bytes (512 when 0) and writes it at the stream's position.
  void Build(TStream& AStream, int ABufferSize = 0);
  /// The same into bytes.
  TqmByteArray Build(int ABufferSize = 0);
  /// Clears, then decodes from the stream's position to its end (nothing when
  /// no bytes remain). A non-zero response code raises EqmDnsError for it
  /// once everything is decoded.
  void Parse(TStream& AStream);
  /// The same from ASize bytes at AData.
  void Parse(const uint8_t* AData, size_t ASize);

  /// TCP framing: a 16-bit big-endian length, then the message encoded in a
  /// buffer of ABatchSize - 2 bytes.
  void BuildFramed(TStream& AStream, int ABatchSize);
  /// The length a framed stream announces (0 while it holds under 2 bytes).
  static size_t FramedLength(TMemoryStream& AStream);
  /// Decodes the message that follows the two length bytes.
  void ParseFramed(TMemoryStream& AStream);

  /// EDNS0 (RFC 6891): a payload size above 0 adds an OPT record to the
  /// additional section of what Build writes, telling the server how large
  /// a UDP reply may be. 0 (default): no OPT record.
  uint16_t UdpPayloadSize() const { return FUdpPayloadSize; }
  /// Sets UdpPayloadSize.
  void SetUdpPayloadSize(uint16_t AValue) { FUdpPayloadSize = AValue; }

  /// The header.
  TqmDnsMessageHeader& Header() { return FHeader; }
  /// The header.
  const TqmDnsMessageHeader& Header() const { return FHeader; }
  /// The authority section.
  TqmDnsRecordList& NameServers() { return FNameServers; }
  /// The authority section.
  const TqmDnsRecordList& NameServers() const { return FNameServers; }
  /// The answer section.
  TqmDnsRecordList& Answers() { return FAnswers; }
  /// The answer section.
  const TqmDnsRecordList& Answers() const { return FAnswers; }
  /// The question section.
  TqmDnsRecordList& Queries() { return FQueries; }
  /// The question section.
  const TqmDnsRecordList& Queries() const { return FQueries; }
  /// The additional section.
  TqmDnsRecordList& AdditionalRecords() { return FAdditionalRecords; }
  /// The additional section.
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
