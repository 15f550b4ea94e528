// Mail written by other programs, with the faults and omissions found in
// real mailboxes: each case is a message written for the class of fault.
#include <gtest/gtest.h>

#include "message/qmMailHeader.h"
#include "core/qmStream.h"
#include "message/qmMailMessage.h"

using namespace qm;

namespace {

std::string Crlf(const std::string& AText) {
  std::string Out;
  for (char C : AText) {
    if (C == '\n') Out += '\r';
    Out += C;
  }
  return Out;
}

TqmTextBody* TextAt(TqmMessageBodies& ABodies, int AIndex) {
  return AIndex < ABodies.Count() ? dynamic_cast<TqmTextBody*>(ABodies.Items(AIndex)) : nullptr;
}

}  // namespace

// Parameters by their whole name, without comments, in every content field.
TEST(MailByOthers, ParametersAreWholeNamesWithoutComments) {
  TqmMailHeaderFieldList H("utf-8", cmNone, 76);
  const struct {
    const char* Value;
    const char* Name;
    const char* Expected;
  } Cases[] = {
      {"multipart/report; report-type=delivery-status; boundary=b", "type", ""},
      {"multipart/report; report-type=delivery-status; type=x; boundary=b", "type", "x"},
      {"text/plain; charset=us-ascii (plain old ASCII)", "charset", "us-ascii"},
      {"text/plain (it's text); charset=\"utf-8\" (really)", "charset", "utf-8"},
      {"text/plain (it's text); charset=\"utf-8\" (really)", "", "text/plain"},
      {"attachment; filename=report.pdf", "name", ""},
      {"attachment; x=\"name=evil\"; name=good", "name", "good"},
      {"application/pdf; name=\"a (1).pdf\"", "name", "a (1).pdf"},
      {"application/pdf; name=a(1).pdf", "name", "a(1).pdf"},
      {"text/plain; (comment; with=delims) charset=koi8-r", "charset", "koi8-r"},
      {"text/plain; CHARSET = utf-8", "charset", "utf-8"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(H.GetItemValue(C.Value, C.Name), C.Expected) << C.Value << " / " << C.Name;

  // A report keeps its type and report-type when written back.
  TqmMailMessage M;
  M.ParseMessage(std::string_view(Crlf(
      "From: a@example.org\nMIME-Version: 1.0\n"
      "Content-Type: multipart/report; report-type=delivery-status;\n boundary=\"BB\"\n\n"
      "--BB\nContent-Type: text/plain; charset=us-ascii (plain old ASCII)\n"
      "Content-Transfer-Encoding: 7bit (nothing to decode)\n\nbounced\n"
      "--BB\nContent-Type: message/delivery-status\n\nStatus: 5.0.0\n--BB--\n")));
  EXPECT_EQ(M.ContentType(), "multipart/report");
  EXPECT_EQ(M.ContentSubType(), "");
  ASSERT_NE(TextAt(M.Bodies(), 0), nullptr);
  EXPECT_EQ(TextAt(M.Bodies(), 0)->CharSet(), "us-ascii");
  EXPECT_EQ(TextAt(M.Bodies(), 0)->Encoding(), cmNone);
  const std::string Out = M.MessageSource().Text();
  EXPECT_NE(Out.find("Content-Type: multipart/report"), std::string::npos) << Out;
  EXPECT_EQ(Out.find("type=\"delivery-status\""), std::string::npos) << Out;
}

// A bad line inside a header is passed over; a header that runs into its
// body without an empty line still ends where the body starts.
TEST(MailByOthers, BadHeaderLinesArePassedOver) {
  const struct {
    const char* Text;
    const char* Subject;
    const char* MessageId;
    const char* FirstBodyLine;
  } Cases[] = {
      {"Subject: one\nthis line is bad\nMessage-ID: <1@x>\nContent-Type: text/plain\n\nbody\n",
       "one", "<1@x>", "body"},
      {"Subject: two\nbad\n  its continuation\nMessage-ID: <2@x>\n\nbody\n", "two", "<2@x>",
       "body"},
      // No empty line: the body starts at the first line that is no field.
      {"Subject: three\nhello there\nNote: not a field\nmore text\n", "three", "",
       "hello there"},
      {"Subject: four\nhello\n\nsecond paragraph\n", "four", "", "hello"},
      // A preamble and a boundary right after the header.
      {"Subject: five\nContent-Type: multipart/mixed; boundary=b\npreamble\n--b\n"
       "Content-Type: text/plain\n\nbody\n--b--\n",
       "five", "", "body"},
  };
  for (const auto& C : Cases) {
    for (const std::string& Text : {std::string(C.Text), Crlf(C.Text)}) {
      TqmMailMessage M;
      M.ParseMessage(std::string_view(Text));
      EXPECT_EQ(M.Subject(), C.Subject) << C.Text;
      EXPECT_EQ(M.MessageID(), C.MessageId) << C.Text;
      TStringList Lines;
      Lines.SetText(Text);
      TqmMailMessage L;
      L.ParseMessage(Lines);
      EXPECT_EQ(L.MessageID(), C.MessageId) << "lines: " << C.Text;
      EXPECT_EQ(L.BodyStart(), M.BodyStart()) << C.Text;
      const TStrings& Shown = M.GetMessageText();
      ASSERT_GT(Shown.Count(), 0) << C.Text;
      EXPECT_EQ(Shown[0], C.FirstBodyLine) << C.Text;
    }
  }
}

// Without Content-Type: text/plain in us-ascii (message/rfc822 in a
// digest); written back, nothing is added while that still holds.
TEST(MailByOthers, DefaultsAreReportedButNotAdded) {
  TqmMailMessage M;
  M.ParseMessage(std::string_view("From: a@example.org\nSubject: old\n\nplain old mail\n"));
  EXPECT_EQ(M.ContentType(), "text/plain");
  EXPECT_EQ(M.CharSet(), "us-ascii");
  EXPECT_TRUE(M.ContentTypeImplied());
  std::string Out = M.MessageSource().Text();
  EXPECT_EQ(Out.find("Content-Type"), std::string::npos) << Out;

  M.ParseMessage(std::string_view("From: a@example.org\nMIME-Version: 1.0\n\nplain\n"));
  EXPECT_EQ(M.ContentType(), "text/plain");
  Out = M.MessageSource().Text();
  EXPECT_EQ(Out.find("Content-Type"), std::string::npos) << Out;
  // A text that is no longer ASCII must say its charset.
  TextAt(M.Bodies(), 0)->Strings().Add("Grüße");
  Out = M.MessageSource().Text();
  EXPECT_NE(Out.find("charset=\"utf-8\""), std::string::npos) << Out;

  M.ParseMessage(std::string_view(
      "From: a@example.org\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\n\nno header at all\n--b\nContent-Type: text/plain\n\nnone given\n"
      "--b\nContent-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: inner\n\nforwarded\n"
      "--d--\n--b--\n"));
  ASSERT_EQ(M.Bodies().Count(), 3);
  EXPECT_EQ(M.Bodies().Items(0)->ContentType(), "text/plain");
  EXPECT_TRUE(M.Bodies().Items(0)->ContentTypeImplied());
  EXPECT_EQ(TextAt(M.Bodies(), 0)->CharSet(), "us-ascii");
  EXPECT_EQ(TextAt(M.Bodies(), 1)->CharSet(), "us-ascii");
  EXPECT_TRUE(TextAt(M.Bodies(), 1)->CharSetImplied());
  auto* Digest = dynamic_cast<TqmMultipartBody*>(M.Bodies().Items(2));
  ASSERT_NE(Digest, nullptr);
  ASSERT_EQ(Digest->Bodies().Count(), 1);
  EXPECT_EQ(Digest->Bodies().Items(0)->ContentType(), "message/rfc822");
  Out = M.MessageSource().Text();
  EXPECT_EQ(Out.find("charset"), std::string::npos) << Out;
  EXPECT_EQ(Out.find("message/rfc822"), std::string::npos) << Out;
  EXPECT_EQ(Out.find("Content-Type: text/plain"), Out.rfind("Content-Type: text/plain")) << Out;

  // Read back, the same defaults come out.
  TqmMailMessage R;
  R.ParseMessage(std::string_view(Out));
  ASSERT_EQ(R.Bodies().Count(), 3);
  EXPECT_EQ(R.Bodies().Items(0)->ContentType(), "text/plain");
  auto* Digest2 = dynamic_cast<TqmMultipartBody*>(R.Bodies().Items(2));
  ASSERT_NE(Digest2, nullptr);
  ASSERT_EQ(Digest2->Bodies().Count(), 1);
  EXPECT_EQ(Digest2->Bodies().Items(0)->ContentType(), "message/rfc822");
}

// Charsets: an ASCII part read as us-ascii stays us-ascii; encoded words
// in a charset we cannot read keep what they hold.
TEST(MailByOthers, CharSetsKeepWhatTheyHold) {
  TqmMailMessage M;
  M.ParseMessage(std::string_view(Crlf(
      "From: a@example.org\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=b\n"
      "Subject: =?x-unknown?Q?caf=E9?= and =?unknown-8bit?Q?caf=C3=A9?= =?utf-8?Q?=C3=A9?=\n\n"
      "--b\nContent-Type: text/plain; charset=us-ascii\n\nascii only\n"
      "--b\nContent-Type: text/plain; charset=x-nobody-knows\nContent-Transfer-Encoding: 8bit\n\n"
      "caf\xE9\n--b--\n")));
  // (White space between adjacent encoded words goes.)
  EXPECT_EQ(M.Subject(), "=?x-unknown?Q?caf=E9?= and caféé");
  ASSERT_EQ(M.Bodies().Count(), 2);
  EXPECT_EQ(TextAt(M.Bodies(), 1)->Strings()[0], "café");  // windows-1252, not U+FFFD
  const std::string Out = M.MessageSource().Text();
  EXPECT_NE(Out.find("charset=\"us-ascii\""), std::string::npos) << Out;
  // The unknown charset is not put on the UTF-8 it is written in.
  EXPECT_EQ(Out.find("x-nobody-knows"), std::string::npos) << Out;
  TqmMailMessage R;
  R.ParseMessage(std::string_view(Out));
  ASSERT_EQ(R.Bodies().Count(), 2);
  EXPECT_EQ(TextAt(R.Bodies(), 0)->CharSet(), "us-ascii");
  EXPECT_EQ(TextAt(R.Bodies(), 1)->Strings()[0], "café");
}

// What the reader repaired is listed: kind, part and line, for every class
// of fault; a message without faults lists nothing, and so does a message
// read again after a faulty one.
TEST(MailByOthers, DefectsAreListedWithPartAndLine) {
  // The one body of a message that is no multipart is part 1, as in IMAP.
  struct TExpected {
    TqmMessageDefectKind Kind;
    std::string Part;
    int Line;
  };
  const struct {
    std::string Text;
    std::vector<TExpected> Defects;
  } Cases[] = {
      {"From: a@x\nSubject: s\n\nfine\n", {}},
      {"From: a@x\nbad\nSubject: s\n\nbody\n", {{mdBadHeaderLine, "", 1}}},
      {"From: a@x\nhello\n", {{mdNoHeaderEnd, "", 1}}},
      {"Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\none\n"
       "--b\nContent-Type: text/plain\noops\nX-A: 1\n\ntwo\n",
       {{mdBadHeaderLine, "2", 8}, {mdMissingBoundary, "2", 11}}},
      {"Content-Type: multipart/mixed; boundary=b\n\nno delimiter at all\n", {{mdNoParts, "", 2}}},
      {"Content-Type: multipart/mixed; boundary=b\n\n--b\n"
       "Content-Type: multipart/alternative; boundary=c\n\n--c\n"
       "Content-Type: text/plain; charset=us-ascii\n\ncaf\xE9\n--c\n"
       "Content-Type: text/plain; charset=x-nobody\n\nhi\n--c--\n--b--\n",
       {{mdCharSetMismatch, "1.1", 8}, {mdUnknownCharSet, "1.2", 12}}},
      {"Content-Type: text/plain; charset=utf-8\n\n\xC3(\n", {{mdCharSetMismatch, "1", 2}}},
      {"Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\naGVs*bG8=\n",
       {{mdUndecodableData, "1", 3}}},
  };
  for (const auto& C : Cases) {
    TqmMailMessage M;
    // Attachments are decoded only when kept.
    M.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                            std::unique_ptr<TStream>& AStream, bool& Handled) {
      AStream = std::make_unique<TMemoryStream>();
      Handled = true;
    };
    M.ParseMessage(std::string_view("From: junk\nbad line\nSubject: x\n\n"));
    ASSERT_FALSE(M.Defects().empty());
    for (const std::string& Text : {C.Text, Crlf(C.Text)}) {
      M.ParseMessage(std::string_view(Text));
      std::string Got, Want;
      for (const auto& D : M.Defects())
        Got += DefectKindName(D.Kind) + " [" + D.Part + "] " + std::to_string(D.Line) + "; ";
      for (const auto& D : C.Defects)
        Want += DefectKindName(D.Kind) + " [" + D.Part + "] " + std::to_string(D.Line) + "; ";
      EXPECT_EQ(Got, Want) << C.Text;
    }
  }
}
