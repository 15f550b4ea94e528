// Messages as other mail programs write them: each group reads a message
// made for one class of real-world habits (and faults), checks what this
// reader gets, and compares with Python's email package (policy.default)
// where Python is right.
#include <gtest/gtest.h>

#include <unistd.h>

#include "core/qmDateTime.h"
#include "message/qmMailHeader.h"
#include "message/qmTranslator.h"
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
}
