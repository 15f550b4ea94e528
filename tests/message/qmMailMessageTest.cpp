// Composition and parsing of whole messages: round trips through this
// reader and Python's email package, and the edge cases of both.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "core/qmDateTime.h"
#include "dkim/qmDkim.h"
#include "message/qmMailHeader.h"
#include "message/qmUtils.h"
#include "qmMailPeer.h"

using namespace qm;
using namespace qm::test;

namespace {

struct TBuildCase {
  int Texts;  // 1 plain, 2 html, 3 both
  bool Attachment;
  bool Image;
  std::string CharSet;
  TqmEncodeMethod HeaderEncoding;
  bool Extensions;
};

std::string SampleText(const std::string& ACharSet) {
  if (ACharSet == "koi8-r") return "Привет, мир! Съешь же ещё этих мягких булок";
  if (ACharSet == "iso-8859-1") return "Grüße à la façon de Köln";
  return "Grüße, Привет, 日本語のテキスト";
}

std::string SampleName(const std::string& ACharSet) {
  if (ACharSet == "koi8-r") return "Иван Петров";
  if (ACharSet == "iso-8859-1") return "Jörg Müller";
  return "Jörg 日本";
}

// Bytes that need base64, and text-like bytes that end without a line break.
const std::string kBinary = std::string("\x89PNG\r\n\x1a\n\0\x01\xff\xfe", 12) + std::string(300, 'Q');
const std::string kTextLike = "line one\r\nline two = 2\r\nno final break";

class MessageRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = "/tmp/qm_msg_test_" + std::to_string(getpid());
    std::string Cmd = "mkdir -p " + Dir;
    ASSERT_EQ(system(Cmd.c_str()), 0);
  }
  void TearDown() override {
    std::string Cmd = "rm -rf " + Dir;
    (void)!system(Cmd.c_str());
  }
  std::string Dir;
};

void LoadFromMemory(TqmMailMessage& M, std::map<std::string, std::string> AFiles) {
  M.OnLoadAttachment = [AFiles](TObject*, TqmAttachmentBody*, std::string& AName,
                                std::unique_ptr<TStream>& AData, bool& Handled) {
    auto It = AFiles.find(AName);
    if (It == AFiles.end()) return;
    AData = std::make_unique<TStringStream>(It->second);
    Handled = true;
  };
}

}  // namespace

TEST_F(MessageRoundTrip, EveryBuildCombinationReadsBackHereAndInPython) {
  std::vector<TBuildCase> Cases;
  for (int Texts : {1, 2, 3})
    for (bool Att : {false, true})
      for (bool Img : {false, true})
        for (const char* Cs : {"utf-8", "iso-8859-1", "koi8-r"})
          for (TqmEncodeMethod He : {cmQuotedPrintable, cmBase64})
            for (bool Ext : {false, true}) Cases.push_back({Texts, Att, Img, Cs, He, Ext});

  std::vector<std::string> Files;
  std::vector<TReadMessage> Expected;
  for (size_t N = 0; N < Cases.size(); ++N) {
    const TBuildCase& C = Cases[N];
    const std::string Sample = SampleText(C.CharSet);
    const std::string Text = C.Texts & 1 ? Sample + "\r\nsecond line" : "";
    const std::string Html = C.Texts & 2 ? "<p>" + Sample + " <img src=\"Pic 1.png\"></p>" : "";
    const std::string AttName =
        (C.CharSet == "iso-8859-1" ? "Résumé " : "Отчёт ") + std::to_string(N) + ".bin";
    TqmMailMessage M;
    M.SetCharSet(C.CharSet);
    M.SetHeaderEncoding(C.HeaderEncoding);
    M.SetUseHeaderEncodingExtensions(C.Extensions);
    LoadFromMemory(M, {{"/data/" + AttName, kBinary}, {"Pic 1.png", kTextLike}});
    std::vector<std::string> Atts, Imgs;
    if (C.Attachment) Atts.push_back("/data/" + AttName);
    if (C.Image) Imgs.push_back("Pic 1.png");
    M.BuildMessage(Text, Html, Atts, Imgs);
    M.SetSubject(Sample + " #" + std::to_string(N));
    M.From().SetFullAddress(SampleName(C.CharSet) + " <from@example.com>");
    M.ToList().AddAddress("Doe, John <john@example.com>");
    M.ToList().AddAddress("to2@example.com");
    const std::string Source = M.MessageSource().Text();

    TReadMessage Want;
    Want.Subject = M.Subject();
    Want.From.emplace_back(M.From().Name(), "from@example.com");
    Want.To = {{"Doe, John", "john@example.com"}, {"", "to2@example.com"}};
    if (C.Texts & 1) Want.Parts.push_back({"text/plain", "", Text, C.CharSet});
    if (C.Texts & 2) {
      std::string H = Html;
      if (C.Image) {
        auto* Related = C.Attachment ? dynamic_cast<TqmMultipartBody*>(M.Bodies().Items(0)) : nullptr;
        TqmMessageBodies& B = Related ? Related->Bodies() : M.Bodies();
        auto* Image = dynamic_cast<TqmImageBody*>(B.Items(B.Count() - 1));
        ASSERT_NE(Image, nullptr);
        H = "<p>" + Sample + " <img src=\"cid:" + Image->ContentID() + "\"></p>";
      }
      Want.Parts.push_back({"text/html", "", H, C.CharSet});
    }
    if (C.Image) Want.Parts.push_back({"image/png", "Pic 1.png", kTextLike, ""});
    if (C.Attachment) Want.Parts.push_back({"application/octet-stream", AttName, kBinary, ""});

    // Read back here.
    TOurReader Ours;
    const TReadMessage Got = Ours.Read(Source);
    SCOPED_TRACE("case " + std::to_string(N) + "\n" + Source.substr(0, 3000));
    EXPECT_EQ(Got.Subject, Want.Subject);
    EXPECT_EQ(Got.From, Want.From);
    EXPECT_EQ(Got.To, Want.To);
    ASSERT_EQ(Got.Parts.size(), Want.Parts.size());
    for (size_t P = 0; P < Want.Parts.size(); ++P) {
      EXPECT_EQ(Got.Parts[P].ContentType, Want.Parts[P].ContentType);
      // An inline image is named by its Content-Type "name" only.
      EXPECT_EQ(Got.Parts[P].FileName, Want.Parts[P].FileName);
      if (Want.Parts[P].ContentType.rfind("text/", 0) == 0)
        EXPECT_EQ(NormalText(Got.Parts[P].Payload), NormalText(Want.Parts[P].Payload));
      else
        EXPECT_EQ(Got.Parts[P].Payload, Want.Parts[P].Payload);
    }
    EXPECT_EQ(Ours.Message.ContentType(), M.ContentType());
    EXPECT_EQ(Ours.Message.ContentSubType(), M.ContentSubType());
    // Lines never exceed the folding width by more than the words allow.
    for (int L = 0; L < M.MessageSource().Count(); ++L)
      EXPECT_LE(M.MessageSource()[L].size(), 998u);

    Files.push_back(Dir + "/m" + std::to_string(N) + ".eml");
    WriteFile(Files.back(), Source);
    Expected.push_back(Want);
  }

  const std::vector<TReadMessage> Python = ReadWithPython(Files);
  ASSERT_EQ(Python.size(), Files.size());
  for (size_t N = 0; N < Files.size(); ++N) {
    SCOPED_TRACE(Files[N]);
    const TReadMessage& P = Python[N];
    const TReadMessage& W = Expected[N];
    EXPECT_FALSE(P.Error);
    EXPECT_EQ(P.Subject, W.Subject);
    EXPECT_EQ(P.From, W.From);
    EXPECT_EQ(P.To, W.To);
    ASSERT_EQ(P.Parts.size(), W.Parts.size());
    for (size_t I = 0; I < W.Parts.size(); ++I) {
      EXPECT_EQ(P.Parts[I].ContentType, W.Parts[I].ContentType);
      if (W.Parts[I].ContentType.rfind("text/", 0) == 0) {
        EXPECT_EQ(NormalText(P.Parts[I].Payload), NormalText(W.Parts[I].Payload));
        EXPECT_EQ(P.Parts[I].CharSet, W.Parts[I].CharSet);
      } else {
        EXPECT_EQ(P.Parts[I].Payload, W.Parts[I].Payload);
        EXPECT_EQ(P.Parts[I].FileName, W.Parts[I].FileName);
      }
    }
  }
}

namespace {

std::unique_ptr<TStringList> LinesOf(const std::string& AText) {
  auto L = std::make_unique<TStringList>();
  L->SetText(AText);
  return L;
}

}  // namespace

TEST(MessageParse, HeaderOnlyDecodesAndLeavesBodiesEmpty) {
  TqmMailMessage M;
  int Changes = 0;
  M.OnChanged = [&](TObject*) { ++Changes; };
  M.ParseHeaderOnly(*LinesOf(
      "From: =?utf-8?Q?J=C3=B6rg?= <j@example.com>\r\n"
      "To: a@example.com, \"B, C\" <b@example.com>\r\n"
      "Subject: =?iso-8859-1?Q?Gr=FC=DFe?= aus\r\n"
      "Date: Tue, 5 Feb 2008 09:10:11 +0100\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"));
  EXPECT_EQ(Changes, 1);
  EXPECT_EQ(M.Subject(), "Grüße aus");
  EXPECT_EQ(M.From().Name(), "Jörg");
  ASSERT_EQ(M.ToList().Count(), 2);
  EXPECT_EQ(M.ToList().Items(1)->Name(), "B, C");
  EXPECT_EQ(M.Bodies().Count(), 0);
  EXPECT_EQ(M.CharSet(), "utf-8");
  EXPECT_EQ(M.MessageFormat(), mfMIME);
  EXPECT_NEAR(LocalToUtc(M.Date()), EncodeDate(2008, 2, 5) + EncodeTime(8, 10, 11, 0), 1e-6);
  EXPECT_NEAR(M.TimeZoneOffset(), 1.0 / 24, 1e-9);
}

TEST(MessageParse, DateFallsBackToReceivedThenToNow) {
  TqmMailMessage M;
  M.ParseHeaderOnly(*LinesOf(
      "Received: from x by y; Wed, 1 Jan 2020 10:00:00 +0000\r\nSubject: s\r\n"));
  EXPECT_NEAR(LocalToUtc(M.Date()), EncodeDate(2020, 1, 1) + EncodeTime(10, 0, 0, 0), 1e-6);
  const TDateTime Before = Now();
  M.ParseHeaderOnly(*LinesOf("Subject: s\r\n"));
  EXPECT_GE(M.Date(), Before - 1e-6);
  EXPECT_LE(M.Date(), Now() + 1e-6);
  // A month word that is not a month is read as the year and fails.
  M.ParseHeaderOnly(*LinesOf("Date: Tue, 5 Foo 2008 09:10:11 +0100\r\n"));
  EXPECT_EQ(M.Date(), 0);
}

TEST(MessageParse, PriorityFieldsInOrder) {
  const struct {
    const char* Header;
    TqmMessagePriority Want;
  } Cases[] = {{"Importance: high\r\n", mpHigh},
               {"X-Priority: 5\r\n", mpLow},
               {"X-Priority: 3 (Normal)\r\nX-MSMail-Priority: High\r\n", mpHigh},
               {"X-Priority: 2 (High)\r\n", mpNormal},
               {"Importance: Low\r\nX-Priority: 1\r\n", mpLow}};
  for (const auto& C : Cases) {
    TqmMailMessage M;
    M.ParseHeaderOnly(*LinesOf(C.Header));
    EXPECT_EQ(M.Priority(), C.Want) << C.Header;
  }
}

TEST(MessageParse, UnknownFieldsGoToExtraFields) {
  TqmMailMessage M;
  M.ParseMessage(*LinesOf(
      "Received: from a\r\n by b; Wed, 1 Jan 2020 10:00:00 +0000\r\n"
      "List-Unsubscribe: <mailto:leave@example.com>\r\n"
      "Message-ID: <id@example.com>\r\nReferences: <a@x>\r\n <b@x>\r\n"
      "X-Custom:   value  \r\nSubject: s\r\n\r\nbody\r\n"));
  EXPECT_EQ(M.ExtraFields().ToVector(),
            (std::vector<std::string>{"Received: from a by b; Wed, 1 Jan 2020 10:00:00 +0000",
                                      "List-Unsubscribe: <mailto:leave@example.com>",
                                      "X-Custom: value"}));
  EXPECT_EQ(M.ListUnsubscribe(), "<mailto:leave@example.com>");
  EXPECT_EQ(M.MessageID(), "<id@example.com>");
  EXPECT_EQ(M.References().ToVector(), (std::vector<std::string>{"<a@x>", "<b@x>"}));
  EXPECT_EQ(M.RawHeader().Count(), 8);
  EXPECT_EQ(M.BodyStart(), 9);
}

TEST(MessageParse, UUencodeWithoutMime) {
  TqmMailMessage M;
  std::map<std::string, std::string> Saved;
  M.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                          std::unique_ptr<TStream>& AData, bool& Handled) {
    AData = std::make_unique<TMemoryStream>();
    Handled = true;
  };
  M.OnAttachmentSaved = [&](TObject*, TqmAttachmentBody*, const std::string& AName, TStream* AData) {
    TMemoryStream C;
    C.CopyFrom(*AData, 0);
    Saved[AName] = C.DataString();
  };
  M.ParseMessage(*LinesOf(
      "From: a@example.com\r\nSubject: uu\r\n\r\nHere it is:\r\n"
      "begin 644 ../cat.txt\r\n#0V%T\r\n`\r\nend\r\nBye.\r\nend\r\n"));
  EXPECT_EQ(M.MessageFormat(), mfUUencode);
  ASSERT_EQ(M.Bodies().Count(), 2);
  auto* Text = dynamic_cast<TqmTextBody*>(M.Bodies().Items(0));
  ASSERT_NE(Text, nullptr);
  EXPECT_EQ(Text->Strings().ToVector(), (std::vector<std::string>{"Here it is:", "Bye."}));
  auto* Att = dynamic_cast<TqmAttachmentBody*>(M.Bodies().Items(1));
  ASSERT_NE(Att, nullptr);
  EXPECT_EQ(Att->FileName(), ".._cat.txt") << "never a directory";
  EXPECT_EQ(Saved[".._cat.txt"], "Cat");
}

TEST(MessageCompose, UUencodedFormWritesItsBlocksUUencoded) {
  {
    // Built on purpose without MIME: binary data between "begin" and "end"
    // is uuencoded, never base64 or raw bytes.
    TqmMailMessage M;
    LoadFromMemory(M, {{"logo.png", kBinary}, {"notes.txt", kTextLike}});
    M.BuildMessage("Here they are.", "", {"logo.png", "notes.txt"}, {});
    M.SetMessageFormat(mfUUencode);
    const std::string Source = M.MessageSource().Text();
    EXPECT_EQ(Source.find("MIME-Version"), std::string::npos);
    EXPECT_EQ(Source.find("Content-Disposition"), std::string::npos);
    TOurReader R;
    const TReadMessage Got = R.Read(Source);
    EXPECT_EQ(R.Message.MessageFormat(), mfUUencode);
    ASSERT_EQ(Got.Parts.size(), 3u) << Source;
    EXPECT_EQ(NormalText(Got.Parts[0].Payload), "Here they are.");
    EXPECT_EQ(Got.Parts[1].FileName, "logo.png");
    EXPECT_EQ(Got.Parts[1].Payload, kBinary);
    EXPECT_EQ(Got.Parts[2].FileName, "notes.txt");
    EXPECT_EQ(Got.Parts[2].Payload, kTextLike);
  }
  {
    // No MIME-Version, yet an attachment by its Content-Disposition: its
    // data was never uuencoded; written back it is one attachment again.
    const auto [Before, After] = ReadWriteRead(
        "To: a@example.com\r\nContent-Disposition: attachment; filename=\"begin.txt\"\r\n\r\n"
        "12 apples\r\n`pears`\r\n");
    ASSERT_EQ(Before.Parts.size(), 1u);
    EXPECT_EQ(Before.Parts[0].Payload, "12 apples\r\n`pears`");
    ASSERT_EQ(After.Parts.size(), 1u);
    EXPECT_EQ(After.Parts[0].FileName, "begin.txt");
    EXPECT_EQ(After.Parts[0].Payload, Before.Parts[0].Payload);
  }
}

TEST(MessageParse, MultipartVariants) {
  const std::string Head =
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\npreamble\r\n";
  {
    // Delimiters followed by transport padding.
    TqmMailMessage M;
    M.ParseMessage(*LinesOf(Head + "--XX  \r\nContent-Type: text/plain\r\n\r\none\r\n--XX\t\r\n"
                                  "Content-Type: text/plain\r\n\r\ntwo\r\n--XX-- \r\nepilogue\r\n"));
    ASSERT_EQ(M.Bodies().Count(), 2);
    EXPECT_EQ(dynamic_cast<TqmTextBody&>(*M.Bodies().Items(1)).Strings().Text(), "two\r\n");
  }
  {
    // No delimiter at all: the whole content becomes one text.
    TqmMailMessage M;
    M.ParseMessage(*LinesOf(Head + "--YY\r\n\r\ntext\r\n"));
    ASSERT_EQ(M.Bodies().Count(), 1);
    EXPECT_EQ(dynamic_cast<TqmTextBody&>(*M.Bodies().Items(0)).Strings().Count(), 4);
  }
  {
    // Part headers that end at the next delimiter, names from every source.
    TqmMailMessage M;
    M.ParseMessage(*LinesOf(
        Head + "--XX\r\nContent-Type: application/pdf\r\n--XX\r\n"
               "Content-Type: application/x-y\r\nContent-Description: Quarterly report\r\n\r\nd\r\n"
               "--XX\r\nContent-Type: application/x-y; name=\"a:b.txt\"\r\n\r\nd\r\n"
               "--XX\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; "
               "filename=\"/etc/passwd\"\r\n\r\nd\r\n"
               "--XX\r\nContent-Type: message/rfc822\r\n\r\nSubject: Re: a/b?\r\n\r\nhi\r\n"
               "--XX\r\nContent-Type: image/gif\r\nContent-Disposition: inline; filename=x.gif\r\n"
               "\r\nR0lG\r\n--XX\r\nContent-Disposition: attachment; filename=\"..\"\r\n\r\nd\r\n"
               "--XX--\r\n"));
    ASSERT_EQ(M.Bodies().Count(), 7);
    std::vector<std::string> Names;
    for (int I = 0; I < M.Bodies().Count(); ++I) {
      auto* A = dynamic_cast<TqmAttachmentBody*>(M.Bodies().Items(I));
      ASSERT_NE(A, nullptr) << I;
      Names.push_back(A->FileName());
    }
    EXPECT_EQ(Names, (std::vector<std::string>{"", "Quarterly report.dat", "a_b.txt",
                                               "_etc_passwd", "Re_ a_b_.eml", "", "_"}));
    EXPECT_NE(dynamic_cast<TqmImageBody*>(M.Bodies().Items(5)), nullptr);
    EXPECT_EQ(M.Bodies().Items(1)->HeaderStart(), 7);
    EXPECT_EQ(M.Bodies().Items(1)->DataStart(), 10);
  }
}

TEST(MessageParse, DecodingErrorsFollowThePolicy) {
  const std::string Source =
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      "QUJD\r\nRE!!\r\n--b--\r\n";
  for (TqmMessageErrorProcessing Policy : {meExtractMaximumData, meIgnore, meStop}) {
    TqmMailMessage M;
    M.SetErrorProcessing(Policy);
    std::string Got;
    M.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                            std::unique_ptr<TStream>& AData, bool& Handled) {
      AData = std::make_unique<TMemoryStream>();
      Handled = true;
    };
    M.OnAttachmentSaved = [&](TObject*, TqmAttachmentBody*, const std::string&, TStream* AData) {
      TMemoryStream C;
      C.CopyFrom(*AData, 0);
      Got = C.DataString();
    };
    if (Policy == meStop) {
      EXPECT_THROW(M.ParseMessage(*LinesOf(Source)), EqmEncoderError);
      EXPECT_EQ(M.Bodies().Count(), 1) << "the bodies read so far stay";
    } else {
      M.ParseMessage(*LinesOf(Source));
      EXPECT_EQ(Got, Policy == meIgnore ? "QUJD\r\nRE!!" : "ABCD");
    }
  }
}

TEST(MessageParse, DeepNestingIsCutWithoutRecursion) {
  std::string Source = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
  const int Depth = 300;
  for (int I = 0; I < Depth; ++I)
    Source += "--b" + std::to_string(I) + "\r\nContent-Type: multipart/mixed; boundary=b" +
              std::to_string(I + 1) + "\r\n\r\n";
  Source += "--b" + std::to_string(Depth) + "\r\nContent-Type: text/plain\r\n\r\ndeep\r\n";
  TqmMailMessage M;
  M.ParseMessage(*LinesOf(Source));
  int Levels = 0;
  TqmMessageBodies* B = &M.Bodies();
  while (B->Count() == 1 && dynamic_cast<TqmMultipartBody*>(B->Items(0))) {
    B = &dynamic_cast<TqmMultipartBody*>(B->Items(0))->Bodies();
    ++Levels;
  }
  EXPECT_EQ(Levels, qmMaxMultipartNesting);
  ASSERT_EQ(B->Count(), 1);
  EXPECT_EQ(B->Items(0)->ContentType(), "multipart/mixed") << "kept as undecoded data";
}

namespace {

// The resident set's peak since the last reset, in bytes (0: not known).
int64_t PeakResidentBytes() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("VmHWM:", 0) == 0) return std::stoll(Line.substr(6)) * 1024;
  return 0;
}

bool ResetPeakResident() {
  std::ofstream ClearRefs("/proc/self/clear_refs");
  ClearRefs << "5";
  ClearRefs.flush();
  return ClearRefs.good();
}

// ADepth multiparts, one inside the other, around one base64 attachment
// of ADataLines lines.
void AddNestedMessage(TStringList& ALines, int ADepth, int ADataLines) {
  ALines.Append("MIME-Version: 1.0");
  ALines.Append("Content-Type: multipart/mixed; boundary=\"n0\"");
  ALines.Append("");
  for (int I = 1; I < ADepth; ++I) {
    ALines.Append("--n" + std::to_string(I - 1));
    ALines.Append("Content-Type: multipart/mixed; boundary=\"n" + std::to_string(I) + "\"");
    ALines.Append("");
  }
  ALines.Append("--n" + std::to_string(ADepth - 1));
  ALines.Append("Content-Type: application/octet-stream; name=\"deep.bin\"");
  ALines.Append("Content-Transfer-Encoding: base64");
  ALines.Append("");
  // 76 characters of base64 are 57 bytes: "QUJD" is "ABC".
  std::string Data;
  for (int I = 0; I < 19; ++I) Data += "QUJD";
  for (int I = 0; I < ADataLines; ++I) ALines.Append(Data);
  for (int I = ADepth - 1; I >= 0; --I) ALines.Append("--n" + std::to_string(I) + "--");
}

}  // namespace

TEST(MessageParse, NestedLevelsReadTheirLinesInPlace) {
  // Positions are those of the message's own lines at every level, the
  // trailing empty line before a delimiter is not data, a nested multipart
  // with 8-bit text in it is written back as it was read (not re-encoded as
  // a whole without a header saying so), and NUL stays in binary data.
  const std::string Source =
      std::string("Content-Type: multipart/mixed; boundary=a\r\n\r\n") +  // 0-1
      "--a\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n"  // 2-4
      "--b\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"  // 5-8
      "Grüße\r\n\r\n"  // 9-10
      "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +  // 11-14
      std::string("x\0y\r\n--b--\r\n\r\n", 14) +  // 15-17
      "--a--\r\n";
  TqmMailMessage M;
  M.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                          std::unique_ptr<TStream>& AData, bool& Handled) {
    AData = std::make_unique<TMemoryStream>();
    Handled = true;
  };
  std::string Saved;
  M.OnAttachmentSaved = [&](TObject*, TqmAttachmentBody*, const std::string&, TStream* AData) {
    TMemoryStream C;
    C.CopyFrom(*AData, 0);
    Saved = C.DataString();
  };
  M.ParseMessage(*LinesOf(Source));
  ASSERT_EQ(M.Bodies().Count(), 1);
  auto* Alt = dynamic_cast<TqmMultipartBody*>(M.Bodies().Items(0));
  ASSERT_NE(Alt, nullptr);
  EXPECT_EQ(Alt->DataStart(), 5);
  EXPECT_EQ(Alt->EncodedLines(), 12) << "lines 5-16, the empty line 17 belongs to the delimiter";
  ASSERT_EQ(Alt->Bodies().Count(), 2);
  EXPECT_EQ(Alt->Bodies().Items(0)->HeaderStart(), 6);
  EXPECT_EQ(Alt->Bodies().Items(0)->DataStart(), 9);
  EXPECT_EQ(Alt->Bodies().Items(1)->DataStart(), 15);
  EXPECT_EQ(dynamic_cast<TqmTextBody&>(*Alt->Bodies().Items(0)).Strings().Text(), "Grüße\r\n");
  EXPECT_EQ(Saved, std::string("x\0y", 3));
  EXPECT_EQ(Alt->Encoding(), cmNone) << "a multipart is never transfer-encoded";

  TqmMailMessage R;
  R.ParseMessage(*LinesOf(M.MessageSource().Text()));
  ASSERT_EQ(R.Bodies().Count(), 1);
  auto* Back = dynamic_cast<TqmMultipartBody*>(R.Bodies().Items(0));
  ASSERT_NE(Back, nullptr);
  ASSERT_EQ(Back->Bodies().Count(), 2);
  EXPECT_EQ(dynamic_cast<TqmTextBody&>(*Back->Bodies().Items(0)).Strings().Text(), "Grüße\r\n");
}

TEST(MessageParse, EachLevelFindsOnlyItsOwnDelimiters) {
  // Lines that start with "--" at every depth: a signature separator, a
  // longer boundary that begins with the outer one, padding after a nested
  // delimiter, inner levels never closed (the outer delimiter ends them),
  // and a part after the outer close that is epilogue, not a part.
  const std::string Source =
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n"
      "preamble\r\n-- o\r\n"
      "--o \t\r\nContent-Type: multipart/alternative; boundary=i\r\n\r\n"
      "inner preamble\r\n--o-x\r\n"
      "--i\r\nContent-Type: text/plain\r\n\r\none\r\n-- \r\nsig\r\n"
      "--i  \r\nContent-Type: multipart/mixed; boundary=k\r\n\r\n"
      "--k\r\nContent-Type: text/plain\r\n\r\ndeep\r\n--ob\r\n--i-\r\n"
      "--o\r\nContent-Type: text/plain\r\n\r\nafter\r\n"
      "--o--\r\nepilogue\r\n"
      "--o\r\nContent-Type: text/plain\r\n\r\nnot a part\r\n";
  auto TextOf = [](TqmMessageBody* ABody) {
    auto* Text = dynamic_cast<TqmTextBody*>(ABody);
    return Text ? Text->Strings().Text() : std::string("(not text)");
  };
  for (const bool LfOnly : {false, true}) {
    std::string Input = Source;
    if (LfOnly)
      for (size_t P = Input.find("\r\n"); P != std::string::npos; P = Input.find("\r\n", P))
        Input.erase(P, 1);
    TqmMailMessage M;
    M.ParseMessage(*LinesOf(Input));
    ASSERT_EQ(M.Bodies().Count(), 2) << LfOnly;
    auto* Alt = dynamic_cast<TqmMultipartBody*>(M.Bodies().Items(0));
    ASSERT_NE(Alt, nullptr);
    EXPECT_EQ(TextOf(M.Bodies().Items(1)), "after\r\n");
    ASSERT_EQ(Alt->Bodies().Count(), 2);
    EXPECT_EQ(TextOf(Alt->Bodies().Items(0)), "one\r\n-- \r\nsig\r\n");
    auto* Deep = dynamic_cast<TqmMultipartBody*>(Alt->Bodies().Items(1));
    ASSERT_NE(Deep, nullptr);
    ASSERT_EQ(Deep->Bodies().Count(), 1);
    EXPECT_EQ(TextOf(Deep->Bodies().Items(0)), "deep\r\n--ob\r\n--i-\r\n");
    EXPECT_EQ(Deep->Bodies().Items(0)->DataStart(), 21);
  }
}

TEST(MessageParse, NestingCostsNoMemoryPerLevel) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own memory hides the parser's";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizer's own memory hides the parser's";
#endif
#endif
  // 100 levels around 2 MB: the parse's peak must not grow with the depth
  // (each level copying its lines took over 100 times the message). Read
  // from lines or from the text, the data is decoded where it lies: the
  // peak is the decoded attachment (3/4 of the message) and the index of
  // the lines. Measured in a child, whose peak is its own.
  TStringList Lines;
  const int DataLines = 2000000 / 57;
  AddNestedMessage(Lines, 100, DataLines);
  const std::string Text = Lines.Text();
  const auto Size = static_cast<int64_t>(Text.size());
  for (const bool FromText : {false, true}) {
    const pid_t Pid = fork();
    ASSERT_GE(Pid, 0);
    if (Pid == 0) {
      TqmMailMessage M;
      int64_t Decoded = 0;
      M.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                              std::unique_ptr<TStream>& AData, bool& Handled) {
        AData = std::make_unique<TMemoryStream>();
        Handled = true;
      };
      M.OnAttachmentSaved = [&](TObject*, TqmAttachmentBody*, const std::string&, TStream* AData) {
        Decoded = AData->Size();
      };
      if (!ResetPeakResident()) _exit(3);
      const int64_t Before = PeakResidentBytes();
      if (FromText)
        M.ParseMessage(std::string_view(Text));
      else
        M.ParseMessage(Lines);
      const int64_t Peak = PeakResidentBytes() - Before;
      if (Decoded != int64_t{DataLines} * 57) _exit(4);
      std::fprintf(stderr, "100 levels, %lld bytes, from %s: parse peak %lld bytes (%.2f times)\n",
                   static_cast<long long>(Size), FromText ? "the text" : "lines",
                   static_cast<long long>(Peak), static_cast<double>(Peak) / static_cast<double>(Size));
      _exit(Peak < 3 * Size / 2 ? 0 : 5);
    }
    int Status = 0;
    ASSERT_EQ(waitpid(Pid, &Status, 0), Pid);
    ASSERT_TRUE(WIFEXITED(Status));
    if (WEXITSTATUS(Status) == 3) GTEST_SKIP() << "the peak resident size cannot be reset here";
    EXPECT_NE(WEXITSTATUS(Status), 4) << "the data at the deepest level was not read whole";
    EXPECT_EQ(WEXITSTATUS(Status), 0) << "the parse's peak memory grew beyond its data, from "
                                      << (FromText ? "the text" : "lines");
  }
}

TEST(MessageText, HtmlFirstThenPlainThenAny) {
  TqmMailMessage M;
  M.BuildMessage("plain", "<b>html</b>");
  EXPECT_EQ(M.GetMessageText().Text(), "<b>html</b>\r\n");
  M.BuildMessage("plain", "");
  EXPECT_EQ(M.GetMessageText().Text(), "plain\r\n");
  M.Bodies().Items(0)->SetContentType("text/enriched");
  EXPECT_EQ(M.GetMessageText().Text(), "plain\r\n");
}

TEST(MessageCompose, SingleTextAndHeaderFields) {
  TqmMailMessage M;
  M.BuildMessage("Hello", "");
  M.SetSubject("A plain subject");
  M.SetPriority(mpHigh);
  M.SetMessageID("<1@x>");
  M.SetMailer("qm");
  M.SetListUnsubscribe("<mailto:" + std::string(100, 'u') + "@example.com>");
  M.NewsGroups().Add("comp.a");
  M.NewsGroups().Add("comp.b");
  M.ExtraFields().Add("X-Extra: yes");
  M.SetDate(EncodeDate(2026, 12, 6) + EncodeTime(8, 35, 30, 0));
  const std::vector<std::string> L = M.MessageSource().ToVector();
  std::vector<std::string> Names;
  for (const auto& Line : L) {
    if (Line.empty()) break;
    if (Line[0] != ' ' && Line[0] != '\t') Names.push_back(Line.substr(0, Line.find(':')));
  }
  EXPECT_EQ(Names, (std::vector<std::string>{"Message-ID", "Newsgroups", "Subject", "Date", "Lines",
                                             "MIME-Version", "Content-Type",
                                             "Content-Transfer-Encoding", "Importance",
                                             "X-Priority", "X-Mailer", "List-Unsubscribe",
                                             "X-Extra"}));
  EXPECT_NE(std::find(L.begin(), L.end(), "Content-Type: text/plain; charset=\"iso-8859-1\""), L.end());
  EXPECT_NE(std::find(L.begin(), L.end(), "Content-Transfer-Encoding: 7bit"), L.end());
  EXPECT_NE(std::find(L.begin(), L.end(), "Importance: High"), L.end());
  EXPECT_NE(std::find(L.begin(), L.end(), "X-Priority: 1"), L.end());
  EXPECT_NE(std::find(L.begin(), L.end(), "Lines: 1"), L.end());
  EXPECT_NE(std::find(L.begin(), L.end(), "Newsgroups: comp.a,comp.b"), L.end());
  EXPECT_EQ(L.back(), "Hello");
  EXPECT_EQ(std::find(L.begin(), L.end(), "This is a multi-part message in MIME format."), L.end());

  M.SetCharSet("ISO-2022-JP");
  EXPECT_EQ(M.CharSet(), "iso-2022-jp");
  EXPECT_EQ(M.Encoding(), cm8Bit);
  EXPECT_TRUE(M.AllowESC());
}

TEST(MessageCompose, CacheBoundariesAndOneChangePerBatch) {
  TqmMailMessage M;
  int Changes = 0;
  M.OnChanged = [&](TObject*) { ++Changes; };
  LoadFromMemory(M, {{"a.bin", "abc"}});
  M.BuildMessage("text", "<p>html</p>", {"a.bin"}, {});
  EXPECT_EQ(Changes, 1);
  TStrings* First = &M.MessageSource();
  const std::string Text1 = First->Text();
  EXPECT_EQ(&M.MessageSource(), First);
  EXPECT_EQ(M.MessageSource().Text(), Text1) << "cached";
  EXPECT_EQ(Changes, 1) << "rendering is not a change";
  const std::string Boundary1 = M.Boundary();
  EXPECT_NE(Text1.find("--" + Boundary1 + "--"), std::string::npos);
  M.SetSubject("new");
  EXPECT_EQ(Changes, 2);
  M.BeginUpdate();
  M.SetSubject("newer");
  M.ToList().AddAddress("x@example.com");
  M.ExtraFields().Add("X-A: b");
  M.EndUpdate();
  EXPECT_EQ(Changes, 3);
  const std::string Text2 = M.MessageSource().Text();
  EXPECT_NE(M.Boundary(), Boundary1);
  EXPECT_NE(Text2.find("Subject: newer"), std::string::npos);
  EXPECT_EQ(Text2.find("\r\n--" + Boundary1 + "\r\n"), std::string::npos);
}

namespace {

class TScriptedBoundaries : public TqmMailMessage {
 public:
  std::vector<std::string> Next;
  std::string NewBoundary() override {
    std::string B = Next.front();
    Next.erase(Next.begin());
    return B;
  }
};

}  // namespace

TEST(MessageCompose, BoundaryFoundInTheContentIsRedrawn) {
  TScriptedBoundaries M;
  M.Next = {"B1", "B2", "B3"};
  // The colliding lines inside the data, and at the very start of it.
  LoadFromMemory(M, {{"a.txt", "x\r\n--B1 in the data\r\ny"}, {"b.txt", "--B2 first"}});
  M.BuildMessage("text", "", {"a.txt", "b.txt"}, {});
  const std::string Source = M.MessageSource().Text();
  EXPECT_EQ(M.Boundary(), "B3");
  EXPECT_NE(Source.find("boundary=\"B3\""), std::string::npos);
  TOurReader R;
  const TReadMessage Got = R.Read(Source);
  ASSERT_EQ(Got.Parts.size(), 3u);
  EXPECT_EQ(Got.Parts[1].Payload, "x\r\n--B1 in the data\r\ny");
  EXPECT_EQ(Got.Parts[2].Payload, "--B2 first");
}

TEST(MessageCompose, AttachmentDataKeepsItsFinalLineBreak) {
  // Quoted-printable and 7bit data are written as lines; the break before
  // the next delimiter belongs to the delimiter, not to the data.
  const std::vector<std::pair<std::string, std::string>> Files = {
      {"crlf.txt", "line one\r\nline two\r\n"},
      {"none.txt", "no break at the end"},
      {"qp.txt", "caf\xC3\xA9 na\xC3\xAFve\r\n\r\n"},
      {"lf.txt", "unix\nlines\n"}};
  TqmMailMessage M;
  LoadFromMemory(M, std::map<std::string, std::string>(Files.begin(), Files.end()));
  M.BuildMessage("text", "", {"crlf.txt", "none.txt", "qp.txt", "lf.txt"}, {});
  TOurReader R;
  const TReadMessage Got = R.Read(M.MessageSource().Text());
  ASSERT_EQ(Got.Parts.size(), 5u);
  for (size_t I = 0; I < Files.size(); ++I) {
    std::string Expected = Files[I].second;
    // Line data travels with CR LF breaks.
    if (Files[I].first == "lf.txt") Expected = "unix\r\nlines\r\n";
    EXPECT_EQ(Got.Parts[I + 1].Payload, Expected) << Files[I].first;
  }
}

TEST(MessageCompose, RelatedImagesAndAttachmentsTree) {
  TqmMailMessage M;
  LoadFromMemory(M, {{"logo.GIF", "GIF89a"}, {"doc.pdf", "%PDF"}});
  M.BuildMessage("", "<img src=\"LOGO.gif\">", {}, {"logo.GIF"});
  EXPECT_EQ(M.ContentType(), "multipart/related");
  EXPECT_EQ(M.ContentSubType(), "text/html");
  ASSERT_EQ(M.Bodies().Count(), 2);
  auto* Image = dynamic_cast<TqmImageBody*>(M.Bodies().Items(1));
  ASSERT_NE(Image, nullptr);
  EXPECT_EQ(Image->ContentType(), "image/GIF");
  EXPECT_EQ(dynamic_cast<TqmTextBody&>(*M.Bodies().Items(0)).Strings().Text(),
            "<img src=\"cid:" + Image->ContentID() + "\">\r\n");
  const std::string Source = M.MessageSource().Text();
  EXPECT_NE(Source.find("type=\"text/html\""), std::string::npos);

  M.BuildMessage("t", "h", {"doc.pdf"}, {"logo.GIF"});
  EXPECT_EQ(M.ContentType(), "multipart/mixed");
  ASSERT_EQ(M.Bodies().Count(), 2);
  auto* Related = dynamic_cast<TqmMultipartBody*>(M.Bodies().Items(0));
  ASSERT_NE(Related, nullptr);
  EXPECT_EQ(Related->ContentType(), "multipart/related");
  EXPECT_EQ(Related->ContentSubType(), "multipart/alternative");
  ASSERT_EQ(Related->Bodies().Count(), 2);
  EXPECT_EQ(Related->Bodies().Items(0)->ContentType(), "multipart/alternative");

  // Neither text: an empty plain text before the attachment.
  M.BuildMessage("", "", {"doc.pdf"}, {});
  ASSERT_EQ(M.Bodies().Count(), 2);
  EXPECT_EQ(M.Bodies().Items(0)->ContentType(), "text/plain");
}

TEST(MessageCompose, MissingAttachmentFileRaises) {
  TqmMailMessage M;
  M.BuildMessage("t", "", {"/nonexistent/file.bin"}, {});
  EXPECT_THROW(M.MessageSource(), EFOpenError);
}

TEST(MessageCompose, BodiesStreamAndAssign) {
  TqmMailMessage M;
  LoadFromMemory(M, {{"a.bin", "abc"}});
  M.BuildMessage("text ü", "<p>h</p>", {"a.bin"}, {});
  TMemoryStream S;
  M.Bodies().WriteBodies(S);
  S.Seek(0, TSeekOrigin::soBeginning);
  TqmMailMessage N;
  N.Bodies().ReadBodies(S);
  ASSERT_EQ(N.Bodies().Count(), 2);
  auto* Alt = dynamic_cast<TqmMultipartBody*>(N.Bodies().Items(0));
  ASSERT_NE(Alt, nullptr);
  EXPECT_EQ(Alt->ContentType(), "multipart/alternative");
  EXPECT_EQ(dynamic_cast<TqmTextBody&>(*Alt->Bodies().Items(0)).Strings().Text(), "text ü\r\n");
  EXPECT_EQ(dynamic_cast<TqmAttachmentBody&>(*N.Bodies().Items(1)).FileName(), "a.bin");
  TqmMailMessage C;
  C.Bodies().Assign(M.Bodies());
  EXPECT_EQ(C.Bodies().Count(), 2);
  EXPECT_EQ(dynamic_cast<TqmMultipartBody&>(*C.Bodies().Items(0)).Bodies().Count(), 2);
}

TEST_F(MessageRoundTrip, MessagesWrittenByPythonReadTheSameHere) {
  std::vector<std::string> Files;
  {
    std::string Command = "python3 " QM_TESTS_DIR "/message/python_compose.py " + Dir;
    FILE* Pipe = popen(Command.c_str(), "r");
    ASSERT_NE(Pipe, nullptr);
    char Line[4096];
    while (fgets(Line, sizeof Line, Pipe)) {
      std::string P(Line);
      while (!P.empty() && P.back() == '\n') P.pop_back();
      Files.push_back(P);
    }
    ASSERT_EQ(pclose(Pipe), 0);
  }
  ASSERT_EQ(Files.size(), 72u);
  const std::vector<TReadMessage> Python = ReadWithPython(Files);
  ASSERT_EQ(Python.size(), Files.size());
  for (size_t N = 0; N < Files.size(); ++N) {
    SCOPED_TRACE(Files[N]);
    TOurReader Ours;
    const TReadMessage Got = Ours.Read(ReadFile(Files[N]));
    const TReadMessage& P = Python[N];
    ASSERT_FALSE(P.Error);
    EXPECT_EQ(Got.Subject, P.Subject);
    EXPECT_EQ(Got.From, P.From);
    EXPECT_EQ(Got.To, P.To);
    ASSERT_EQ(Got.Parts.size(), P.Parts.size());
    for (size_t I = 0; I < P.Parts.size(); ++I) {
      EXPECT_EQ(Got.Parts[I].ContentType, P.Parts[I].ContentType);
      // An inline image takes its name from Content-Type only (Python's
      // comes from the disposition here).
      if (dynamic_cast<TqmImageBody*>(Got.Parts[I].Body))
        EXPECT_EQ(Got.Parts[I].FileName, "");
      else
        EXPECT_EQ(Got.Parts[I].FileName, P.Parts[I].FileName);
      if (P.Parts[I].ContentType.rfind("text/", 0) == 0)
        EXPECT_EQ(NormalText(Got.Parts[I].Payload), NormalText(P.Parts[I].Payload));
      else
        EXPECT_EQ(Got.Parts[I].Payload, P.Parts[I].Payload);
    }
  }
}

TEST_F(MessageRoundTrip, MessagesWrittenByNeomuttReadTheSameHere) {
  // neomutt in batch mode hands each message to a "sendmail" that keeps it.
  WriteFile(Dir + "/send.sh", "#!/bin/sh\ncat > \"$QM_OUT\"\n");
  ASSERT_EQ(system(("chmod +x " + Dir + "/send.sh").c_str()), 0);
  std::string Binary;
  for (int I = 0; I < 5000; ++I) Binary += static_cast<char>((I * 7919) % 256);
  WriteFile(Dir + "/Отчёт данные.bin", Binary);
  const struct {
    const char* CharSet;
    std::string Subject;
    std::string Body;
  } Cases[] = {
      {"utf-8", "Grüße, Привет – ein Betreff " + std::string(60, 'x'), "Grüße aus Köln\nПривет\n"},
      {"iso-8859-1", "Grüße à la façon de Köln", "Grüße à la façon\nzweite Zeile\n"},
      {"koi8-r", "Привет, мир", "Съешь же ещё этих мягких булок\n"},
      {"us-ascii", "Plain subject", "plain body\n"}};
  std::vector<std::string> Files;
  for (size_t N = 0; N < std::size(Cases); ++N) {
    const auto& C = Cases[N];
    const std::string Out = Dir + "/mutt" + std::to_string(N) + ".eml";
    WriteFile(Dir + "/rc", "set sendmail=\"" + Dir + "/send.sh\"\nset charset=utf-8\n"
                           "set send_charset=\"" + C.CharSet + "\"\nset use_from=yes\n"
                           "set from=\"Jörg Müller <joerg@example.com>\"\n");
    WriteFile(Dir + "/body.txt", C.Body);
    const std::string Command = "QM_OUT='" + Out + "' timeout 30 neomutt -n -F '" + Dir +
                                "/rc' -s '" + C.Subject + "' -a '" + Dir +
                                "/Отчёт данные.bin' -- 'John Doe <john@example.com>' "
                                "'x@example.org' < '" + Dir + "/body.txt'";
    ASSERT_EQ(system(Command.c_str()), 0) << "neomutt is needed (scripts/packages/msg.txt)";
    Files.push_back(Out);

    TOurReader Ours;
    const TReadMessage Got = Ours.Read(ReadFile(Out));
    SCOPED_TRACE(ReadFile(Out).substr(0, 1500));
    EXPECT_EQ(Got.Subject, C.Subject);
    EXPECT_EQ(Got.From, (std::vector<std::pair<std::string, std::string>>{
                            {"Jörg Müller", "joerg@example.com"}}));
    EXPECT_EQ(Got.To, (std::vector<std::pair<std::string, std::string>>{
                          {"John Doe", "john@example.com"}, {"", "x@example.org"}}));
    ASSERT_EQ(Got.Parts.size(), 2u);
    EXPECT_EQ(NormalText(Got.Parts[0].Payload), NormalText(C.Body));
    // neomutt writes the name in the send charset ("?" where it has no letter).
    if (C.CharSet == std::string("utf-8") || C.CharSet == std::string("koi8-r")) {
      EXPECT_EQ(Got.Parts[1].FileName, "Отчёт данные.bin");
    }
    EXPECT_EQ(Got.Parts[1].Payload, Binary);
  }
  const std::vector<TReadMessage> Python = ReadWithPython(Files);
  ASSERT_EQ(Python.size(), Files.size());
  for (size_t N = 0; N < Files.size(); ++N) {
    TOurReader Ours;
    const TReadMessage Got = Ours.Read(ReadFile(Files[N]));
    EXPECT_EQ(Got.Subject, Python[N].Subject);
    ASSERT_EQ(Got.Parts.size(), Python[N].Parts.size());
    EXPECT_EQ(NormalText(Got.Parts[0].Payload), NormalText(Python[N].Parts[0].Payload));
    EXPECT_EQ(Got.Parts[1].Payload, Python[N].Parts[1].Payload);
    EXPECT_EQ(Got.Parts[1].FileName, Python[N].Parts[1].FileName);
  }
}

TEST(MessageEvents, DataProgressAndTheDkimLink) {
  TqmMailMessage M;
  LoadFromMemory(M, {{"a.bin", std::string(200000, 'z')}});
  M.BuildMessage("text", "", {"a.bin"}, {});
  std::vector<std::pair<int64_t, int64_t>> Progress;
  M.OnEncodingProgress = [&](TObject* Sender, TqmMessageBody* ABody, int64_t AProceed,
                             int64_t ATotal) {
    EXPECT_EQ(Sender, &M);
    if (dynamic_cast<TqmAttachmentBody*>(ABody)) Progress.emplace_back(AProceed, ATotal);
  };
  const std::string Source = M.MessageSource().Text();
  ASSERT_FALSE(Progress.empty());
  EXPECT_EQ(Progress.front(), (std::pair<int64_t, int64_t>{0, 200000}));
  EXPECT_EQ(Progress.back(), (std::pair<int64_t, int64_t>{200000, 200000}));

  // Data of nested bodies reaches the outer message's events.
  TqmMailMessage R;
  std::vector<std::string> Added;
  R.OnDataAdded = [&](TObject* Sender, TqmMessageBody* ABody, TStream* AData) {
    EXPECT_EQ(Sender, &R);
    EXPECT_EQ(AData->Position(), 0);
    Added.push_back(ABody->ContentType());
  };
  R.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                          std::unique_ptr<TStream>& AData, bool& Handled) {
    AData = std::make_unique<TMemoryStream>();
    Handled = true;
  };
  TqmMailMessage Nested;
  LoadFromMemory(Nested, {{"a.bin", "x"}});
  Nested.BuildMessage("text", "<p>html</p>", {"a.bin"}, {});
  R.ParseMessage(*LinesOf(Nested.MessageSource().Text()));
  EXPECT_EQ(Added, (std::vector<std::string>{"text/plain", "text/html", "application/octet-stream"}));

  auto Dkim = std::make_unique<TqmDkim>();
  M.SetDkim(Dkim.get());
  EXPECT_EQ(M.Dkim(), Dkim.get());
  Dkim.reset();
  EXPECT_EQ(M.Dkim(), nullptr);
}

TEST(MessageParse, TextIsAlwaysValidUtf8) {
  TqmMailMessage M;
  M.ParseMessage(*LinesOf(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "caf\xE9 ok\r\n--b\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\n\xF0\xD2\xC9\r\n--b--\r\n"));
  ASSERT_EQ(M.Bodies().Count(), 2);
  // Unlabelled 8-bit text that is not UTF-8 is read as windows-1252.
  EXPECT_EQ(dynamic_cast<TqmTextBody&>(*M.Bodies().Items(0)).Strings()[0], "café ok");
  EXPECT_EQ(dynamic_cast<TqmTextBody&>(*M.Bodies().Items(1)).Strings()[0], "При");
}

TEST(MessageContext, PartsAtEveryDepthUseTheOutermostSettings) {
  // Writing: a text three levels down takes the outermost message's
  // charset when it is added, and its line width when it is written.
  TqmMailMessage M;
  M.SetCharSet("windows-1252");
  TqmMultipartBody* Mixed = M.Bodies().AddMultipart();
  TqmMultipartBody* Alternative = Mixed->Bodies().AddMultipart();
  Alternative->SetContentType("multipart/alternative");
  TqmTextBody* Deep = Alternative->Bodies().AddText(std::string(60, 'x') + " caf\xC3\xA9 " + std::string(60, 'y'));
  M.Bodies().AddText("top");
  EXPECT_EQ(&Deep->Context()->CharSet, &M.Context().CharSet);
  M.SetCharsPerLine(40);
  const std::string Source = M.MessageSource().Text();
  const size_t Part = Source.find("charset=\"windows-1252\"");
  ASSERT_NE(Part, std::string::npos) << Source;
  TStringList Lines;
  Lines.SetText(Source.substr(Source.find("quoted-printable", Part)));
  for (int I = 2; I < Lines.Count() && !StartsText("--", Lines[I]); ++I)
    EXPECT_LE(Lines[I].size(), 40u) << Lines[I];

  // Reading: the outermost error policy decides for a part three levels
  // down, whatever the nested messages' own properties say.
  const std::string Nested =
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=a\r\n\r\n"
      "--a\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: multipart/mixed; boundary=c\r\n\r\n"
      "--c\r\nContent-Type: application/octet-stream; name=d.bin\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nQUJD\x01REVG\r\n--c--\r\n--b--\r\n--a--\r\n";
  TOurReader Reader;
  Reader.Message.SetErrorProcessing(meStop);
  EXPECT_THROW(Reader.Read(Nested, true), EqmEncoderError);
  Reader.Message.SetErrorProcessing(meExtractMaximumData);
  const TReadMessage Read = Reader.Read(Nested, true);
  ASSERT_EQ(Read.Parts.size(), 1u);
  EXPECT_EQ(Read.Parts[0].Payload, "ABCDEF");  // the stray byte passed over
}
