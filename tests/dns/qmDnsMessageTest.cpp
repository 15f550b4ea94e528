#include "dns/qmDnsMessage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/qmSysUtils.h"

namespace qm {
namespace {

std::string RunPeer(const std::string& AArgs) {
  const std::string Command = "/usr/bin/python3 " QM_TESTS_DIR "/dns/dns_peer.py " + AArgs;
  FILE* Pipe = popen(Command.c_str(), "r");
  if (!Pipe) return {};
  std::string Out;
  char Buffer[4096];
  size_t Got;
  while ((Got = fread(Buffer, 1, sizeof Buffer, Pipe)) > 0) Out.append(Buffer, Got);
  EXPECT_EQ(pclose(Pipe), 0) << Command;
  return Out;
}

TqmByteArray FromHex(const std::string& AHex) {
  TqmByteArray Bytes;
  for (size_t I = 0; I + 1 < AHex.size(); I += 2) Bytes.push_back(static_cast<uint8_t>(std::stoi(AHex.substr(I, 2), nullptr, 16)));
  return Bytes;
}

std::vector<std::string> Split(const std::string& AText, char ASeparator) {
  std::vector<std::string> Parts;
  std::stringstream In(AText);
  std::string Part;
  while (std::getline(In, Part, ASeparator)) Parts.push_back(Part);
  return Parts;
}

// The fields a record holds, in the order the peer prints them.
std::vector<std::string> Fields(const TqmDnsRecord& ARecord) {
  if (auto* R = dynamic_cast<const TqmDnsARecord*>(&ARecord)) return {R->IPAddress()};
  if (auto* R = dynamic_cast<const TqmDnsAAAARecord*>(&ARecord)) return {LowerCase(R->IPv6Address())};
  if (auto* R = dynamic_cast<const TqmDnsNSRecord*>(&ARecord)) return {R->NameServer()};
  if (auto* R = dynamic_cast<const TqmDnsCNAMERecord*>(&ARecord)) return {R->PrimaryName()};
  if (auto* R = dynamic_cast<const TqmDnsPTRRecord*>(&ARecord)) return {R->DomainName()};
  if (auto* R = dynamic_cast<const TqmDnsMXRecord*>(&ARecord)) return {std::to_string(R->Preference()), R->MailServer()};
  if (auto* R = dynamic_cast<const TqmDnsTXTRecord*>(&ARecord)) return {R->Text()};
  if (auto* R = dynamic_cast<const TqmDnsSOARecord*>(&ARecord))
    return {R->PrimaryNameServer(),          R->ResponsiblePerson(),           std::to_string(R->SerialNumber()),
            std::to_string(R->RefreshInterval()), std::to_string(R->RetryInterval()), std::to_string(R->ExpirationLimit()),
            std::to_string(R->MinimumTTL())};
  return {};
}

// Our decoding of a dnspython reply, line by line as the peer describes it.
void ExpectSameAsPeer(const std::string& ACase, TqmDnsMessage& AMessage, int AResponseCode) {
  const std::vector<std::string> Lines = Split(RunPeer("reply " + ACase), '\n');
  ASSERT_GT(Lines.size(), 1u);
  const TqmByteArray Wire = FromHex(Lines[0]);
  if (AResponseCode == 0) {
    AMessage.Parse(Wire.data(), Wire.size());
  } else {
    try {
      AMessage.Parse(Wire.data(), Wire.size());
      ADD_FAILURE() << "no error for response code " << AResponseCode;
    } catch (const EqmDnsError& E) {
      EXPECT_EQ(E.ErrorCode(), AResponseCode);
      EXPECT_EQ(E.Message(), EqmDnsError::ResponseCodeText(AResponseCode));
    }
  }
  std::map<std::string, const TqmDnsRecordList*> Sections = {{"question", &AMessage.Queries()},
                                                              {"answer", &AMessage.Answers()},
                                                              {"authority", &AMessage.NameServers()},
                                                              {"additional", &AMessage.AdditionalRecords()}};
  std::map<std::string, int> Next;
  for (size_t I = 1; I < Lines.size(); ++I) {
    if (Lines[I].empty()) continue;
    const std::vector<std::string> Parts = Split(Lines[I], '\t');
    ASSERT_GE(Parts.size(), 5u) << Lines[I];
    const TqmDnsRecordList& List = *Sections.at(Parts[0]);
    const int Index = Next[Parts[0]]++;
    ASSERT_LT(Index, List.Count()) << Lines[I];
    const TqmDnsRecord& Record = *List.Items(Index);
    SCOPED_TRACE(Lines[I]);
    EXPECT_EQ(Record.Name(), Parts[1]);
    EXPECT_EQ(Record.RecordType(), std::stoi(Parts[2]));
    EXPECT_EQ(Record.RecordClass(), rcInternet);
    if (Parts[0] == "question") continue;
    EXPECT_EQ(Record.TTL(), std::stoul(Parts[4]));
    EXPECT_EQ(Fields(Record), std::vector<std::string>(Parts.begin() + 5, Parts.end()));
  }
  for (const auto& [Name, List] : Sections) EXPECT_EQ(Next[Name], List->Count()) << Name;
}

std::unique_ptr<TqmDnsMessage> TxtQuery(const std::string& AName, uint16_t AId, bool ARecursionDesired) {
  auto Message = std::make_unique<TqmDnsMessage>();
  Message->Header().SetID(AId);
  Message->Header().SetIsQuery(true);
  Message->Header().SetIsRecursionDesired(ARecursionDesired);
  auto Question = std::make_unique<TqmDnsTXTRecord>();
  Question->SetName(AName);
  Message->Queries().Add(std::move(Question));
  return Message;
}

void ExpectInvalid(const TqmByteArray& ABytes, const char* AWhat) {
  TqmDnsMessage Message;
  try {
    Message.Parse(ABytes.data(), ABytes.size());
    ADD_FAILURE() << AWhat << ": decoded without an error";
  } catch (const EqmDnsError& E) {
    EXPECT_EQ(E.ErrorCode(), qmDnsInvalidSizeCode) << AWhat;
    EXPECT_EQ(E.Message(), "The size of the datagram is invalid") << AWhat;
  }
}

// A reply header (QR set) with the given counts, then ABody.
TqmByteArray Reply(uint16_t AQuestions, uint16_t AAnswers, const TqmByteArray& ABody) {
  const uint8_t Head[12] = {0x12, 0x34, 0x81, 0x80, 0, static_cast<uint8_t>(AQuestions), 0, static_cast<uint8_t>(AAnswers), 0, 0, 0, 0};
  TqmByteArray Bytes(sizeof Head + ABody.size());
  std::copy(Head, Head + sizeof Head, Bytes.begin());
  std::copy(ABody.begin(), ABody.end(), Bytes.begin() + sizeof Head);
  return Bytes;
}

TEST(DnsMessage, TxtQueryIsByteForByteWhatDnspythonWrites) {
  for (const auto& [Name, Id, Rd] : {std::tuple{"sel._domainkey.example.com", 0x1234, true},
                                     std::tuple{"a.b", 0xFFFF, false},
                                     std::tuple{"x1._domainkey.Mixed-Case.test", 0, true}}) {
    const TqmByteArray Ours = TxtQuery(Name, static_cast<uint16_t>(Id), Rd)->Build();
    const std::string Theirs = RunPeer(std::string("query ") + Name + " TXT " + std::to_string(Id) + (Rd ? " 1" : " 0"));
    EXPECT_EQ(Ours, FromHex(Theirs)) << Name;
  }
}

TEST(DnsMessage, DecodesDnspythonRepliesOfEveryType) {
  TqmDnsMessage Message;
  ExpectSameAsPeer("every-type", Message, 0);
  EXPECT_EQ(Message.Header().ID(), 0x4242);
  EXPECT_FALSE(Message.Header().IsQuery());
  EXPECT_TRUE(Message.Header().IsAuthoritativeAnswer());
  EXPECT_TRUE(Message.Header().IsRecursionAvailable());
  // The unknown type is a plain record with its data skipped.
  const TqmDnsRecord* Unknown = Message.Answers().FindItem("EXAMPLE.com", 65400);
  ASSERT_NE(Unknown, nullptr);
  EXPECT_EQ(typeid(*Unknown), typeid(TqmDnsRecord));
  EXPECT_EQ(Unknown->DataLength(), 3);
}

TEST(DnsMessage, TwoCharacterStringsOf255And137BytesAreOneText) {
  TqmDnsMessage Message;
  ExpectSameAsPeer("two-strings", Message, 0);
  ASSERT_EQ(Message.Answers().Count(), 1);
  EXPECT_EQ(static_cast<TqmDnsTXTRecord*>(Message.Answers().Items(0))->Text(),
            std::string(255, 'a') + std::string(137, 'b'));
}

TEST(DnsMessage, NameErrorRaisesNoSuchNameWithTheSectionsFilled) {
  TqmDnsMessage Message;
  ExpectSameAsPeer("nxdomain", Message, 3);
  EXPECT_EQ(Message.Answers().Count(), 1);
  EXPECT_EQ(Message.NameServers().Count(), 1);
  EXPECT_EQ(Message.AdditionalRecords().Count(), 1);
}

TEST(DnsMessage, ResponseCodeTexts) {
  const char* Texts[] = {"Unspecified error", "Format error", "Server failure", "No such name",
                         "Not implemented", "Refused", "Unspecified error"};
  for (int Code = 0; Code <= 6; ++Code) {
    EqmDnsError E(Code);
    EXPECT_EQ(E.Message(), Texts[Code]);
    EXPECT_EQ(E.ErrorCode(), Code);
  }
}

TEST(DnsMessage, EveryRecordTypeRoundTripsAndCopies) {
  TqmDnsMessage Message;
  Message.Header().SetOpcode(doStatus);
  Message.Header().SetResponseCode(0);
  Message.Header().SetIsTruncated(true);
  auto Add = [&](std::unique_ptr<TqmDnsRecord> R, const char* AName) {
    R->SetName(AName);
    R->SetTTL(3600);
    return Message.Answers().Add(std::move(R));
  };
  static_cast<TqmDnsARecord*>(Add(std::make_unique<TqmDnsARecord>(), "a.test"))->SetIPAddress("10.0.300.1");
  static_cast<TqmDnsAAAARecord*>(Add(std::make_unique<TqmDnsAAAARecord>(), "a.test"))->SetIPv6Address("fe80::1");
  static_cast<TqmDnsNSRecord*>(Add(std::make_unique<TqmDnsNSRecord>(), "test"))->SetNameServer("ns.test");
  static_cast<TqmDnsCNAMERecord*>(Add(std::make_unique<TqmDnsCNAMERecord>(), "w.test"))->SetPrimaryName("a.test");
  static_cast<TqmDnsPTRRecord*>(Add(std::make_unique<TqmDnsPTRRecord>(), "1.0.0.10.in-addr.arpa"))->SetDomainName("a.test");
  auto* MX = static_cast<TqmDnsMXRecord*>(Add(std::make_unique<TqmDnsMXRecord>(), "test"));
  MX->SetPreference(7);
  MX->SetMailServer("mx.test.");
  auto* SOA = static_cast<TqmDnsSOARecord*>(Add(std::make_unique<TqmDnsSOARecord>(), "test"));
  SOA->SetPrimaryNameServer("ns.test");
  SOA->SetResponsiblePerson("root.test");
  SOA->SetSerialNumber(0xFFFFFFFF);
  SOA->SetMinimumTTL(9);
  const std::string Long(600, 'k');
  static_cast<TqmDnsTXTRecord*>(Add(std::make_unique<TqmDnsTXTRecord>(), "t.test"))->SetText(Long);

  const TqmByteArray Wire = Message.Build(2048);
  TqmDnsMessage Back;
  Back.Parse(Wire.data(), Wire.size());
  EXPECT_EQ(Back.Header().Opcode(), doStatus);
  EXPECT_TRUE(Back.Header().IsTruncated());
  ASSERT_EQ(Back.Answers().Count(), 8);
  EXPECT_EQ(Fields(*Back.Answers().Items(0)), std::vector<std::string>{"10.0.44.1"});  // each part modulo 256
  EXPECT_EQ(Fields(*Back.Answers().Items(1)), std::vector<std::string>{"fe80::1"});
  EXPECT_EQ(Fields(*Back.Answers().Items(5)), (std::vector<std::string>{"7", "mx.test"}));
  EXPECT_EQ(Fields(*Back.Answers().Items(6))[2], "4294967295");
  // A text over 255 bytes travels as strings of 255, 255 and 90 bytes.
  EXPECT_EQ(Fields(*Back.Answers().Items(7)), std::vector<std::string>{Long});
  EXPECT_EQ(Back.Answers().Items(7)->DataLength(), 603);

  TqmDnsMessage Copy;
  Copy.Assign(Back);
  ASSERT_EQ(Copy.Answers().Count(), 8);
  for (int I = 0; I < 8; ++I) {
    const TqmDnsRecord& Copied = *Copy.Answers().Items(I);
    const TqmDnsRecord& Original = *Back.Answers().Items(I);
    EXPECT_EQ(typeid(Copied), typeid(Original));
    EXPECT_EQ(Fields(*Copy.Answers().Items(I)), Fields(*Back.Answers().Items(I)));
    EXPECT_EQ(Copy.Answers().Items(I)->TTL(), 3600u);
  }
  EXPECT_EQ(Copy.Header().ID(), Back.Header().ID());
}

TEST(DnsMessage, EncodingRefusesWhatTheWireCannotCarry) {
  auto Code = [](const std::string& AName, int ABuffer = 0) {
    try {
      TxtQuery(AName, 1, true)->Build(ABuffer);
      return 0;
    } catch (const EqmDnsError& E) {
      return E.ErrorCode();
    }
  };
  EXPECT_EQ(Code(std::string(63, 'a') + ".test"), 0);
  EXPECT_EQ(Code(std::string(64, 'a') + ".test"), qmDnsLabelTooLongCode);
  // 4 labels of 63 bytes: 4 * 64 + 1 = 257 wire bytes.
  const std::string L63(63, 'b');
  EXPECT_EQ(Code(L63 + "." + L63 + "." + L63 + "." + std::string(61, 'b')), 0);  // 255
  EXPECT_EQ(Code(L63 + "." + L63 + "." + L63 + "." + std::string(62, 'b')), qmDnsNameTooLongCode);
  EXPECT_EQ(Code("a..b"), qmDnsEmptyLabelCode);
  EXPECT_EQ(Code(".a"), qmDnsEmptyLabelCode);
  EXPECT_EQ(Code("trailing.dot."), 0);
  EXPECT_EQ(Code(""), 0);
  EXPECT_EQ(Code("x.test", 20), qmDnsMessageTooLongCode);
  // A query exactly as big as its buffer fits (12 + 8 + 4 bytes).
  EXPECT_EQ(Code("x.test", 24), 0);
  EXPECT_EQ(Code("x.test", 23), qmDnsMessageTooLongCode);

  // Missing record data: "Server failure" (2).
  for (auto* Bad : {static_cast<TqmDnsRecord*>(new TqmDnsARecord), static_cast<TqmDnsRecord*>(new TqmDnsTXTRecord),
                    static_cast<TqmDnsRecord*>(new TqmDnsMXRecord), static_cast<TqmDnsRecord*>(new TqmDnsAAAARecord)}) {
    TqmDnsMessage Message;
    Bad->SetName("x.test");
    if (auto* A = dynamic_cast<TqmDnsARecord*>(Bad)) A->SetIPAddress("1.2.3");
    if (auto* AAAA = dynamic_cast<TqmDnsAAAARecord*>(Bad)) AAAA->SetIPv6Address("1.2.3.4");
    Message.Answers().Add(std::unique_ptr<TqmDnsRecord>(Bad));
    try {
      Message.Build();
      ADD_FAILURE() << typeid(*Bad).name();
    } catch (const EqmDnsError& E) {
      EXPECT_EQ(E.ErrorCode(), 2);
      EXPECT_EQ(E.Message(), "Server failure");
    }
  }
}

TEST(DnsMessage, HeaderFlagsAndOpcodes) {
  // Opcode 5 reads as an inverse query, 4 as a query, 2 as status.
  for (const auto& [Opcode, Expected] : {std::pair{5, doInverseQuery}, {4, doQuery}, {2, doStatus}, {1, doInverseQuery}}) {
    TqmByteArray Bytes = {0, 1, static_cast<uint8_t>(Opcode << 3 | 0x80 | 0x04 | 0x02 | 0x01), 0x8F, 0, 0, 0, 0, 0, 0, 0, 0};
    TqmDnsMessage Message;
    try {
      Message.Parse(Bytes.data(), Bytes.size());
      ADD_FAILURE();
    } catch (const EqmDnsError& E) {
      EXPECT_EQ(E.ErrorCode(), 15);
      EXPECT_EQ(E.Message(), "Unspecified error");
    }
    EXPECT_EQ(Message.Header().Opcode(), Expected) << Opcode;
    EXPECT_FALSE(Message.Header().IsQuery());
    EXPECT_TRUE(Message.Header().IsAuthoritativeAnswer());
    EXPECT_TRUE(Message.Header().IsTruncated());
    EXPECT_TRUE(Message.Header().IsRecursionDesired());
    EXPECT_TRUE(Message.Header().IsRecursionAvailable());
  }
  // Cleared headers get IDs that are not a counter or a clock.
  std::set<uint16_t> Ids;
  for (int I = 0; I < 64; ++I) Ids.insert(TqmDnsMessageHeader().ID());
  EXPECT_GT(Ids.size(), 56u);
}

TEST(DnsMessage, CompressedNames) {
  // Question "mail.x.test"; the answer's owner points at the question name,
  // its CNAME target is "www" + a pointer to "x.test" inside it; an MX points
  // at the CNAME target, and an empty name is the zero byte alone.
  const TqmByteArray Body = {
      4, 'm', 'a', 'i', 'l', 1, 'x', 4, 't', 'e', 's', 't', 0, 0, 5, 0, 1,          // question at 12
      0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 9, 0, 6, 3, 'w', 'w', 'w', 0xC0, 17,           // CNAME at 29, data at 41
      0xC0, 41, 0, 15, 0, 1, 0, 0, 0, 9, 0, 4, 0, 10, 0xC0, 41,                     // MX
      0, 0, 16, 0, 1, 0, 0, 0, 9, 0, 2, 1, '!',                                     // TXT of the root
  };
  const TqmByteArray Bytes = Reply(1, 3, Body);
  TqmDnsMessage Message;
  Message.Parse(Bytes.data(), Bytes.size());
  ASSERT_EQ(Message.Answers().Count(), 3);
  EXPECT_EQ(Message.Answers().Items(0)->Name(), "mail.x.test");
  EXPECT_EQ(static_cast<TqmDnsCNAMERecord*>(Message.Answers().Items(0))->PrimaryName(), "www.x.test");
  EXPECT_EQ(Message.Answers().Items(1)->Name(), "www.x.test");
  EXPECT_EQ(static_cast<TqmDnsMXRecord*>(Message.Answers().Items(1))->MailServer(), "www.x.test");
  EXPECT_EQ(Message.Answers().Items(2)->Name(), "");
  EXPECT_EQ(static_cast<TqmDnsTXTRecord*>(Message.Answers().Items(2))->Text(), "!");
}

TEST(DnsMessage, MalformedDataRaiseInvalidSizeAndNeverReadPastTheEnd) {
  const TqmByteArray Question = {1, 'a', 0, 0, 16, 0, 1};
  ExpectInvalid({0x12, 0x34, 0x81}, "cut header");
  ExpectInvalid(Reply(1, 0, {1, 'a'}), "label past the end");
  ExpectInvalid(Reply(1, 0, {5, 'a', 'b'}), "label longer than the rest");
  ExpectInvalid(Reply(1, 0, {1, 'a', 0, 0, 16, 0}), "cut question");
  ExpectInvalid(Reply(2, 0, Question), "more questions than data");
  ExpectInvalid(Reply(1, 0, {0xC0, 12, 0, 16, 0, 1}), "pointer to itself");
  ExpectInvalid(Reply(1, 0, {1, 'a', 0xC0, 12, 0, 16, 0, 1}), "pointer back into its own labels");
  ExpectInvalid(Reply(1, 0, {0xC0, 14, 1, 'a', 0, 0, 16, 0, 1}), "pointer forwards");
  ExpectInvalid(Reply(1, 0, {0xC0}), "pointer cut");
  ExpectInvalid(Reply(1, 0, {0x40, 'a', 0, 0, 16, 0, 1}), "extended label type");
  ExpectInvalid(Reply(1, 0, {0x80, 'a', 0, 0, 16, 0, 1}), "reserved label type");
  // Two pointers chasing each other: 12 -> 14 would go forwards.
  ExpectInvalid(Reply(1, 0, {0xC0, 14, 0xC0, 12, 0, 16, 0, 1}), "pointer loop");

  TqmByteArray Record = Question;
  Record.insert(Record.end(), {0xC0, 12, 0, 16, 0, 1, 0, 0, 0, 1, 0, 5, 4, 'a', 'b'});
  ExpectInvalid(Reply(1, 1, Record), "RDLENGTH past the end");
  TqmByteArray Txt = Question;
  Txt.insert(Txt.end(), {0xC0, 12, 0, 16, 0, 1, 0, 0, 0, 1, 0, 3, 4, 'a', 'b', 'c', 'd'});
  ExpectInvalid(Reply(1, 1, Txt), "character string past its record");
  TqmByteArray A = Question;
  A.insert(A.end(), {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 1, 0, 3, 1, 2, 3, 4});
  ExpectInvalid(Reply(1, 1, A), "A record with 3 data bytes");
  TqmByteArray MX = Question;
  MX.insert(MX.end(), {0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 1, 0, 4, 0, 1, 2, 'm', 0});
  ExpectInvalid(Reply(1, 1, MX), "MX exchange past its record");

  // A name over 255 bytes built from pointers each going backwards.
  TqmByteArray Long;
  size_t Previous = 0;
  for (int I = 0; I < 5; ++I) {
    const size_t Here = 12 + Long.size();
    Long.push_back(63);
    Long.insert(Long.end(), 63, 'x');
    if (I == 0) {
      Long.push_back(0);
    } else {
      Long.push_back(static_cast<uint8_t>(0xC0 | Previous >> 8));
      Long.push_back(static_cast<uint8_t>(Previous));
    }
    Long.insert(Long.end(), {0, 16, 0, 1});
    Previous = Here;
  }
  ExpectInvalid(Reply(5, 0, Long), "name over 255 bytes");
}

TEST(DnsMessage, EveryCutOfARealReplyFailsCleanly) {
  const std::vector<std::string> Lines = Split(RunPeer("reply every-type"), '\n');
  const TqmByteArray Wire = FromHex(Lines.at(0));
  for (size_t Cut = 1; Cut < Wire.size(); ++Cut) {
    TqmByteArray Part(Wire.begin(), Wire.begin() + static_cast<long>(Cut));
    ExpectInvalid(Part, ("cut at " + std::to_string(Cut)).c_str());
  }
}

TEST(DnsMessage, TcpFraming) {
  std::unique_ptr<TqmDnsMessage> Query = TxtQuery("x.test", 7, true);
  TMemoryStream Stream;
  Query->BuildFramed(Stream, 16384);
  ASSERT_EQ(Stream.Size(), 2 + 24);
  EXPECT_EQ(TqmDnsMessage::FramedLength(Stream), 24u);
  TqmDnsMessage Back;
  Back.ParseFramed(Stream);
  EXPECT_EQ(Back.Header().ID(), 7);
  EXPECT_EQ(Back.Queries().Items(0)->Name(), "x.test");
  // Fewer than two bytes count as length 0; fewer bytes than announced are
  // an invalid size.
  TMemoryStream Short;
  Short.SetDataString(std::string("\x00", 1));
  EXPECT_EQ(TqmDnsMessage::FramedLength(Short), 0u);
  Short.SetDataString(std::string("\x00\x20", 2) + std::string(12, '\0'));
  EXPECT_THROW(Back.ParseFramed(Short), EqmDnsError);
  // The buffer is BatchSize - 2 bytes.
  EXPECT_THROW(Query->BuildFramed(Stream, 25), EqmDnsError);
}

TEST(DnsMessage, RecordListFindsByNameWithoutCaseAndType) {
  TqmDnsRecordList List;
  auto A = std::make_unique<TqmDnsARecord>();
  A->SetName("NS1.Example.COM");
  List.Add(std::move(A));
  auto T = std::make_unique<TqmDnsTXTRecord>();
  T->SetName("ns1.example.com");
  TqmDnsRecord* Txt = List.Add(std::move(T));
  EXPECT_EQ(List.FindItem("ns1.example.com", qmDnsTypeTXT), Txt);
  EXPECT_EQ(List.FindItem("ns1.EXAMPLE.com", qmDnsTypeA), List.Items(0));
  EXPECT_EQ(List.FindItem("ns2.example.com", qmDnsTypeA), nullptr);
  EXPECT_THROW(List.Items(2), EListError);
}

}  // namespace
}  // namespace qm
