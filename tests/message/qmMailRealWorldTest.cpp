// Messages as other mail programs write them: each group reads a message
// made for one class of real-world habits (and faults), checks what this
// reader gets, and compares with Python's email package (policy.default)
// where Python is right.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>

#include "core/qmDateTime.h"
#include "message/qmMailHeader.h"
#include "core/qmTranslator.h"
#include "message/qmUtils.h"
#include "qmMailPeer.h"

using namespace qm;
using namespace qm::test;

namespace {

// LF line ends in the test sources become CR LF, as a POP3 reply gives them.
std::string Crlf(const std::string& AText) {
  std::string R;
  for (char C : AText) {
    if (C == '\n' && (R.empty() || R.back() != '\r')) R += '\r';
    R += C;
  }
  return R;
}

TReadMessage ReadPython(const std::string& ASource) {
  static int Counter = 0;
  const std::string Path =
      "/tmp/qm_rw_" + std::to_string(getpid()) + "_" + std::to_string(++Counter) + ".eml";
  WriteFile(Path, ASource);
  std::vector<TReadMessage> R = ReadWithPython({Path});
  std::remove(Path.c_str());
  return R.empty() ? TReadMessage{} : R[0];
}

std::string Bytes(size_t ACount, unsigned ASeed) {
  std::string R(ACount, '\0');
  for (size_t I = 0; I < ACount; ++I) R[I] = static_cast<char>((I * 31 + ASeed + I / 251) & 0xFF);
  return R;
}

std::string Base64Lines(const std::string& AData) {
  TqmByteArray B(AData.begin(), AData.end());
  return TqmEncoder::EncodeBytes(B, cmBase64, false);
}

// The class message reads the same after writing it back.
void ExpectRoundTrip(const std::string& ASource) {
  std::string Rendered;
  const auto [Before, After] = ReadWriteRead(ASource, &Rendered);
  EXPECT_EQ(After.Subject, Before.Subject) << Rendered;
  EXPECT_EQ(After.From, Before.From) << Rendered;
  EXPECT_EQ(After.To, Before.To) << Rendered;
  ASSERT_EQ(After.Parts.size(), Before.Parts.size()) << Rendered;
  for (size_t I = 0; I < Before.Parts.size(); ++I) {
    EXPECT_EQ(After.Parts[I].FileName, Before.Parts[I].FileName) << Rendered;
    EXPECT_TRUE(NormalText(After.Parts[I].Payload) == NormalText(Before.Parts[I].Payload))
        << "part " << I << "\n" << Rendered;
  }
}

const TPart* FindPart(const TReadMessage& AMessage, const std::string& AFileName) {
  for (const TPart& P : AMessage.Parts)
    if (P.FileName == AFileName) return &P;
  return nullptr;
}

}  // namespace

// base64 data with white space, TABs and stray bytes between its characters,
// and "=" padding in the middle (two encoded pieces joined).
TEST(RealWorldRead, Base64SkipsWhatIsNotInTheAlphabet) {
  const std::string Payload = Bytes(13940, 7);
  std::string Encoded;
  const std::string Clean = Base64Lines(Payload);
  int Line = 0;
  for (size_t Pos = 0; Pos < Clean.size();) {
    size_t End = Clean.find("\r\n", Pos);
    if (End == std::string::npos) End = Clean.size();
    std::string L = Clean.substr(Pos, End - Pos);
    // Junk where mailers and gateways leave it: inside the line, at its end.
    if (Line % 3 == 0 && L.size() > 10) L.insert(8, " \t");
    if (Line % 5 == 1 && L.size() > 20) L.insert(17, "*\x01!");
    Encoded += L + (Line % 2 ? " \t" : "") + "\n";
    Pos = End + 2;
    ++Line;
  }
  const std::string Source = Crlf(
      "From: a@example.org\nTo: b@example.org\nSubject: data\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"XX\"\n\n--XX\nContent-Type: text/plain\n\nsee "
      "attached\n--XX\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
      "Content-Transfer-Encoding: base64\n\n" + Encoded +
      "--XX\nContent-Type: application/octet-stream; name=\"joined.bin\"\n"
      "Content-Transfer-Encoding: base64\n\nQUI=Qw==\nRA=\n--XX--\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Source);
  const TPart* Data = FindPart(M, "data.bin");
  ASSERT_NE(Data, nullptr);
  EXPECT_EQ(Data->Payload.size(), Payload.size());
  EXPECT_TRUE(Data->Payload == Payload);
  const TPart* Joined = FindPart(M, "joined.bin");
  ASSERT_NE(Joined, nullptr);
  EXPECT_EQ(Joined->Payload, "ABCD") << "padding ends its group; the next one starts aligned";

  TReadMessage Py = ReadPython(Source);
  const TPart* PyData = FindPart(Py, "data.bin");
  ASSERT_NE(PyData, nullptr);
  EXPECT_TRUE(PyData->Payload == Payload);
  ExpectRoundTrip(Source);
}

// Content-Transfer-Encoding in any case, with comments and white space; the
// UUencode names.
TEST(RealWorldRead, TransferEncodingNamesAndUuencode) {
  const std::string Payload = Bytes(500, 3);
  // 45 bytes a line, as uuencode(1) writes them.
  TqmEncoder UuEncoder;
  UuEncoder.SetEncodeMethod(cmUUEncode);
  UuEncoder.SetCharsPerLine(60);
  const std::string Uu = UuEncoder.EncodeBytes(TqmByteArray(Payload.begin(), Payload.end()));
  const std::string Source = Crlf(
      "From: a@example.org\nSubject: names\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=b1\n\n--b1\nContent-Type: text/plain; "
      "charset=utf-8\nContent-Transfer-Encoding: Quoted-Printable (by hand)\n\nGr=C3=BC=C3=9Fe\n"
      "--b1\nContent-Type: application/octet-stream; name=one.bin\n"
      "Content-Transfer-Encoding:\n  BASE64 \n\n" + Base64Lines(Payload) +
      "\n--b1\nContent-Type: application/octet-stream; name=two.bin\n"
      "Content-Transfer-Encoding: x-uuencode\n\nbegin 644 two.bin\n" + Uu + "end\n--b1--\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Source);
  ASSERT_EQ(M.Parts.size(), 3u);
  EXPECT_EQ(NormalText(M.Parts[0].Payload), "Grüße");
  EXPECT_TRUE(M.Parts[1].Payload == Payload);
  EXPECT_TRUE(M.Parts[2].Payload == Payload);

  // Python reads the names without case and the UUencode parts, but not a
  // value with a comment or white space around it (it keeps those parts
  // undecoded): it is compared on the plain names.
  std::string Plain = Source;
  Plain.replace(Plain.find("Quoted-Printable (by hand)"), 26, "Quoted-Printable");
  Plain.replace(Plain.find("\r\n  BASE64 "), 11, " BASE64");
  TReadMessage Py = ReadPython(Plain);
  ASSERT_EQ(Py.Parts.size(), 3u);
  EXPECT_EQ(NormalText(Py.Parts[0].Payload), "Grüße");
  EXPECT_TRUE(Py.Parts[1].Payload == Payload);
  EXPECT_TRUE(Py.Parts[2].Payload == Payload);
  M = Ours.Read(Plain);
  ASSERT_EQ(M.Parts.size(), 3u);
  EXPECT_TRUE(M.Parts[1].Payload == Payload);
  ExpectRoundTrip(Source);
}

// A header that ends without an empty line: the body starts at the first
// line that is not a field, in the message and in a part.
TEST(RealWorldRead, HeaderWithoutEmptyLine) {
  const std::string Single =
      Crlf("From: a@example.org\nSubject: no blank\nThis is the body.\nSecond: line\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Single);
  EXPECT_EQ(M.Subject, "no blank");
  ASSERT_EQ(M.Parts.size(), 1u);
  EXPECT_EQ(NormalText(M.Parts[0].Payload), "This is the body.\nSecond: line");
  TReadMessage Py = ReadPython(Single);
  ASSERT_EQ(Py.Parts.size(), 1u);
  EXPECT_EQ(NormalText(Py.Parts[0].Payload), NormalText(M.Parts[0].Payload));

  const std::string Multi = Crlf(
      "From: a@example.org\nSubject: parts\nMIME-Version: 1.0\nContent-Type: multipart/mixed; "
      "boundary=q\n\n--q\nContent-Type: text/plain\nFirst part text.\n--q--\n");
  M = Ours.Read(Multi);
  ASSERT_EQ(M.Parts.size(), 1u);
  EXPECT_EQ(NormalText(M.Parts[0].Payload), "First part text.");
  ExpectRoundTrip(Single);
  ExpectRoundTrip(Multi);
}

// Parts without Content-Type, a digest, and single-part messages that are
// not text.
TEST(RealWorldRead, DefaultTypesAndSinglePartAttachments) {
  const std::string Mixed = Crlf(
      "From: a@example.org\nSubject: defaults\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=m\n\n--m\n\nplain by default\n--m\n"
      "Content-Type: multipart/digest; boundary=d\n\n--d\n\nFrom: c@example.org\n"
      "Subject: inner\n\ninner text\n--d--\n--m--\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Mixed);
  ASSERT_EQ(M.Parts.size(), 2u);
  EXPECT_EQ(M.Parts[0].ContentType, "text/plain");
  EXPECT_EQ(NormalText(M.Parts[0].Payload), "plain by default");
  EXPECT_EQ(M.Parts[1].ContentType, "message/rfc822");
  EXPECT_NE(M.Parts[1].Payload.find("Subject: inner"), std::string::npos);
  TReadMessage Py = ReadPython(Mixed);
  ASSERT_EQ(Py.Parts.size(), 2u);
  EXPECT_EQ(Py.Parts[0].ContentType, "text/plain");
  EXPECT_EQ(Py.Parts[1].ContentType, "message/rfc822");

  const std::string Image = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + Bytes(3000, 9);
  const std::string Single = Crlf(
      "From: a@example.org\nSubject: a picture\nMIME-Version: 1.0\n"
      "Content-Type: image/png; name=\"photo.png\"\nContent-Transfer-Encoding: base64\n\n" +
      Base64Lines(Image));
  M = Ours.Read(Single);
  ASSERT_EQ(M.Parts.size(), 1u);
  EXPECT_EQ(M.Parts[0].FileName, "photo.png");
  EXPECT_TRUE(M.Parts[0].Payload == Image);
  Py = ReadPython(Single);
  ASSERT_EQ(Py.Parts.size(), 1u);
  EXPECT_EQ(Py.Parts[0].FileName, "photo.png");
  EXPECT_TRUE(Py.Parts[0].Payload == Image);

  const std::string Zip = Crlf(
      "From: a@example.org\nSubject: zip\nMIME-Version: 1.0\nContent-Type: application/zip\n"
      "Content-Disposition: attachment; filename=\"a.zip\"\nContent-Transfer-Encoding: base64\n\n" +
      Base64Lines("PK\x03\x04 zip bytes"));
  M = Ours.Read(Zip);
  ASSERT_EQ(M.Parts.size(), 1u);
  EXPECT_EQ(M.Parts[0].FileName, "a.zip");
  EXPECT_EQ(M.Parts[0].Payload, "PK\x03\x04 zip bytes");
  ExpectRoundTrip(Mixed);
  ExpectRoundTrip(Single);
  ExpectRoundTrip(Zip);
}

// Quoted-printable: transport padding, "=" and blanks as a soft break, broken
// escapes kept with every character.
TEST(RealWorldRead, QuotedPrintableAsRelaysLeaveIt) {
  const std::string Source = Crlf(
      "From: a@example.org\nSubject: qp\nMIME-Version: 1.0\nContent-Type: text/plain; "
      "charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
      "padded line \t \nsoft= \t\nwrapped and caf=E9\nbroken =4x =G9 =4\n=3D stays\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Source);
  ASSERT_EQ(M.Parts.size(), 1u);
  EXPECT_EQ(NormalText(M.Parts[0].Payload),
            "padded line\nsoftwrapped and café\nbroken =4x =G9 =4\n= stays");
  // Python decodes the escapes alike but keeps the transport padding and
  // reads "=" before blanks as text, not as a soft break.
  TReadMessage Py = ReadPython(Source);
  ASSERT_EQ(Py.Parts.size(), 1u);
  EXPECT_NE(NormalText(Py.Parts[0].Payload).find("broken =4x =G9 =4\n= stays"), std::string::npos);
  ExpectRoundTrip(Source);
}

// Text that lies about its charset comes out as valid UTF-8 with its
// characters; raw UTF-8 in header fields is read as UTF-8.
TEST(RealWorldRead, LyingCharsetsAndRawUtf8Headers) {
  const std::string Source = Crlf(
      "From: \"Jörg Müller\" <j@example.org>\nTo: Zoë <z@example.org>\nSubject: Grüße "
      "aus Köln\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=c\n\n--c\n"
      "Content-Type: text/plain; charset=us-ascii\n\nutf-8 inside: naïve\n--c\n"
      "Content-Type: text/plain\n\ncaf\xe9 \x93quoted\x94\n--c\n"
      "Content-Type: text/plain; charset=x-unknown-charset\n\nbytes \xff\xfe\n--c\n"
      "Content-Type: application/pdf; name=\"résumé.pdf\"\n"
      "Content-Transfer-Encoding: base64\n\nJVBERi0=\n--c--\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Source);
  EXPECT_EQ(M.Subject, "Grüße aus Köln");
  ASSERT_EQ(M.From.size(), 1u);
  EXPECT_EQ(M.From[0].first, "Jörg Müller");
  ASSERT_EQ(M.To.size(), 1u);
  EXPECT_EQ(M.To[0].first, "Zoë");
  ASSERT_EQ(M.Parts.size(), 4u);
  EXPECT_EQ(NormalText(M.Parts[0].Payload), "utf-8 inside: naïve");
  EXPECT_EQ(NormalText(M.Parts[1].Payload), "café “quoted”");
  EXPECT_TRUE(IsValidUtf8(M.Parts[2].Payload));
  EXPECT_EQ(M.Parts[3].FileName, "résumé.pdf");

  // Python reads the raw UTF-8 header text alike; it turns the 8-bit bytes
  // of the ASCII-labelled and unlabelled parts into U+FFFD, losing them.
  TReadMessage Py = ReadPython(Source);
  EXPECT_EQ(Py.Subject, M.Subject);
  ASSERT_EQ(Py.From.size(), 1u);
  EXPECT_EQ(Py.From[0].first, "Jörg Müller");
  ASSERT_EQ(Py.Parts.size(), 4u);
  EXPECT_EQ(Py.Parts[3].FileName, "résumé.pdf");
  EXPECT_NE(Py.Parts[1].Payload.find("\xef\xbf\xbd"), std::string::npos);
  ExpectRoundTrip(Source);
}

// Address lists as mailers write them: separators that are only white space
// or ";", groups, comments, quoted-pairs.
TEST(RealWorldRead, AddressListsGroupsAndComments) {
  const std::string Source = Crlf(
      "From: \"Zed \\\"Z\\\" Last\" (sender) <zed@example.org>\n"
      "To: alice@example.org bob@example.org; \"Doe, John\" <john@example.org>,\n"
      " Team: carol@example.org, Dan <dan@example.org>;, Undisclosed recipients:;,\n"
      "\tFrank (the boss) <frank@example.org>\n"
      "Cc: Grace <grace@example.org> Heidi <heidi@example.org>\n"
      "Subject: lists\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=a\n\n--a\n"
      "Content-Type: text/plain\n\nhi\n--a\nContent-Type: text/plain; name=x\n"
      "Content-Disposition: attachment; filename=\"say \\\"hello\\\".txt\"\n\nhello\n--a--\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Source);
  ASSERT_EQ(M.From.size(), 1u);
  EXPECT_EQ(M.From[0].first, "Zed \"Z\" Last");
  EXPECT_EQ(M.From[0].second, "zed@example.org");
  const std::vector<std::pair<std::string, std::string>> To = {
      {"", "alice@example.org"},    {"", "bob@example.org"},   {"Doe, John", "john@example.org"},
      {"", "carol@example.org"},    {"Dan", "dan@example.org"}, {"Frank", "frank@example.org"}};
  EXPECT_EQ(M.To, To);
  const TqmEmailAddressList& Cc = Ours.Message.CCList();
  ASSERT_EQ(Cc.Count(), 2);
  EXPECT_EQ(Cc.Items(1)->Email(), "heidi@example.org");
  ASSERT_EQ(M.Parts.size(), 2u);
  EXPECT_EQ(M.Parts[1].FileName, "say \"hello\".txt");
  // Stray specials end (found by fuzzing: these once looped for ever).
  EXPECT_EQ(ParseMailboxList("a@x: b) c@y").size(), 2u);
  EXPECT_EQ(ParseMailboxList(")):(").size(), 0u);

  // Python agrees on the sender, the groups, the comment and the file name;
  // of "alice@example.org bob@example.org; "Doe, John" <john@example.org>"
  // it keeps only the first address.
  TReadMessage Py = ReadPython(Source);
  ASSERT_EQ(Py.From.size(), 1u);
  EXPECT_EQ(Py.From[0], M.From[0]);
  ASSERT_GE(Py.To.size(), 3u);
  const std::vector<std::pair<std::string, std::string>> PyTail(Py.To.end() - 3, Py.To.end());
  const std::vector<std::pair<std::string, std::string>> OurTail(To.end() - 3, To.end());
  EXPECT_EQ(PyTail, OurTail);
  ASSERT_EQ(Py.Parts.size(), 2u);
  EXPECT_EQ(Py.Parts[1].FileName, "say \"hello\".txt");
  ExpectRoundTrip(Source);
}

// Unfolding keeps the white space of the fold; message identifiers come
// apart whatever separates them.
TEST(RealWorldRead, UnfoldingAndMessageIds) {
  const std::string Source = Crlf(
      "From: a@example.org\nSubject: folded\n\twith a tab and\n  two spaces\n"
      "In-Reply-To: <r1@example.org>,<r2@example.org>\n"
      "References: <a@example.org>,<b@example.org>\n <c@example.org><d@example.org>\n"
      "\t<e@example.org>\n\nbody\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Source);
  EXPECT_EQ(M.Subject, "folded\twith a tab and  two spaces");
  EXPECT_EQ(Ours.Message.InReplyTo(), "<r1@example.org> <r2@example.org>");
  EXPECT_EQ(Ours.Message.References().ToVector(),
            std::vector<std::string>({"<a@example.org>", "<b@example.org>", "<c@example.org>",
                                      "<d@example.org>", "<e@example.org>"}));
  EXPECT_EQ(ReadPython(Source).Subject, M.Subject);
  ExpectRoundTrip(Source);
}

// Encoded words: a character split over two words survives; a malformed
// word stays as written and leaves the next one alone.
TEST(RealWorldRead, EncodedWordsJoinedAndMalformedKept) {
  const std::string Split = Crlf(
      "From: =?utf-8?Q?Ren=C3?= =?utf-8?Q?=A9e?= <r@example.org>\n"
      "Subject: =?utf-8?B?5pel5pys?= =?UTF-8?B?6Kqe?=\n =?utf-8?Q?_caf=C3?=\n =?utf-8?Q?=A9?=\n\nx\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Split);
  EXPECT_EQ(M.Subject, "日本語 café");
  ASSERT_EQ(M.From.size(), 1u);
  EXPECT_EQ(M.From[0].first, "Renée");
  // Python joins the subject's words alike; in the display name it decodes
  // each word alone and loses the split character.
  TReadMessage Py = ReadPython(Split);
  EXPECT_EQ(Py.Subject, M.Subject);

  const std::string Broken = Crlf(
      "From: a@example.org\nSubject: =?utf-8?X?bad?= =?utf-8?Q?ok?= =?utf-8?Q?open "
      "=?utf-8?Q?next?=\n\nx\n");
  M = Ours.Read(Broken);
  EXPECT_EQ(M.Subject, "=?utf-8?X?bad?= ok =?utf-8?Q?open next");
  ExpectRoundTrip(Split);
  ExpectRoundTrip(Broken);
}

// Dates with AM/PM before the zone and the obsolete forms.
TEST(RealWorldRead, DatesAmPmAndObsoleteForms) {
  const std::vector<std::pair<std::string, int>> Dates = {
      {"Mon, 7 Dec 2026 2:05:06 PM +0100", 13 * 3600 + 5 * 60 + 6},
      {"Mon, 7 Dec 2026 12:05:06 am -0000", 5 * 60 + 6},
      {"Mon 7 Dec 2026 14:05:06 +0100", 13 * 3600 + 5 * 60 + 6},
      {"Mon,7 Dec 2026 14:05:06 +0100", 13 * 3600 + 5 * 60 + 6},
      {"Mon , (day) 7 Dec 2026 14 : 05 : 06 +0100 (CET)", 13 * 3600 + 5 * 60 + 6},
      {"7 Dec 26 14:05:06 EST", 19 * 3600 + 5 * 60 + 6},
      {"7\tDec 2026 14:05 GMT", 14 * 3600 + 5 * 60},
      // asctime, year last: without a zone (read as UTC), with one before
      // the year (as date(1) writes) and after it.
      {"Mon Dec  7 14:05:06 2026", 14 * 3600 + 5 * 60 + 6},
      {"Mon Dec  7 14:05:06 EST 2026", 19 * 3600 + 5 * 60 + 6},
      {"Mon Dec 7 14:05:06 2026 +0100", 13 * 3600 + 5 * 60 + 6}};
  std::string PyArgs;
  for (const auto& D : Dates) {
    TqmMailMessage Message;
    TStringList Lines;
    Lines.SetText("From: a@example.org\r\nDate: " + D.first + "\r\n\r\n");
    Message.ParseHeaderOnly(Lines);
    const TDateTime Want = EncodeDate(2026, 12, 7) + D.second / 86400.0;
    EXPECT_NEAR(LocalToUtc(Message.Date()), Want, 1.0 / 86400000.0) << D.first;
    PyArgs += " '" + D.first + "'";
  }
  // Python reads the AM/PM forms and the comments wrongly (it takes "PM"
  // for the zone); it agrees on the others.
  FILE* Pipe = popen(("/usr/bin/python3 -c 'import sys,email.utils as u\n"
                      "for a in sys.argv[1:]:\n"
                      " d=u.parsedate_to_datetime(a) if u.parsedate_tz(a) else None\n"
                      " print(int(d.timestamp()) if d and d.tzinfo else -1)' " + PyArgs).c_str(),
                     "r");
  ASSERT_NE(Pipe, nullptr);
  std::vector<long> Py;
  long V;
  while (fscanf(Pipe, "%ld", &V) == 1) Py.push_back(V);
  pclose(Pipe);
  ASSERT_EQ(Py.size(), Dates.size());
  const long Base = 1796601600;  // 2026-12-07 00:00:00 UTC
  for (size_t I : {2u, 3u, 5u, 6u, 8u, 9u})
    EXPECT_EQ(Py[I] - Base, Dates[I].second) << Dates[I].first;
}


// Text the message's charset cannot hold goes out as UTF-8 (header words,
// names, file names, the text part), never as "?"; every text part carries
// the label of the charset it is written in.
TEST(RealWorldWrite, CharsetUpgradeAndLabels) {
  TqmMailMessage M;
  M.BuildMessage("Grüße, Привет, 12 €", "");
  M.SetSubject("Привет €");
  M.From().SetName("Zoë Ωmega");
  M.From().SetEmail("z@example.org");
  M.ToList().AddAddress("b@example.org");
  EXPECT_EQ(M.CharSet(), "iso-8859-1") << "the default stays";
  const std::string Source = M.MessageSource().Text();
  EXPECT_NE(Source.find("charset=\"utf-8\""), std::string::npos) << Source;
  TOurReader Ours;
  TReadMessage R = Ours.Read(Source);
  EXPECT_EQ(R.Subject, "Привет €");
  ASSERT_EQ(R.From.size(), 1u);
  EXPECT_EQ(R.From[0].first, "Zoë Ωmega");
  ASSERT_EQ(R.Parts.size(), 1u);
  EXPECT_EQ(NormalText(R.Parts[0].Payload), "Grüße, Привет, 12 €");
  TReadMessage Py = ReadPython(Source);
  EXPECT_EQ(Py.Subject, "Привет €");
  ASSERT_EQ(Py.Parts.size(), 1u);
  EXPECT_EQ(NormalText(Py.Parts[0].Payload), "Grüße, Привет, 12 €");

  // Text that fits stays in the message's charset.
  TqmMailMessage Latin;
  Latin.BuildMessage("Grüße", "");
  EXPECT_NE(Latin.MessageSource().Text().find("charset=\"iso-8859-1\""), std::string::npos);

  // A part read without a charset, in a multipart: written back with a
  // label, read back the same.
  const std::string Unlabelled = Crlf(
      "From: a@example.org\nSubject: s\nMIME-Version: 1.0\nContent-Type: multipart/mixed; "
      "boundary=u\n\n--u\nContent-Type: text/plain\nContent-Transfer-Encoding: 8bit\n\n"
      "caf\xe9 and na\xefve\n--u\nContent-Type: text/plain; charset=us-ascii\n\n"
      "\xe6\x97\xa5\xe6\x9c\xac\n--u--\n");
  std::string Rendered;
  TReadMessage Back = ReadWriteRead(Unlabelled, &Rendered).second;
  ASSERT_EQ(Back.Parts.size(), 2u) << Rendered;
  EXPECT_EQ(NormalText(Back.Parts[0].Payload), "café and naïve") << Rendered;
  EXPECT_EQ(NormalText(Back.Parts[1].Payload), "日本") << Rendered;
  Py = ReadPython(Rendered);
  ASSERT_EQ(Py.Parts.size(), 2u);
  EXPECT_EQ(NormalText(Py.Parts[0].Payload), "café and naïve");
  EXPECT_EQ(NormalText(Py.Parts[1].Payload), "日本");
}

// A single-part attachment keeps its name; binary data read as 8bit is
// re-encoded; Received keeps its words apart; a text and an attachment
// added part by part are multipart/mixed.
TEST(RealWorldWrite, WhatWasReadIsWrittenBack) {
  // 8-bit data as a line-based transport carries it: line breaks only as
  // CR LF, none at the end.
  std::string Binary = std::string("GIF89a\0\x01\x02\xff\r\n\x80 end", 16) + Bytes(200, 5);
  for (size_t I = 16; I < Binary.size(); ++I)
    if (Binary[I] == '\r' || Binary[I] == '\n') Binary[I] = 'x';
  const std::string Source = Crlf(
      "Received: from relay.example.org\n\tby mx.example.org; Mon, 7 Dec 2026 10:00:00 +0000\n"
      "From: a@example.org\nSubject: picture\nMIME-Version: 1.0\n"
      "Content-Type: image/gif; name=\"cat.gif\"\nContent-Transfer-Encoding: 8bit\n\n") + Binary;
  std::string Rendered;
  TReadMessage Back = ReadWriteRead(Source, &Rendered).second;
  EXPECT_NE(Rendered.find("Content-Transfer-Encoding: base64"), std::string::npos) << Rendered;
  EXPECT_NE(Rendered.find("relay.example.org\tby mx"), std::string::npos) << Rendered;
  ASSERT_EQ(Back.Parts.size(), 1u) << Rendered;
  EXPECT_EQ(Back.Parts[0].FileName, "cat.gif");
  EXPECT_TRUE(Back.Parts[0].Payload == Binary);
  TReadMessage Py = ReadPython(Rendered);
  ASSERT_EQ(Py.Parts.size(), 1u);
  EXPECT_EQ(Py.Parts[0].FileName, "cat.gif");
  EXPECT_TRUE(Py.Parts[0].Payload == Binary);

  TqmMailMessage Parts;
  Parts.OnLoadAttachment = [](TObject*, TqmAttachmentBody*, std::string& AName,
                              std::unique_ptr<TStream>& AData, bool& Handled) {
    if (AName != "notes.txt") return;
    AData = std::make_unique<TStringStream>("file text");
    Handled = true;
  };
  Parts.From().SetEmail("a@example.org");
  Parts.Bodies().AddText("see the file");
  Parts.Bodies().AddAttachment("notes.txt");
  const std::string Mixed = Parts.MessageSource().Text();
  EXPECT_NE(Mixed.find("Content-Type: multipart/mixed;"), std::string::npos) << Mixed;
  Py = ReadPython(Mixed);
  ASSERT_EQ(Py.Parts.size(), 2u) << Mixed;
  EXPECT_EQ(Py.Parts[1].FileName, "notes.txt");
  EXPECT_EQ(Py.Parts[1].Payload, "file text");

  // A bare word read as the recipient (no "@") goes out as it came in, not
  // as a display name with "<>"; two parts with one file name keep their
  // own bytes.
  ExpectRoundTrip(Crlf("From: a@example.org\nTo: Dinsdale\nSubject: s\nMIME-Version: 1.0\n"
                       "Content-Type: multipart/mixed; boundary=b\n\n"
                       "--b\nContent-Type: application/x-y; name=\"same.bin\"\n\none\n"
                       "--b\nContent-Type: application/x-y; name=\"same.bin\"\n\ntwo\n--b--\n"));

  // Multiparts without parts, at the top and nested, stay without parts.
  const std::string NoParts = Crlf(
      "From: a@example.org\nSubject: s\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"none\"\n\n");
  ExpectRoundTrip(NoParts);
  ExpectRoundTrip(NoParts + "\r\n\r\n");
  ExpectRoundTrip(Crlf("From: a@example.org\nSubject: s\nMIME-Version: 1.0\n"
                       "Content-Type: multipart/mixed; boundary=b\n\n"
                       "--b\nContent-Type: text/plain\n\nbefore\n"
                       "--b\nContent-Type: multipart/alternative; boundary=empty\n\n"
                       "--b\nContent-Type: text/plain\n\nafter\n--b--\n"));
  std::string Empty;
  EXPECT_TRUE(ReadWriteRead(NoParts, &Empty).second.Parts.empty()) << Empty;

  // A multipart whose parts are not found (no boundary, or one that never
  // occurs) is one text; a TAB in it makes it go out in base64, and it
  // must still read back as that text, its "--" lines included.
  for (const char* Params : {"report-type=delivery-status;\n\tbo", "boundary=\"absent\""})
    ExpectRoundTrip(Crlf(std::string("From: a@example.org\nSubject: s\nMIME-Version: 1.0\n"
                                     "Content-Type: multipart/report; ") +
                         Params + "\n\nintro\n--x\nContent-Type: text/plain\n\n\tindented\n--x--\n"));
}

// CR, LF or NUL in a structured value never reach the wire as a field of
// the caller's choice; unstructured text is encoded.
TEST(RealWorldSafety, HeaderInjectionIsRefused) {
  auto Rendered = [](const std::function<void(TqmMailMessage&)>& ASet) {
    TqmMailMessage M;
    M.BuildMessage("text", "");
    M.From().SetEmail("a@example.org");
    ASet(M);
    return M.MessageSource().Text();
  };
  const std::vector<std::function<void(TqmMailMessage&)>> Structured = {
      [](TqmMailMessage& M) { M.SetInReplyTo("<r@a>\r\nX-Injected: 1"); },
      [](TqmMailMessage& M) { M.References().Add("<r@a>\nX-Injected: 1"); },
      [](TqmMailMessage& M) { M.SetMessageID("<id@a>\rX-Injected: 1"); },
      [](TqmMailMessage& M) { M.NewsGroups().Add("comp.mail\r\nX-Injected: 1"); },
      [](TqmMailMessage& M) { M.SetContentDisposition("inline\r\nX-Injected: 1"); },
      [](TqmMailMessage& M) { M.SetListUnsubscribe("<mailto:u@a>\r\nX-Injected: 1"); },
      [](TqmMailMessage& M) { M.ExtraFields().Add(std::string("X-A: 1\0X-Injected: 1", 20)); },
      [](TqmMailMessage& M) { M.ExtraFields().Add("X-A: 1\r\nX-Injected: 1"); }};
  for (size_t I = 0; I < Structured.size(); ++I) {
    try {
      const std::string Source = Rendered(Structured[I]);
      ADD_FAILURE() << "case " << I << " rendered: " << Source;
    } catch (const EqmHeaderFieldError& E) {
      EXPECT_EQ(E.ErrorCode(), qmHeaderFieldLineBreak);
    }
  }
  for (const auto& Set : std::vector<std::function<void(TqmMailMessage&)>>{
           [](TqmMailMessage& M) { M.SetMailer("Mailer 1.0\r\nX-Injected: 1"); },
           [](TqmMailMessage& M) { M.SetMimeOLE("Produced\r\nX-Injected: 1"); },
           [](TqmMailMessage& M) { M.SetSubject("hi\r\nX-Injected: 1"); }}) {
    const std::string Source = Rendered(Set);
    EXPECT_EQ(Source.find("\r\nX-Injected"), std::string::npos) << Source;
  }

  TStringList Lines;
  TqmHeaderFieldList List;
  List.Parse(0, &Lines);
  EXPECT_THROW(List.AddField("X-A", "1\r\nX-Injected: 1"), EqmHeaderFieldError);
  EXPECT_THROW(List.AddUnfoldedField("X-A", "1\nX-Injected: 1"), EqmHeaderFieldError);
  TStringList Extra;
  Extra.Add("X-A: 1\rX-Injected: 1");
  EXPECT_THROW(List.AddLines(Extra), EqmHeaderFieldError);
  EXPECT_EQ(Lines.Count(), 0);
}

// Received file names carry no control characters and no directories.
TEST(RealWorldSafety, ReceivedFileNamesHaveNoControlCharacters) {
  const std::string Source = Crlf(
      "From: a@example.org\nSubject: names\nMIME-Version: 1.0\nContent-Type: multipart/mixed; "
      "boundary=n\n\n--n\nContent-Type: application/octet-stream\n"
      "Content-Disposition: attachment; filename*=utf-8''evil.exe%00.txt\n\nx\n--n\n"
      "Content-Type: application/octet-stream\nContent-Disposition: attachment; "
      "filename*=utf-8''a%0D%0Ab%1F%7F..%2Fc\n\ny\n--n--\n");
  TOurReader Ours;
  TReadMessage M = Ours.Read(Source);
  ASSERT_EQ(M.Parts.size(), 2u);
  EXPECT_EQ(M.Parts[0].FileName, "evil.exe_.txt");
  EXPECT_EQ(M.Parts[1].FileName, "a__b__.._c");
  for (const TPart& P : M.Parts)
    for (char C : P.FileName) EXPECT_FALSE(static_cast<uint8_t>(C) < 0x20 || C == 0x7F);
  ExpectRoundTrip(Source);
}

TEST(RealWorldWrite, AReadMessageGivenAnAttachmentWritesItsFieldsOnce) {
  // A message read and sent on with a file added (a forward): its one text
  // becomes a part, and the message's own fields stay in the message
  // header; only what describes the text goes with it into its part header.
  TOurReader Reader;
  Reader.Read(Crlf("Received: from relay.example.org by mx.example.org; Mon, 7 Dec 2026 10:00:00 +0000\n"
                   "DKIM-Signature: v=1; a=rsa-sha256; d=example.org; s=s; h=from; bh=x; b=y\n"
                   "X-Spam-Flag: NO\nFrom: a@example.org\nTo: b@example.org\nSubject: note\n"
                   "MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n"
                   "Content-Language: en\n\nthe text\n"));
  TqmMailMessage& M = Reader.Message;
  M.OnLoadAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                          std::unique_ptr<TStream>& AData, bool& Handled) {
    AData = std::make_unique<TStringStream>("file text");
    Handled = true;
  };
  M.Bodies().AddAttachment("notes.txt");
  const std::string Rendered = M.MessageSource().Text();
  const auto Count = [&](const std::string& AText) {
    size_t N = 0;
    for (size_t P = Rendered.find(AText); P != std::string::npos; P = Rendered.find(AText, P + 1)) ++N;
    return N;
  };
  EXPECT_EQ(Count("Received:"), 1u) << Rendered;
  EXPECT_EQ(Count("DKIM-Signature:"), 1u) << Rendered;
  EXPECT_EQ(Count("X-Spam-Flag:"), 1u) << Rendered;
  const size_t TextPart = Rendered.find("Content-Type: text/plain");
  ASSERT_NE(TextPart, std::string::npos) << Rendered;
  EXPECT_NE(Rendered.find("Content-Language: en", TextPart), std::string::npos) << Rendered;
  const TReadMessage Py = ReadPython(Rendered);
  ASSERT_EQ(Py.Parts.size(), 2u) << Rendered;
  EXPECT_EQ(NormalText(Py.Parts[0].Payload), "the text");
  EXPECT_EQ(Py.Parts[1].Payload, "file text");
}

// A multipart with a base64 or quoted-printable transfer encoding (RFC 2045
// forbids it, some mailers send it), nested and at the top: its parts are
// read from the decoded text and written back with their own encodings.
// Python's email reads the encoded lines as they are and finds no parts in
// them (only the text of the boundary-less multipart), so it is no guide
// here.
TEST(RealWorldRead, EncodedMultipartsAreDecodedThenReadAsParts) {
  const std::string Picture = Bytes(300, 3);
  const std::string Inner = Crlf(
      "--in\nContent-Type: text/plain; charset=utf-8\n\nplain caf\xC3\xA9\n"
      "--in\nContent-Type: text/html; charset=utf-8\n\n<p>html</p>\n--in--\n");
  const std::string Nested = Crlf(
      "From: a@example.org\nSubject: nested\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=out\n\n"
      "--out\nContent-Type: multipart/alternative; boundary=in\n"
      "Content-Transfer-Encoding: BASE64\n\n") + Base64Lines(Inner) + Crlf(
      "\n--out\nContent-Type: image/png; name=\"p.png\"\nContent-Transfer-Encoding: base64\n\n") +
      Base64Lines(Picture) + Crlf("\n--out--\n");
  const std::string Top = Crlf(
      "From: a@example.org\nSubject: top\nMIME-Version: 1.0\n"
      "Content-Type: multipart/alternative; boundary=in\n"
      "Content-Transfer-Encoding: quoted-printable\n\n") +
      TqmEncoder::EncodeString(Inner, cmQuotedPrintable) + "\r\n";
  for (const std::string& Source : {Nested, Top}) {
    TOurReader Reader;
    const TReadMessage Read = Reader.Read(Source, true);
    ASSERT_GE(Read.Parts.size(), 2u) << Source;
    EXPECT_EQ(Read.Parts[0].ContentType, "text/plain");
    EXPECT_EQ(NormalText(Read.Parts[0].Payload), "plain caf\xC3\xA9");
    EXPECT_EQ(Read.Parts[1].ContentType, "text/html");
    EXPECT_EQ(NormalText(Read.Parts[1].Payload), "<p>html</p>");
    if (Read.Parts.size() == 3) {
      EXPECT_TRUE(Read.Parts[2].Payload == Picture);
    }
    ExpectRoundTrip(Source);
  }
}
