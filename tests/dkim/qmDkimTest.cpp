#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "crypto/qmCryptEd25519.h"
#include "crypto/qmCryptSignature.h"
#include "crypto/qmOpenSsl.h"
#include "dkim/qmDkim.h"
#include "dkim/qmDkimCanonicalizer.h"
#include "dkim/qmDkimKey.h"
#include "dkim/qmDkimSignature.h"
#include "dkim/qmDkimUtils.h"
#include "message/qmMailMessage.h"

using namespace qm;

namespace {

const std::string KeyDir = "/usr/lib/python3/dist-packages/dkim/tests/data/";

using TLines = std::vector<std::string>;
TLines Lines(std::initializer_list<const char*> ALines) { return TLines(ALines.begin(), ALines.end()); }

int DkimCode(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const EqmDkimError& E) {
    return E.ErrorCode();
  }
  return 0;
}

TLines Message() {
  return Lines({"From: Joe <joe@example.com>", "To: Suzie <suzie@example.net>",
                "Subject: Is dinner ready?", "Date: Fri, 11 Jul 2003 21:00:37 -0700",
                "Received: from b by c", "Received: from a by b", "", "Hi.", "",
                "We lost the game.  Are you hungry yet?", "", ""});
}

}  // namespace

TEST(DkimUtilsTest, QuotedPrintable) {
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Encode("From: a; b=c|d"), "From:=20a=3B=20b=3Dc|d");
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Encode("\xC3\xA9\r\n"), "=C3=A9=0D=0A");
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Decode("a=3Db"), "a=b");
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Decode("a=3db"), "a=db");
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Decode("=xy=20z"), "=xy z");
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Decode("end="), "end");
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Decode("end=4"), "end");
  EXPECT_EQ(TqmDkimQuotedPrintableEncoder::Decode(""), "");
}

TEST(DkimUtilsTest, TagsAreMatchedWholeAndUnfoldedWithoutWhiteSpace) {
  TStringList Field(Lines({"DKIM-Signature: v=1; a=rsa-sha256; bh=BODY", "\t HASH=; h=from : to;",
                             "  b=SIG", " NATURE; d=x.test"}));
  TqmDkimHeaderFieldList List;
  List.Parse(0, &Field);
  const std::string Value = List.GetDecodedFieldValueAt(0);
  EXPECT_EQ(Value, "v=1; a=rsa-sha256; bh=BODYHASH=; h=from : to;b=SIGNATURE; d=x.test");
  // h after bh, and b after bh: each reads its own tag.
  EXPECT_EQ(List.GetItemValue(Value, "h"), "from : to");
  EXPECT_EQ(List.GetItemValue(Value, "b"), "SIGNATURE");
  EXPECT_EQ(List.GetItemValue(Value, "bh"), "BODYHASH=");
  EXPECT_EQ(List.GetItemValue(Value, "s"), "");
  // Quotes mean nothing in tag lists.
  EXPECT_EQ(List.GetItemValue("n=don't; p=KEY", "p"), "KEY");

  TStringList Header(Message());
  TqmDkimHeaderFieldList Received;
  Received.Parse(0, &Header);
  EXPECT_EQ(Received.FindNextFieldFromBottom(" RECEIVED"), 5);
  EXPECT_EQ(Received.FindNextFieldFromBottom("received"), 4);
  EXPECT_EQ(Received.FindNextFieldFromBottom("received"), -1);
  Received.ResetFieldSearch();
  EXPECT_EQ(Received.FindNextFieldFromBottom("received"), 5);
}

TEST(DkimSignatureTest, ParseTagsReadsAndRejects) {
  TqmDkimSignature S;
  S.ParseTags(
      "v=1; a=rsa-sha256; c=relaxed/simple; d=example.com; s=sel; h=From:To::; l=10; "
      "i=joe=40example.com; q=dns/txt; t=1234567890123456; x=0; "
      "z=From:=20Joe|Subject:=20a=0D=0A=09b; bh=BH; b=SIG");
  EXPECT_EQ(S.Version, 1);
  EXPECT_EQ(S.SignedHeaderFields.Count(), 4);
  EXPECT_EQ(S.SignedHeaderFields[3], "");
  EXPECT_EQ(S.BodyLength, 10);
  EXPECT_EQ(S.UserIdentity, "joe@example.com");
  EXPECT_EQ(S.GetHeaderCanonicalization(), "relaxed");
  EXPECT_EQ(S.GetBodyCanonicalization(), "simple");
  EXPECT_EQ(S.GetHashAlgorithm(), "sha256");
  ASSERT_EQ(S.CopiedHeaderFields.Count(), 3);
  EXPECT_EQ(S.CopiedHeaderFields[0], "From: Joe");
  EXPECT_EQ(S.CopiedHeaderFields[2], "\tb");
  // First 12 digits of t: 123456789012 seconds.
  TqmDkimSignature Built;
  Built.Version = 1;
  Built.SignatureTimestamp = S.SignatureTimestamp;
  EXPECT_EQ(S.SignatureExpiration, 0);

  const std::string Good = "a=rsa-sha256; d=e.com; s=s; h=from; bh=x; b=y";
  for (const std::string& Bad : std::vector<std::string>{Good, "v=0; " + Good, "v=x; " + Good, "v=1; " + Good + "; l=-1", "v=1; " + Good + "; l=ab",
        "v=1; a=rsa-sha256; d=; s=s; h=from; bh=x", "v=1; " + Good + "; d=other.com"}) {
    TqmDkimSignature P;
    EXPECT_EQ(DkimCode([&] { P.ParseTags(Bad); }), DKIM_E_FORMAT) << Bad;
  }
  TqmDkimSignature V2;
  V2.ParseTags("v=2; " + Good + "; l=");
  EXPECT_EQ(V2.Version, 2);
  EXPECT_EQ(V2.BodyLength, 0);
  EXPECT_FALSE(V2.HasBodyLengthTag);
  // l=0 (no body covered) stays apart from no l at all; Clear forgets it.
  TqmDkimSignature Zero;
  Zero.ParseTags("v=1; " + Good + "; l=0");
  EXPECT_EQ(Zero.BodyLength, 0);
  EXPECT_TRUE(Zero.HasBodyLengthTag);
  Zero.ParseTags("v=1; " + Good);
  EXPECT_FALSE(Zero.HasBodyLengthTag);

  // c: a single name is the header's (RFC 6376 section 3.5); three names or none: simple.
  for (auto [C, H, B] : {std::tuple{"relaxed", "relaxed", "simple"}, {"", "simple", "simple"},
                         {"relaxed/relaxed", "relaxed", "relaxed"}, {"a/b/c", "simple", "simple"}}) {
    TqmDkimSignature P;
    P.Canonicalization = C;
    EXPECT_EQ(P.GetHeaderCanonicalization(), H) << C;
    EXPECT_EQ(P.GetBodyCanonicalization(), B) << C;
  }
  for (const char* A : {"rsa", "rsa-sha256-x", "-"}) {
    TqmDkimSignature P;
    P.SignatureAlgorithm = A;
    EXPECT_EQ(DkimCode([&] { P.GetHashAlgorithm(); }), DKIM_E_ALGORITHM) << A;
  }
}

TEST(DkimSignatureTest, BuildAndStoreRoundTrip) {
  TqmDkimSignature S;
  S.Version = 1;
  S.SignatureAlgorithm = "rsa-sha256";
  S.Domain = "b\xC3\xBC" "cher.example";
  S.Selector = "sel";
  S.Canonicalization = "relaxed/relaxed";
  S.BodyLength = 42;
  S.UserIdentity = "joe@b\xC3\xBC" "cher.example";
  S.SignatureTimestamp = 45000.5;
  S.SignatureExpiration = 45001.5;
  S.SignedHeaderFields.AddStrings(std::vector<std::string>{"From", "To", "Subject", "Date",
                                                           "Message-ID", "Content-Type"});
  S.CopiedHeaderFields.AddStrings(std::vector<std::string>{"Subject: a; b=c", "\tfolded"});
  S.BodyHash = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
  S.Signature = std::string(344, 'A');
  TStringList Msg(Message());
  S.BuildHeaderField(Msg, 76);
  EXPECT_EQ(Msg[0].rfind("DKIM-Signature: v=1; a=rsa-sha256; d=xn--bcher-kva.example;", 0), 0u) << Msg[0];
  S.StoreSignatureValue(Msg, 76);
  TqmDkimHeaderFieldList List;
  List.Parse(0, &Msg);
  for (int I = List.GetFieldLineIndex(0); I <= List.GetFieldLastLineIndex(0); ++I)
    EXPECT_LE(Msg[I].size(), 76u) << Msg[I];
  EXPECT_EQ(List.FieldNames()[1], "from");

  TqmDkimSignature R;
  R.ParseTags(List.GetDecodedFieldValueAt(0));
  EXPECT_EQ(R.Domain, "xn--bcher-kva.example");
  EXPECT_EQ(R.UserIdentity, "joe@xn--bcher-kva.example");
  EXPECT_EQ(R.BodyLength, 42);
  EXPECT_NEAR(R.SignatureTimestamp, S.SignatureTimestamp, 1e-5);
  EXPECT_NEAR(R.SignatureExpiration, S.SignatureExpiration, 1e-5);
  EXPECT_TRUE(R.SignedHeaderFields.Equals(S.SignedHeaderFields));
  EXPECT_TRUE(R.CopiedHeaderFields.Equals(S.CopiedHeaderFields));
  EXPECT_EQ(R.BodyHash, S.BodyHash);
  EXPECT_EQ(R.Signature, S.Signature);

  // The b value of an Ed25519, RSA-1024, -2048 and -4096 signature, folded
  // into lines of nearly equal length: none is left with a stray character.
  for (size_t Size : {88u, 172u, 344u, 684u}) {
    S.Signature = std::string(Size, 'B');
    TStringList Folded(Message());
    S.BuildHeaderField(Folded, 76);
    S.StoreSignatureValue(Folded, 76);
    TqmDkimHeaderFieldList F;
    F.Parse(0, &Folded);
    size_t Shortest = 1000, Longest = 0;
    for (int I = F.GetFieldLastLineIndex(0); I >= 0 && Folded[I].find("b=") == std::string::npos; --I) {
      Shortest = std::min(Shortest, Folded[I].size());
      Longest = std::max(Longest, Folded[I].size());
      EXPECT_LE(Folded[I].size(), 76u) << Size;
    }
    if (Longest > 0) {
      EXPECT_LE(Longest - Shortest, 1u) << Size;
    }
    TqmDkimSignature Back;
    Back.ParseTags(F.GetDecodedFieldValueAt(0));
    EXPECT_EQ(Back.Signature, S.Signature) << Size;
  }

  // A tag value that ends with ':' is closed with ';' at every width, on
  // a line of its own too: the next tag does not run into it.
  S.Canonicalization = "relaxed:";
  for (int Width : {1, 5, 12, 76}) {
    TStringList Folded(Message());
    S.BuildHeaderField(Folded, Width);
    TqmDkimHeaderFieldList F;
    F.Parse(0, &Folded);
    TqmDkimSignature Back;
    Back.ParseTags(F.GetDecodedFieldValueAt(0));
    EXPECT_EQ(Back.Canonicalization, "relaxed:") << Width;
    EXPECT_EQ(Back.BodyLength, 42) << Width;
  }

  // Timestamp not before expiration; required tags missing.
  TqmDkimSignature Bad;
  Bad.Version = 1;
  Bad.SignatureAlgorithm = "rsa-sha256";
  Bad.Domain = "d";
  Bad.Selector = "s";
  Bad.SignatureTimestamp = Bad.SignatureExpiration = 45000;
  TStringList M2(Message());
  EXPECT_EQ(DkimCode([&] { Bad.BuildHeaderField(M2, 76); }), DKIM_E_PARAMETERS);
  EXPECT_EQ(M2[0].rfind("DKIM-Signature:", 0), 0u);  // the partly written field stays
  EXPECT_EQ(DkimCode([&] { Bad.StoreSignatureValue(M2, 76); }), DKIM_E_PARAMETERS);
}

TEST(DkimCanonicalizerTest, HeaderAndBodyForms) {
  TqmDkimSimpleCanonicalizer Simple;
  TqmDkimRelaxedCanonicalizer Relaxed;
  TStringList M(Lines({"SUBJECT:  Is \t dinner", "\tready? ", "From: a@b", "To : c@d", "",
                         "  a \t\tb ", " \t", "", ""}));
  TStringList Names(Lines({"Subject", "From", "From", "To", "Missing"}));
  EXPECT_EQ(Simple.CanonicalizeHeader(M, Names), "SUBJECT:  Is \t dinner\r\n\tready? \r\nFrom: a@b\r\n");
  EXPECT_EQ(Relaxed.CanonicalizeHeader(M, Names), "subject:Is dinner ready?\r\nfrom:a@b\r\n");
  // A line of white space is a line of text for simple, empty for relaxed.
  EXPECT_EQ(Simple.CanonicalizeBody(M), "  a \t\tb \r\n \t\r\n");
  EXPECT_EQ(Relaxed.CanonicalizeBody(M), " a b\r\n");

  // Empty bodies: simple is one CR LF, relaxed is empty (RFC 6376 3.4.4).
  for (const TLines& EmptyLines : {Lines({"From: a", ""}), Lines({"From: a"}),
                                 Lines({"From: a", "", "", " "}), Lines({})}) {
    TStringList Empty(EmptyLines);
    EXPECT_EQ(Simple.CanonicalizeBody(Empty), Empty.Count() == 4 ? "\r\n \r\n" : "\r\n");
    EXPECT_EQ(Relaxed.CanonicalizeBody(Empty), "");
  }
  // A message whose first line is empty is all body.
  EXPECT_EQ(Simple.CanonicalizeBody(TStringList(Lines({"", "x"}))), "\r\nx\r\n");
  // Two Received: the bottom one first.
  TStringList R(Message());
  EXPECT_EQ(Simple.CanonicalizeHeader(R, TStringList(Lines({"Received", "Received", "Received"}))),
            "Received: from a by b\r\nReceived: from b by c\r\n");
  // 8-bit text passes unchanged.
  EXPECT_EQ(Relaxed.CanonicalizeBodyLine("caf\xC3\xA9  ok "), "caf\xC3\xA9 ok");
}

// A file's last line may have no line break: relaxed then keeps one space
// for the white space that ends it, as dkimpy does. The same
// lines taken as ended (SMTP) and simple do not change.
TEST(DkimCanonicalizerTest, UnterminatedLastLine) {
  struct TCase {
    const char* Text;
    const char* Relaxed;       // the text as it is
    const char* RelaxedEnded;  // its lines, every one ended
    const char* Simple;        // both ways
  };
  const TCase Cases[] = {
      {"A: b\r\n\r\nx  \r\n", "x\r\n", "x\r\n", "x  \r\n"},
      {"A: b\r\n\r\nx  ", "x \r\n", "x\r\n", "x  \r\n"},
      {"A: b\r\n\r\na \t b \t", "a b \r\n", "a b\r\n", "a \t b \t\r\n"},
      {"A: b\r\n\r\nx", "x\r\n", "x\r\n", "x\r\n"},
      {"A: b\r\n\r\nx\r\n\r\n\t ", "x\r\n\r\n \r\n", "x\r\n", "x\r\n\r\n\t \r\n"},
      {"A: b\r\n\r\nx\r\n\r\n", "x\r\n", "x\r\n", "x\r\n"},
      {"A: b\r\n\r\n", "", "", "\r\n"},
      {"A: b\r\n\r\n \t", " \r\n", "", " \t\r\n"},
      // No body: the unended line is a header line.
      {"A: b  ", "", "", "\r\n"},
  };
  TqmDkimSimpleCanonicalizer Simple;
  TqmDkimRelaxedCanonicalizer Relaxed;
  for (const TCase& C : Cases) {
    const std::string Text = C.Text;
    TStringList L;
    L.SetText(Text);
    const bool Unended = Text.back() != '\n';
    EXPECT_EQ(Relaxed.CanonicalizeBody(L, Unended), C.Relaxed) << C.Text;
    EXPECT_EQ(Relaxed.CanonicalizeBody(L), C.RelaxedEnded) << C.Text;
    EXPECT_EQ(Simple.CanonicalizeBody(L, Unended), C.Simple) << C.Text;
    EXPECT_EQ(Simple.CanonicalizeBody(L), C.Simple) << C.Text;
  }
}

TEST(DkimKeyTest, ParseAndBuildRecords) {
  TqmDkimKey K;
  K.ParseRecord("v=DKIM1; h=sha1:sha256; k=rsa; n=a=3Bb=3D; s=email:*; t=y:s:Y; p=AB CD\tEF");
  EXPECT_EQ(K.Version, "DKIM1");
  EXPECT_EQ(K.HashAlgorithms.Count(), 2);
  EXPECT_EQ(K.Notes, "a;b=");
  EXPECT_EQ(K.PublicKey, "ABCDEF");
  EXPECT_EQ(K.ServiceTypes, (TqmDkimKeyServiceTypes{ddsAll, ddsEmail}));
  EXPECT_EQ(K.Flags, (TqmDkimKeyFlags{ddfTestingDomain, ddfCheckUserIdentityDomain}));
  const std::string Text = K.BuildRecord();
  EXPECT_EQ(Text, "v=DKIM1; h=sha1:sha256; k=rsa; n=a=3Bb=3D; s=*:email; t=y:s; p=ABCDEF");
  TqmDkimKey Again;
  Again.ParseRecord(Text);
  EXPECT_EQ(Again.BuildRecord(), Text);

  TqmDkimKey Revoked;
  Revoked.Version = "DKIM1";
  Revoked.KeyType = "rsa";
  Revoked.ServiceTypes = {ddsEmail};
  EXPECT_EQ(Revoked.BuildRecord(), "v=DKIM1; k=rsa; s=email; p=");
  // A value that ends with ':' is still closed by ';': the next tag keeps
  // its own place instead of running into it.
  TqmDkimKey Colon;
  Colon.Version = "x:";
  Colon.Flags = {ddfCheckUserIdentityDomain};
  EXPECT_EQ(Colon.BuildRecord(), "v=x:; t=s; p=");
  TqmDkimKey Bare;
  Bare.ParseRecord("v=DKIM1; k=rsa; p=");
  EXPECT_TRUE(Bare.PublicKey.empty());
  EXPECT_TRUE(Bare.HashAlgorithms.IsEmpty());
}

class DkimComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dkim.SetDomain("example.com");
    Dkim.SetSelector("sel");
    Dkim.LoadPrivateKeyFromFile(KeyDir + "2048_testkey.key");
    PublicKey = Dkim.PrivateKey().GetPublicKeyInfo();
    Dkim.OnGetPublicKey = [this](TObject*, TqmDkimSignature*, TqmByteArray& AKey) {
      ++KeyRequests;
      AKey = PublicKey;
    };
  }
  TqmDkim Dkim;
  TqmByteArray PublicKey;
  int KeyRequests = 0;
};

TEST_F(DkimComponentTest, SignsAndVerifiesEveryCombination) {
  for (const char* Canon : {"simple/simple", "simple/relaxed", "relaxed/simple", "relaxed/relaxed",
                            "relaxed", ""})
    for (const char* Algorithm : {"rsa-sha1", "rsa-sha256"})
      for (int64_t Length : {0, 10}) {
        Dkim.SetCanonicalization(Canon);
        Dkim.SetSignatureAlgorithm(Algorithm);
        Dkim.SetBodyLength(Length);
        TStringList M(Message());
        int Signed = 0;
        Dkim.OnSign = [&](TObject*, TqmDkimSignature*, TStrings&) { ++Signed; };
        Dkim.Sign(M);
        EXPECT_EQ(Signed, 1);
        EXPECT_EQ(M[0].rfind("DKIM-Signature:", 0), 0u);
        Dkim.Verify(M);
        ASSERT_EQ(Dkim.Signatures().Count(), 1);
        EXPECT_EQ(Dkim.Signatures()[0]->VerifyStatus.Status(), dvsVerified) << Canon << Algorithm;
        // Text after the first 10 body characters is not covered by l=10.
        M.Add(Length ? "appended" : "");
        if (Length) {
          EXPECT_NO_THROW(Dkim.Verify(M));
        }
        M.Put(M.Count() - 2, "We lost the game. Are you hungry yet?");
        EXPECT_EQ(DkimCode([&] { Dkim.Verify(M); }), Length ? 0 : DKIM_E_BODY_HASH) << Canon;
      }
}

// Files: SignText and VerifyText know whether the last line ended; the line
// forms take it as ended. A message parsed from text verifies as text.
TEST_F(DkimComponentTest, TextFormsKeepTheUnendedLastLine) {
  Dkim.SetCanonicalization("relaxed/relaxed");
  Dkim.SetVerifyMode(dvmVerifyAll);
  const std::string File = "From: a@example.com\nSubject: x\n\nbody\nlast \t";
  const std::string Signed = Dkim.SignText(File);
  ASSERT_EQ(Signed.rfind("DKIM-Signature:", 0), 0u);
  EXPECT_EQ(Signed.substr(Signed.size() - File.size()), File);
  EXPECT_EQ(Signed.find("\r"), std::string::npos);  // the field's lines end as the file's do
  auto Code = [&] { return Dkim.Signatures()[0]->VerifyStatus.ErrorCode(); };
  Dkim.VerifyText(Signed);
  EXPECT_EQ(Code(), 0);
  TStringList Lines;
  Lines.SetText(Signed);
  Dkim.Verify(Lines);
  EXPECT_EQ(Code(), DKIM_E_BODY_HASH);
  TqmMailMessage Message;
  Message.SetDkim(&Dkim);
  Message.ParseMessage(std::string_view(Signed));
  EXPECT_EQ(Code(), 0);
  Message.ParseMessage(Lines);
  EXPECT_EQ(Code(), DKIM_E_BODY_HASH);
  Message.SetDkim(nullptr);
  // With its line break the last line loses its white space both ways.
  Dkim.VerifyText(Dkim.SignText(File + "\n"));
  EXPECT_EQ(Code(), 0);
  Lines.SetText(Dkim.SignText(File + "\n"));
  Dkim.Verify(Lines);
  EXPECT_EQ(Code(), 0);
}

TEST_F(DkimComponentTest, FailuresCarryTheirCodes) {
  TStringList M(Message());
  Dkim.Sign(M);
  auto Status = [&](const TLines& ALines) {
    TStringList AMsg(ALines);
    Dkim.SetVerifyMode(dvmVerifyAll);
    Dkim.Verify(AMsg);
    return Dkim.Signatures()[0]->VerifyStatus.ErrorCode();
  };
  auto Replace = [&](const std::string& AFrom, const std::string& ATo) {
    std::string Text = M.Text();
    Text.replace(Text.find(AFrom), AFrom.size(), ATo);
    TStringList C;
    C.SetText(Text);
    return C.ToVector();
  };
  EXPECT_EQ(Status(Replace("v=1;", "v=2;")), DKIM_E_VERSION);
  EXPECT_EQ(Status(Replace("h=Date:From:", "h=Date:")), DKIM_E_FROM_NOT_SIGNED);
  EXPECT_EQ(Status(Replace("v=1;", "v=1; i=joe@evil.com;")), DKIM_E_IDENTITY_DOMAIN);
  EXPECT_EQ(Status(Replace("v=1;", "v=1; i=joe@mail.example.com;")), CRYPT_E_BAD_SIGNATURE);
  EXPECT_EQ(Status(Replace("a=rsa-sha256", "a=rsa-sha512")), DKIM_E_OTHER);
  EXPECT_EQ(Status(Replace("a=rsa-sha256", "a=dsa-sha256")), DKIM_E_OTHER);
  EXPECT_EQ(Status(Replace("Subject: Is", "Subject: Was")), CRYPT_E_BAD_SIGNATURE);
  EXPECT_EQ(Dkim.Signatures()[0]->VerifyStatus.StatusText(), "Invalid Signature");
  EXPECT_EQ(Dkim.Signatures().Count(), 1);

  // Key records: revoked, wrong version, wrong type, hash not allowed,
  // a 512-bit key.
  TqmDkimKey Record;
  bool Revoked = false;
  Dkim.OnKeyRevoked = [&](TObject*, TqmDkimSignature*, TqmDkimKey*) { Revoked = true; };
  struct TMyDkim : TqmDkim {
    std::string Record;
    void LookupPublicKeys(TqmDkimSignature*, TqmDkimKeyList& AKeys) override {
      AKeys.Add(std::make_unique<TqmDkimKey>())->ParseRecord(Record);
    }
  };
  TMyDkim Lookup;
  Lookup.SetVerifyMode(dvmVerifyAll);
  const std::string P = EncodeBase64(PublicKey);
  TqmOpenSslRsaKey Small;
  Small.SetKeySize(512);
  Small.GenerateKey();
  for (auto [Rec, Code] :
       {std::pair{"v=DKIM1; k=rsa; p=" + P, 0}, {"k=rsa; h=sha256; p=" + P, 0},
        {"v=DKIM1; k=rsa; p=", DKIM_E_KEY_REVOKED}, {"v=DKIM2; p=" + P, DKIM_E_KEY_INVALID},
        {"k=dsa; p=" + P, DKIM_E_KEY_INVALID}, {"h=sha1; p=" + P, DKIM_E_KEY_INVALID},
        {"p=" + EncodeBase64(Small.GetPublicKeyInfo()), DKIM_E_KEY_INVALID},
        {"p=bm90IGEga2V5", DKIM_E_KEY_INVALID}, {"v=DKIM1; t=s; p=" + P, 0}}) {
    Lookup.Record = Rec;
    TStringList Copy;
    Copy.Assign(M);
    Lookup.Verify(Copy);
    EXPECT_EQ(Lookup.Signatures()[0]->VerifyStatus.ErrorCode(), Code) << Rec;
  }
  // No key at all.
  Dkim.OnGetPublicKey = nullptr;
  EXPECT_EQ(Status(M.ToVector()), DKIM_E_KEY_REQUIRED);
  (void)Revoked;
}

// OnGetKeyRecord hands in whole records (flags and all) or says "revoked"
// or "no such key"; left at dkaAskDns, OnGetPublicKey is asked next.
TEST_F(DkimComponentTest, KeyRecordsFromTheHandler) {
  TStringList M(Message());
  Dkim.Sign(M);
  Dkim.SetVerifyMode(dvmVerifyAll);
  std::string Record;
  TqmDkimKeyAnswer Answer = dkaKey;
  Dkim.OnGetKeyRecord = [&](TObject*, TqmDkimSignature*, TqmDkimKey& AKey, TqmDkimKeyAnswer& AAnswer) {
    AAnswer = Answer;
    AKey.ParseRecord(Record);
  };
  int Revoked = 0;
  Dkim.OnKeyRevoked = [&](TObject*, TqmDkimSignature*, TqmDkimKey*) { ++Revoked; };
  const std::string P = EncodeBase64(PublicKey);
  struct TCase {
    TqmDkimKeyAnswer Answer;
    std::string Record;
    int Code;
    int KeyRequests;
  };
  for (const TCase& Case : {TCase{dkaKey, "v=DKIM1; k=rsa; p=" + P, 0, 0}, TCase{dkaKey, "h=sha1; p=" + P, DKIM_E_KEY_INVALID, 0},
                            TCase{dkaKey, "k=ed25519; p=" + P, DKIM_E_KEY_INVALID, 0},
                            TCase{dkaKey, "v=DKIM1; p=", DKIM_E_KEY_REVOKED, 0},
                            // The record's text does not matter for these three.
                            TCase{dkaRevoked, "p=" + P, DKIM_E_KEY_REVOKED, 0},
                            TCase{dkaNoKey, "p=" + P, DKIM_E_KEY_REQUIRED, 0}, TCase{dkaAskDns, "p=", 0, 1}}) {
    Answer = Case.Answer;
    Record = Case.Record;
    KeyRequests = 0;
    Dkim.Verify(M);
    EXPECT_EQ(Dkim.Signatures()[0]->VerifyStatus.ErrorCode(), Case.Code) << Case.Answer << " " << Case.Record;
    EXPECT_EQ(KeyRequests, Case.KeyRequests) << Case.Answer << " " << Case.Record;
  }
  EXPECT_EQ(Revoked, 2);
}

// Past MaxSignatures the fields are listed but not checked (no key asked).
TEST_F(DkimComponentTest, SignaturesPastMaxSignaturesAreNotChecked) {
  TStringList M(Message());
  for (int I = 0; I < 10; ++I) Dkim.Sign(M);
  Dkim.SetVerifyMode(dvmVerifyAll);
  EXPECT_EQ(Dkim.MaxSignatures(), 8);
  for (int Max : {8, 0, 3}) {
    Dkim.SetMaxSignatures(Max);
    KeyRequests = 0;
    Dkim.Verify(M);
    const int Checked = Max > 0 ? Max : 10;
    ASSERT_EQ(Dkim.Signatures().Count(), 10);
    EXPECT_EQ(KeyRequests, Checked);
    for (int I = 0; I < 10; ++I) {
      const TqmDkimSignatureVerifyStatus& Status = Dkim.Signatures()[I]->VerifyStatus;
      EXPECT_EQ(Status.Status(), I < Checked ? dvsVerified : dvsUnverified) << Max << " " << I;
      EXPECT_EQ(Status.ErrorCode(), I < Checked ? 0 : DKIM_E_NOT_CHECKED) << Max << " " << I;
      EXPECT_EQ(Dkim.Signatures()[I]->Selector, "sel");
    }
  }
}

TEST_F(DkimComponentTest, VerifyModesAndEvents) {
  TStringList M(Message());
  Dkim.Sign(M);
  // A second signature above the first, with a wrong body hash.
  TStringList Bad;
  Bad.Assign(M);
  Dkim.SetCanonicalization("relaxed/relaxed");
  Dkim.Sign(Bad);
  std::string Text = Bad.Text();
  const size_t Bh = Text.find("bh=") + 3;
  Text[Bh] = Text[Bh] == 'A' ? 'B' : 'A';
  Bad.SetText(Text);
  int Events = 0;
  Dkim.OnVerify = [&](TObject*, TqmDkimSignature*, const TStrings&, TqmDkimSignatureVerifyStatus&) {
    ++Events;
  };
  Dkim.SetVerifyMode(dvmVerifyUntilFail);
  EXPECT_EQ(DkimCode([&] { Dkim.Verify(Bad); }), DKIM_E_BODY_HASH);
  EXPECT_EQ(Events, 1);
  Dkim.SetVerifyMode(dvmVerifyUntilSuccess);
  Dkim.Verify(Bad);
  ASSERT_EQ(Dkim.Signatures().Count(), 2);
  EXPECT_EQ(Dkim.Signatures()[0]->VerifyStatus.Status(), dvsFailed);
  EXPECT_EQ(Dkim.Signatures()[1]->VerifyStatus.Status(), dvsVerified);
  Dkim.SetVerifyMode(dvmVerifyAll);
  Bad.Insert(0, "DKIM-Signature: v=1; a=rsa-sha256; d=example.com; s=sel; h=From; bh=x; b=y");
  Dkim.Verify(Bad);
  EXPECT_EQ(Dkim.Signatures().Count(), 3);
  EXPECT_EQ(Events, 1 + 2 + 3);

  // A message without signatures; signing without From or without a key.
  TStringList Plain(Message());
  Dkim.Verify(Plain);
  EXPECT_EQ(Dkim.Signatures().Count(), 0);
  Dkim.SetSignedHeaderFields(TStringList(Lines({"To", "Subject"})));
  EXPECT_EQ(DkimCode([&] { Dkim.Sign(Plain); }), DKIM_E_FROM_NOT_SIGNED);
  TqmDkim NoKey;
  NoKey.SetDomain("example.com");
  NoKey.SetSelector("s");
  try {
    NoKey.Sign(Plain);
    ADD_FAILURE();
  } catch (const EqmCryptError& E) {
    EXPECT_EQ(E.ErrorCode(), CRYPT_E_KEY_REQUIRED);
    EXPECT_EQ(E.Message(), "A key is required to complete the operation");
  }
  EXPECT_TRUE(Plain.Equals(TStringList(Message())));
  // Domain missing: -11 after the body hash, the field partly written.
  TqmDkim NoDomain;
  NoDomain.LoadPrivateKeyFromFile(KeyDir + "1024_testkey.key");
  NoDomain.SetSelector("s");
  EXPECT_EQ(DkimCode([&] { NoDomain.Sign(Plain); }), DKIM_E_PARAMETERS);
  EXPECT_EQ(Plain[0].rfind("DKIM-Signature:", 0), 0u);
}

TEST_F(DkimComponentTest, KeysFromTheHandlerCarryTheTypeOfTheirBytes) {
  TqmEd25519Key& Ed = Dkim.Ed25519PrivateKey();
  Ed.GenerateKey();
  const TqmByteArray EdRaw = Ed.GetPublicKey();
  const TqmByteArray EdInfo = EncodeKey(Ed.Handle(), false, "SubjectPublicKeyInfo");
  const TqmByteArray RsaInfo = PublicKey;
  TqmByteArray Handed;
  Dkim.OnGetPublicKey = [&](TObject*, TqmDkimSignature*, TqmByteArray& AKey) { AKey = Handed; };
  Dkim.SetVerifyMode(dvmVerifyAll);
  auto Verified = [&](const char* AAlgorithm, const TqmByteArray& AKey) {
    Dkim.SetSignatureAlgorithm(AAlgorithm);
    TStringList M(Message());
    Dkim.Sign(M);
    Handed = AKey;
    Dkim.Verify(M);
    return Dkim.Signatures()[0]->VerifyStatus.ErrorCode();
  };
  // Raw or wrapped, an Ed25519 key verifies an Ed25519 signature; a key of
  // the other type is refused for either algorithm.
  EXPECT_EQ(Verified("ed25519-sha256", EdRaw), 0);
  EXPECT_EQ(Verified("ed25519-sha256", EdInfo), 0);
  EXPECT_EQ(Verified("ed25519-sha256", RsaInfo), DKIM_E_KEY_INVALID);
  EXPECT_EQ(Verified("rsa-sha256", RsaInfo), 0);
  EXPECT_EQ(Verified("rsa-sha256", EdRaw), DKIM_E_KEY_INVALID);
  EXPECT_EQ(Verified("rsa-sha256", EdInfo), DKIM_E_KEY_INVALID);
  // Another Ed25519 key of the right type does not verify.
  TqmEd25519Key Other;
  Other.Init();
  Other.GenerateKey();
  EXPECT_EQ(Verified("ed25519-sha256", Other.GetPublicKey()), CRYPT_E_BAD_SIGNATURE);
}
