#include "dns/qmDnsMessage.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/qmSysUtils.h"
#include "net/qmIPAddress.h"

namespace qm {

const char* const qmDnsInvalidSize = "The size of the datagram is invalid";
const char* const qmDnsLabelTooLong = "A label of the DNS name is longer than 63 bytes";
const char* const qmDnsNameTooLong = "The DNS name is longer than 255 bytes";
const char* const qmDnsEmptyLabel = "The DNS name has an empty label";
const char* const qmDnsMessageTooLong = "The DNS message does not fit in its buffer";
const char* const qmDnsTooManyQuestions = "The DNS lookup needs more questions than it may ask";

namespace {

constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxName = 255;  // wire octets, length bytes and final zero included
constexpr size_t kMaxCharacterString = 255;
constexpr int kServerFailure = 2;

[[noreturn]] void RaiseMissingData() { throw EqmDnsError(kServerFailure); }

uint16_t ClassToWire(TqmDnsRecordClass AClass) {
  switch (AClass) {
    case rcChaos:
      return 3;
    case rcHesiod:
      return 4;
    default:
      return 1;
  }
}

TqmDnsRecordClass ClassFromWire(uint16_t AValue) {
  if (AValue == 3) return rcChaos;
  if (AValue == 4) return rcHesiod;
  return rcInternet;
}

// Record data end where RDLENGTH says; reads of the data stop there.
class TLimitScope {
 public:
  TLimitScope(TqmDnsReader& AReader, size_t ALimit) : FReader(AReader), FSaved(AReader.Limit()) {
    FReader.SetLimit(ALimit);
  }
  ~TLimitScope() { FReader.SetLimit(FSaved); }
  TLimitScope(const TLimitScope&) = delete;
  TLimitScope& operator=(const TLimitScope&) = delete;

 private:
  TqmDnsReader& FReader;
  size_t FSaved;
};

}  // namespace

void RaiseDnsInvalidSize() { throw EqmDnsError(qmDnsInvalidSize, qmDnsInvalidSizeCode); }

// ---- EqmDnsError ----

EqmDnsError::EqmDnsError(int AResponseCode) : EqmSocketError(ResponseCodeText(AResponseCode), AResponseCode) {}

std::string EqmDnsError::ResponseCodeText(int AResponseCode) {
  switch (AResponseCode) {
    case 1:
      return "Format error";
    case 2:
      return "Server failure";
    case 3:
      return "No such name";
    case 4:
      return "Not implemented";
    case 5:
      return "Refused";
    default:
      return "Unspecified error";
  }
}

namespace {

// IDs come from the kernel's random source in batches: one getrandom call
// serves many queries. A forked child starts a fresh batch, so that parent
// and child never hand out the same IDs.
struct TIdPool {
  uint16_t Ids[64];
  size_t Next = 64;
};
thread_local TIdPool IdPool;
std::once_flag IdPoolForkHook;

}  // namespace

uint16_t RandomDnsId() {
  std::call_once(IdPoolForkHook, [] { pthread_atfork(nullptr, nullptr, [] { IdPool.Next = 64; }); });
  if (IdPool.Next == 64) {
    size_t Got = 0;
    while (Got < sizeof IdPool.Ids) {
      const ssize_t N = getrandom(reinterpret_cast<uint8_t*>(IdPool.Ids) + Got, sizeof IdPool.Ids - Got, 0);
      if (N < 0) {
        if (errno == EINTR) continue;
        RaiseSocketError(errno);
      }
      Got += static_cast<size_t>(N);
    }
    IdPool.Next = 0;
  }
  return IdPool.Ids[IdPool.Next++];
}

// ---- TqmDnsWriter ----

void TqmDnsWriter::Reserve(size_t ACount) {
  if (ACount > FData.size() - FPosition) throw EqmDnsError(qmDnsMessageTooLong, qmDnsMessageTooLongCode);
}

void TqmDnsWriter::WriteByte(uint8_t AValue) {
  Reserve(1);
  FData[FPosition++] = AValue;
}

void TqmDnsWriter::WriteWord(uint16_t AValue) {
  Reserve(2);
  FData[FPosition++] = static_cast<uint8_t>(AValue >> 8);
  FData[FPosition++] = static_cast<uint8_t>(AValue);
}

void TqmDnsWriter::WriteLong(uint32_t AValue) {
  WriteWord(static_cast<uint16_t>(AValue >> 16));
  WriteWord(static_cast<uint16_t>(AValue));
}

void TqmDnsWriter::WriteBytes(const void* AData, size_t ACount) {
  Reserve(ACount);
  if (ACount) std::memcpy(FData.data() + FPosition, AData, ACount);
  FPosition += ACount;
}

void TqmDnsWriter::PatchWord(size_t APosition, uint16_t AValue) {
  FData.at(APosition) = static_cast<uint8_t>(AValue >> 8);
  FData.at(APosition + 1) = static_cast<uint8_t>(AValue);
}

void TqmDnsWriter::WriteName(std::string_view AName) {
  if (!AName.empty() && AName.back() == '.') AName.remove_suffix(1);
  // The whole name is checked before a byte is written.
  size_t WireLength = 1;
  if (!AName.empty()) {
    size_t Start = 0;
    for (;;) {
      const size_t Dot = AName.find('.', Start);
      const size_t Length = (Dot == std::string_view::npos ? AName.size() : Dot) - Start;
      if (Length == 0) throw EqmDnsError(qmDnsEmptyLabel, qmDnsEmptyLabelCode);
      if (Length > kMaxLabel) throw EqmDnsError(qmDnsLabelTooLong, qmDnsLabelTooLongCode);
      WireLength += 1 + Length;
      if (Dot == std::string_view::npos) break;
      Start = Dot + 1;
    }
  }
  if (WireLength > kMaxName) throw EqmDnsError(qmDnsNameTooLong, qmDnsNameTooLongCode);
  Reserve(WireLength);
  size_t Start = 0;
  while (Start < AName.size()) {
    size_t Dot = AName.find('.', Start);
    if (Dot == std::string_view::npos) Dot = AName.size();
    FData[FPosition++] = static_cast<uint8_t>(Dot - Start);
    std::memcpy(FData.data() + FPosition, AName.data() + Start, Dot - Start);
    FPosition += Dot - Start;
    Start = Dot + 1;
  }
  FData[FPosition++] = 0;
}

void TqmDnsWriter::WriteCharacterStrings(std::string_view AText) {
  do {
    const size_t Length = std::min(AText.size(), kMaxCharacterString);
    WriteByte(static_cast<uint8_t>(Length));
    WriteBytes(AText.data(), Length);
    AText.remove_prefix(Length);
  } while (!AText.empty());
}

// ---- TqmDnsReader ----

void TqmDnsReader::Need(size_t ACount) const {
  if (FPosition > FLimit || ACount > FLimit - FPosition) RaiseDnsInvalidSize();
}

uint8_t TqmDnsReader::ReadByte() {
  Need(1);
  return FData[FPosition++];
}

uint16_t TqmDnsReader::ReadWord() {
  Need(2);
  const uint16_t Value = static_cast<uint16_t>(FData[FPosition] << 8 | FData[FPosition + 1]);
  FPosition += 2;
  return Value;
}

uint32_t TqmDnsReader::ReadLong() {
  const uint32_t High = ReadWord();
  return High << 16 | ReadWord();
}

const uint8_t* TqmDnsReader::ReadBytes(size_t ACount) {
  Need(ACount);
  const uint8_t* Result = FData + FPosition;
  FPosition += ACount;
  return Result;
}

std::string TqmDnsReader::ReadName() {
  std::string Name;
  // Labels are read at Cursor up to Bound. A pointer must point before the
  // start of the run of labels that holds it, so every jump goes strictly
  // backwards and a loop cannot form; the name may then reach up to the
  // end of the message, but never past 255 wire octets.
  size_t Cursor = FPosition;
  size_t Bound = FLimit;
  size_t RunStart = Cursor;
  size_t WireLength = 1;
  bool Jumped = false;
  for (;;) {
    if (Cursor >= Bound) RaiseDnsInvalidSize();
    const uint8_t Length = FData[Cursor];
    if (Length >= 0xC0) {
      if (Cursor + 1 >= Bound) RaiseDnsInvalidSize();
      const size_t Target = static_cast<size_t>(Length & 0x3F) << 8 | FData[Cursor + 1];
      if (Target >= RunStart) RaiseDnsInvalidSize();
      if (!Jumped) {
        FPosition = Cursor + 2;
        Jumped = true;
        Bound = FSize;
      }
      Cursor = RunStart = Target;
      continue;
    }
    if (Length > kMaxLabel) RaiseDnsInvalidSize();  // 0x40 and 0x80: no such label types
    ++Cursor;
    if (Length == 0) break;
    if (Length > Bound - Cursor) RaiseDnsInvalidSize();
    WireLength += 1 + Length;
    if (WireLength > kMaxName) RaiseDnsInvalidSize();
    if (!Name.empty()) Name.push_back('.');
    Name.append(reinterpret_cast<const char*>(FData + Cursor), Length);
    Cursor += Length;
  }
  if (!Jumped) FPosition = Cursor;
  return Name;
}

std::string TqmDnsReader::ReadCharacterString() {
  const uint8_t Length = ReadByte();
  const uint8_t* Bytes = ReadBytes(Length);
  return std::string(reinterpret_cast<const char*>(Bytes), Length);
}

// ---- TqmDnsMessageHeader ----

void TqmDnsMessageHeader::Assign(const TPersistent& ASource) {
  const auto* Source = dynamic_cast<const TqmDnsMessageHeader*>(&ASource);
  if (!Source) return TPersistent::Assign(ASource);
  FIsRecursionAvailable = Source->FIsRecursionAvailable;
  FIsAuthoritativeAnswer = Source->FIsAuthoritativeAnswer;
  FIsQuery = Source->FIsQuery;
  FIsRecursionDesired = Source->FIsRecursionDesired;
  FIsTruncated = Source->FIsTruncated;
  FResponseCode = Source->FResponseCode;
  FOpcode = Source->FOpcode;
  FID = Source->FID;
  FAnswerCount = Source->FAnswerCount;
  FQueryCount = Source->FQueryCount;
  FNameServerCount = Source->FNameServerCount;
  FAdditionalCount = Source->FAdditionalCount;
}

void TqmDnsMessageHeader::Clear() {
  FIsRecursionAvailable = FIsAuthoritativeAnswer = FIsQuery = FIsRecursionDesired = FIsTruncated = false;
  FResponseCode = 0;
  FOpcode = doQuery;
  FID = RandomDnsId();
  FAnswerCount = FQueryCount = FNameServerCount = FAdditionalCount = 0;
}

void TqmDnsMessageHeader::Write(TqmDnsWriter& AWriter) const {
  uint16_t Flags = 0;
  if (!FIsQuery) Flags |= 0x8000;
  if (FOpcode == doInverseQuery) Flags |= 0x0800;
  if (FOpcode == doStatus) Flags |= 0x1000;
  if (FIsAuthoritativeAnswer) Flags |= 0x0400;
  if (FIsTruncated) Flags |= 0x0200;
  if (FIsRecursionDesired) Flags |= 0x0100;
  if (FIsRecursionAvailable) Flags |= 0x0080;
  Flags |= static_cast<uint16_t>(FResponseCode & 0x0F);
  AWriter.WriteWord(FID);
  AWriter.WriteWord(Flags);
  AWriter.WriteWord(FQueryCount);
  AWriter.WriteWord(FAnswerCount);
  AWriter.WriteWord(FNameServerCount);
  AWriter.WriteWord(FAdditionalCount);
}

void TqmDnsMessageHeader::Read(TqmDnsReader& AReader) {
  FID = AReader.ReadWord();
  const uint16_t Flags = AReader.ReadWord();
  FIsQuery = (Flags & 0x8000) == 0;
  // Only the low two bits of the opcode are looked at.
  if ((Flags & 0x1800) == 0x0800) {
    FOpcode = doInverseQuery;
  } else if ((Flags & 0x1800) == 0x1000) {
    FOpcode = doStatus;
  } else {
    FOpcode = doQuery;
  }
  FIsAuthoritativeAnswer = (Flags & 0x0400) != 0;
  FIsTruncated = (Flags & 0x0200) != 0;
  FIsRecursionDesired = (Flags & 0x0100) != 0;
  FIsRecursionAvailable = (Flags & 0x0080) != 0;
  FResponseCode = Flags & 0x0F;
  FQueryCount = AReader.ReadWord();
  FAnswerCount = AReader.ReadWord();
  FNameServerCount = AReader.ReadWord();
  FAdditionalCount = AReader.ReadWord();
}

// ---- TqmDnsRecord ----

void TqmDnsRecord::Assign(const TPersistent& ASource) {
  const auto* Source = dynamic_cast<const TqmDnsRecord*>(&ASource);
  if (!Source) return TPersistent::Assign(ASource);
  FName = Source->FName;
  FRecordType = Source->FRecordType;
  FRecordClass = Source->FRecordClass;
  FTTL = Source->FTTL;
  FDataLength = Source->FDataLength;
}

void TqmDnsRecord::WriteData(TqmDnsWriter&) const {}

void TqmDnsRecord::ReadData(TqmDnsReader&) {}

std::unique_ptr<TqmDnsRecord> TqmDnsRecord::NewInstance() const { return std::make_unique<TqmDnsRecord>(); }

void TqmDnsRecord::WriteQuestion(TqmDnsWriter& AWriter) const {
  AWriter.WriteName(FName);
  AWriter.WriteWord(FRecordType);
  AWriter.WriteWord(ClassToWire(FRecordClass));
}

void TqmDnsRecord::ReadQuestion(TqmDnsReader& AReader) {
  FName = AReader.ReadName();
  FRecordType = AReader.ReadWord();
  FRecordClass = ClassFromWire(AReader.ReadWord());
}

void TqmDnsRecord::WriteResource(TqmDnsWriter& AWriter) {
  WriteQuestion(AWriter);
  AWriter.WriteLong(FTTL);
  const size_t Placeholder = AWriter.Position();
  AWriter.WriteWord(0);
  WriteData(AWriter);
  const size_t Length = AWriter.Position() - Placeholder - 2;
  if (Length > 0xFFFF) throw EqmDnsError(qmDnsMessageTooLong, qmDnsMessageTooLongCode);
  FDataLength = static_cast<uint16_t>(Length);
  AWriter.PatchWord(Placeholder, FDataLength);
}

void TqmDnsRecord::ReadResource(TqmDnsReader& AReader) {
  ReadQuestion(AReader);
  ReadResourceTail(AReader);
}

void TqmDnsRecord::ReadResourceTail(TqmDnsReader& AReader) {
  FTTL = AReader.ReadLong();
  FDataLength = AReader.ReadWord();
  const size_t Start = AReader.Position();
  AReader.ReadBytes(FDataLength);  // the data must lie within the message
  const size_t End = Start + FDataLength;
  AReader.SetPosition(Start);
  {
    TLimitScope Scope(AReader, End);
    ReadData(AReader);
  }
  AReader.SetPosition(End);
}

// ---- record classes ----

#define QM_DNS_ASSIGN(Class, ...)                                \
  void Class::Assign(const TPersistent& ASource) {               \
    TqmDnsRecord::Assign(ASource);                               \
    if (const auto* Source = dynamic_cast<const Class*>(&ASource)) { \
      __VA_ARGS__;                                               \
    }                                                            \
  }

QM_DNS_ASSIGN(TqmDnsARecord, FIPAddress = Source->FIPAddress)
QM_DNS_ASSIGN(TqmDnsNSRecord, FNameServer = Source->FNameServer)
QM_DNS_ASSIGN(TqmDnsCNAMERecord, FPrimaryName = Source->FPrimaryName)
QM_DNS_ASSIGN(TqmDnsPTRRecord, FDomainName = Source->FDomainName)
QM_DNS_ASSIGN(TqmDnsMXRecord, FPreference = Source->FPreference; FMailServer = Source->FMailServer)
QM_DNS_ASSIGN(TqmDnsTXTRecord, FText = Source->FText)
QM_DNS_ASSIGN(TqmDnsAAAARecord, FIPv6Address = Source->FIPv6Address)
QM_DNS_ASSIGN(TqmDnsSOARecord, FPrimaryNameServer = Source->FPrimaryNameServer;
              FResponsiblePerson = Source->FResponsiblePerson; FSerialNumber = Source->FSerialNumber;
              FRefreshInterval = Source->FRefreshInterval; FRetryInterval = Source->FRetryInterval;
              FExpirationLimit = Source->FExpirationLimit; FMinimumTTL = Source->FMinimumTTL)
#undef QM_DNS_ASSIGN

void TqmDnsARecord::WriteData(TqmDnsWriter& AWriter) const {
  // Four decimal parts; empty parts between dots are not counted.
  uint8_t Bytes[4];
  int Count = 0;
  size_t Start = 0;
  while (Start <= FIPAddress.size()) {
    size_t Dot = FIPAddress.find('.', Start);
    if (Dot == std::string::npos) Dot = FIPAddress.size();
    const std::string Part = FIPAddress.substr(Start, Dot - Start);
    Start = Dot + 1;
    if (Part.empty()) continue;
    if (Count == 4 || Part.size() > 9 || Part.find_first_not_of("0123456789") != std::string::npos)
      RaiseMissingData();
    Bytes[Count++] = static_cast<uint8_t>(std::stoul(Part) % 256);
  }
  if (Count != 4) RaiseMissingData();
  AWriter.WriteBytes(Bytes, 4);
}

void TqmDnsARecord::ReadData(TqmDnsReader& AReader) {
  const uint8_t* B = AReader.ReadBytes(4);
  char Text[16];
  std::snprintf(Text, sizeof Text, "%d.%d.%d.%d", B[0], B[1], B[2], B[3]);
  FIPAddress = Text;
}

void TqmDnsNSRecord::WriteData(TqmDnsWriter& AWriter) const {
  if (FNameServer.empty()) RaiseMissingData();
  AWriter.WriteName(FNameServer);
}

void TqmDnsNSRecord::ReadData(TqmDnsReader& AReader) { FNameServer = AReader.ReadName(); }

void TqmDnsCNAMERecord::WriteData(TqmDnsWriter& AWriter) const {
  if (FPrimaryName.empty()) RaiseMissingData();
  AWriter.WriteName(FPrimaryName);
}

void TqmDnsCNAMERecord::ReadData(TqmDnsReader& AReader) { FPrimaryName = AReader.ReadName(); }

void TqmDnsPTRRecord::WriteData(TqmDnsWriter& AWriter) const {
  if (FDomainName.empty()) RaiseMissingData();
  AWriter.WriteName(FDomainName);
}

void TqmDnsPTRRecord::ReadData(TqmDnsReader& AReader) { FDomainName = AReader.ReadName(); }

void TqmDnsMXRecord::WriteData(TqmDnsWriter& AWriter) const {
  if (FMailServer.empty()) RaiseMissingData();
  AWriter.WriteWord(FPreference);
  AWriter.WriteName(FMailServer);
}

void TqmDnsMXRecord::ReadData(TqmDnsReader& AReader) {
  FPreference = AReader.ReadWord();
  FMailServer = AReader.ReadName();
}

void TqmDnsSOARecord::WriteData(TqmDnsWriter& AWriter) const {
  AWriter.WriteName(FPrimaryNameServer);
  AWriter.WriteName(FResponsiblePerson);
  AWriter.WriteLong(FSerialNumber);
  AWriter.WriteLong(FRefreshInterval);
  AWriter.WriteLong(FRetryInterval);
  AWriter.WriteLong(FExpirationLimit);
  AWriter.WriteLong(FMinimumTTL);
}

void TqmDnsSOARecord::ReadData(TqmDnsReader& AReader) {
  FPrimaryNameServer = AReader.ReadName();
  FResponsiblePerson = AReader.ReadName();
  FSerialNumber = AReader.ReadLong();
  FRefreshInterval = AReader.ReadLong();
  FRetryInterval = AReader.ReadLong();
  FExpirationLimit = AReader.ReadLong();
  FMinimumTTL = AReader.ReadLong();
}

void TqmDnsTXTRecord::WriteData(TqmDnsWriter& AWriter) const {
  if (FText.empty()) RaiseMissingData();
  AWriter.WriteCharacterStrings(FText);
}

void TqmDnsTXTRecord::ReadData(TqmDnsReader& AReader) {
  FText.clear();
  while (AReader.Position() < AReader.Limit()) FText += AReader.ReadCharacterString();
}

void TqmDnsAAAARecord::WriteData(TqmDnsWriter& AWriter) const {
  in6_addr Address;
  if (inet_pton(AF_INET6, FIPv6Address.c_str(), &Address) != 1) RaiseMissingData();
  AWriter.WriteBytes(&Address, sizeof Address);
}

void TqmDnsAAAARecord::ReadData(TqmDnsReader& AReader) {
  uint8_t Bytes[16];
  std::memcpy(Bytes, AReader.ReadBytes(16), 16);
  FIPv6Address = FormatIpV6(Bytes);
}

// ---- TqmDnsRecordList ----

void TqmDnsRecordList::Assign(const TPersistent& ASource) {
  const auto* Source = dynamic_cast<const TqmDnsRecordList*>(&ASource);
  if (!Source) return TPersistent::Assign(ASource);
  if (Source == this) return;
  Clear();
  for (const auto& Item : Source->FItems) {
    std::unique_ptr<TqmDnsRecord> Copy = Item->NewInstance();
    Copy->Assign(*Item);
    FItems.push_back(std::move(Copy));
  }
}

TqmDnsRecord* TqmDnsRecordList::Add(std::unique_ptr<TqmDnsRecord> ARecord) {
  FItems.push_back(std::move(ARecord));
  return FItems.back().get();
}

TqmDnsRecord* TqmDnsRecordList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[static_cast<size_t>(AIndex)].get();
}

TqmDnsRecord* TqmDnsRecordList::FindItem(const std::string& AName, uint16_t ARecordType) const {
  for (const auto& Item : FItems)
    if (Item->RecordType() == ARecordType && SameText(Item->Name(), AName)) return Item.get();
  return nullptr;
}

// ---- TqmDnsMessage ----

void TqmDnsMessage::Assign(const TPersistent& ASource) {
  const auto* Source = dynamic_cast<const TqmDnsMessage*>(&ASource);
  if (!Source) return TPersistent::Assign(ASource);
  FHeader.Assign(Source->FHeader);
  FNameServers.Assign(Source->FNameServers);
  FAnswers.Assign(Source->FAnswers);
  FQueries.Assign(Source->FQueries);
  FAdditionalRecords.Assign(Source->FAdditionalRecords);
  FUdpPayloadSize = Source->FUdpPayloadSize;
}

std::unique_ptr<TqmDnsRecord> TqmDnsMessage::CreateRecord(uint16_t ARecordType) {
  switch (ARecordType) {
    case qmDnsTypeA:
      return std::make_unique<TqmDnsARecord>();
    case qmDnsTypeNS:
      return std::make_unique<TqmDnsNSRecord>();
    case qmDnsTypeCNAME:
      return std::make_unique<TqmDnsCNAMERecord>();
    case qmDnsTypeSOA:
      return std::make_unique<TqmDnsSOARecord>();
    case qmDnsTypePTR:
      return std::make_unique<TqmDnsPTRRecord>();
    case qmDnsTypeMX:
      return std::make_unique<TqmDnsMXRecord>();
    case qmDnsTypeTXT:
      return std::make_unique<TqmDnsTXTRecord>();
    case qmDnsTypeAAAA:
      return std::make_unique<TqmDnsAAAARecord>();
    default:
      return std::make_unique<TqmDnsRecord>();
  }
}

void TqmDnsMessage::Clear() {
  FHeader.Clear();
  FNameServers.Clear();
  FAnswers.Clear();
  FQueries.Clear();
  FAdditionalRecords.Clear();
}

void TqmDnsMessage::Encode(TqmDnsWriter& AWriter) {
  if (FQueries.Count() > 0xFFFF || FAnswers.Count() > 0xFFFF || FNameServers.Count() > 0xFFFF ||
      FAdditionalRecords.Count() > 0xFFFF)
    throw EqmDnsError(qmDnsMessageTooLong, qmDnsMessageTooLongCode);
  FHeader.SetQueryCount(static_cast<uint16_t>(FQueries.Count()));
  FHeader.SetAnswerCount(static_cast<uint16_t>(FAnswers.Count()));
  FHeader.SetNameServerCount(static_cast<uint16_t>(FNameServers.Count()));
  const bool Edns = FUdpPayloadSize > 0;
  if (Edns && FAdditionalRecords.Count() == 0xFFFF) throw EqmDnsError(qmDnsMessageTooLong, qmDnsMessageTooLongCode);
  FHeader.SetAdditionalCount(static_cast<uint16_t>(FAdditionalRecords.Count() + (Edns ? 1 : 0)));
  FHeader.Write(AWriter);
  for (int I = 0; I < FQueries.Count(); ++I) FQueries.Items(I)->WriteQuestion(AWriter);
  for (TqmDnsRecordList* List : {&FAnswers, &FNameServers, &FAdditionalRecords})
    for (int I = 0; I < List->Count(); ++I) List->Items(I)->WriteResource(AWriter);
  if (Edns) {
    // OPT: the root name, the payload size in the class field, extended
    // code, version 0 and no flags in the TTL, no options.
    AWriter.WriteByte(0);
    AWriter.WriteWord(qmDnsTypeOPT);
    AWriter.WriteWord(FUdpPayloadSize);
    AWriter.WriteLong(0);
    AWriter.WriteWord(0);
  }
}

TqmByteArray TqmDnsMessage::Build(int ABufferSize) {
  TqmDnsWriter Writer(ABufferSize > 0 ? static_cast<size_t>(ABufferSize) : 512);
  Encode(Writer);
  return TqmByteArray(Writer.Data(), Writer.Data() + Writer.Position());
}

void TqmDnsMessage::Build(TStream& AStream, int ABufferSize) {
  TqmDnsWriter Writer(ABufferSize > 0 ? static_cast<size_t>(ABufferSize) : 512);
  Encode(Writer);
  AStream.WriteBuffer(Writer.Data(), static_cast<int64_t>(Writer.Position()));
}

void TqmDnsMessage::ReadSection(TqmDnsReader& AReader, TqmDnsRecordList& AList, int ACount, bool AQuestions) {
  for (int I = 0; I < ACount; ++I) {
    // The record's class follows from the type, which follows the name.
    std::string Name = AReader.ReadName();
    const uint16_t Type = AReader.ReadWord();
    TqmDnsRecord* Record = AList.Add(CreateRecord(Type));
    Record->SetName(std::move(Name));
    Record->SetRecordType(Type);
    Record->SetRecordClass(ClassFromWire(AReader.ReadWord()));
    if (!AQuestions) Record->ReadResourceTail(AReader);
  }
}

void TqmDnsMessage::Parse(const uint8_t* AData, size_t ASize) {
  Clear();
  if (ASize == 0) return;
  TqmDnsReader Reader(AData, ASize);
  FHeader.Read(Reader);
  ReadSection(Reader, FQueries, FHeader.QueryCount(), true);
  ReadSection(Reader, FAnswers, FHeader.AnswerCount(), false);
  ReadSection(Reader, FNameServers, FHeader.NameServerCount(), false);
  ReadSection(Reader, FAdditionalRecords, FHeader.AdditionalCount(), false);
  if (FHeader.ResponseCode() != 0) throw EqmDnsError(FHeader.ResponseCode());
}

void TqmDnsMessage::Parse(TStream& AStream) {
  const int64_t Remaining = AStream.Size() - AStream.Position();
  if (Remaining <= 0) {
    Clear();
    return;
  }
  if (const auto View = AStream.ReadView()) {
    AStream.Seek(0, TSeekOrigin::soEnd);
    Parse(View->data(), View->size());
    return;
  }
  TqmByteArray Bytes(static_cast<size_t>(Remaining));
  AStream.ReadBuffer(Bytes.data(), Remaining);
  Parse(Bytes.data(), Bytes.size());
}

void TqmDnsMessage::BuildFramed(TStream& AStream, int ABatchSize) {
  if (ABatchSize <= 2) throw EqmDnsError(qmDnsMessageTooLong, qmDnsMessageTooLongCode);
  TqmDnsWriter Writer(static_cast<size_t>(std::min(ABatchSize - 2, 0xFFFF)));
  Encode(Writer);
  const uint8_t Length[2] = {static_cast<uint8_t>(Writer.Position() >> 8),
                             static_cast<uint8_t>(Writer.Position())};
  AStream.WriteBuffer(Length, 2);
  AStream.WriteBuffer(Writer.Data(), static_cast<int64_t>(Writer.Position()));
}

size_t TqmDnsMessage::FramedLength(TMemoryStream& AStream) {
  if (AStream.Size() < 2) return 0;
  return static_cast<size_t>(AStream.Memory()[0]) << 8 | AStream.Memory()[1];
}

void TqmDnsMessage::ParseFramed(TMemoryStream& AStream) {
  const size_t Length = FramedLength(AStream);
  if (static_cast<size_t>(AStream.Size()) < Length + 2) RaiseDnsInvalidSize();
  // Bytes after the announced length belong to no message.
  Parse(AStream.Memory() + 2, Length);
}

}  // namespace qm
