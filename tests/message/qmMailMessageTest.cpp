// Composition and parsing of whole messages: round trips through this
// reader and Python's email package, and the edge cases of both.
#include <gtest/gtest.h>

#include <unistd.h>

#include "core/qmDateTime.h"
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
