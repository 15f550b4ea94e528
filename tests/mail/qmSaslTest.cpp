// Login mechanism strings against the RFCs' own examples, and the order in
// which the clients choose a mechanism.
#include <gtest/gtest.h>

#include "mail/qmSasl.h"
#include "mail/qmSaslScram.h"
#include "net/qmTcpClient.h"
#include "message/qmEncoder.h"

namespace qm {
namespace {

TEST(Sasl, Rfc2195CramMd5Example) {
  // RFC 2195: challenge <1896.697170952@postoffice.reston.mci.net>, user
  // "tim", secret "tanstaaftanstaaf".
  EXPECT_EQ(SaslCramMd5Response("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+", "tim",
                                "tanstaaftanstaaf"),
            "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
  // Line breaks and spaces in the challenge are ignored.
  EXPECT_EQ(SaslCramMd5Response("PDE4OTYuNjk3MTcwOTUy QHBvc3RvZmZpY2Uu\r\ncmVzdG9uLm1jaS5uZXQ+", "tim",
                                "tanstaaftanstaaf"),
            "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
  // No password: an empty digest after the user name and the space.
  EXPECT_EQ(TqmEncoder::DecodeString(SaslCramMd5Response("PDE+", "tim", ""), cmBase64), "tim ");
}

TEST(Sasl, Rfc1939ApopExample) {
  EXPECT_EQ(SaslApopDigest("<1896.697170952@dbc.mtview.ca.us>", "tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");
  EXPECT_EQ(SaslApopDigest("", "tanstaaf"), "");
}

TEST(Sasl, XOAuth2String) {
  EXPECT_EQ(TqmEncoder::DecodeString(SaslXOAuth2String("someuser@example.com", "Bearer ya29.vF9dft4qmTc2"),
                                     cmBase64),
            "user=someuser@example.com\x01" "auth=Bearer ya29.vF9dft4qmTc2\x01\x01");
  EXPECT_EQ(TqmEncoder::DecodeString(SaslXOAuth2String("", "t"), cmBase64), "user=\x01" "auth=t\x01\x01");
  // One line, however long the token.
  EXPECT_EQ(SaslXOAuth2String("u", std::string(500, 'x')).find_first_of("\r\n"), std::string::npos);
}

TEST(Sasl, Pop3Choice) {
  TStringList Both(std::vector<std::string>{"PLAIN", "cram-md5", "ntlm"});
  TStringList Cram(std::vector<std::string>{"PLAIN", "CRAM-MD5"});
  TStringList Plain(std::vector<std::string>{"PLAIN", "LOGIN", "CRAM-MD5-PLUS"});
  EXPECT_EQ(ChoosePop3Mechanism(true, Both, false), smNtlm);
  EXPECT_EQ(ChoosePop3Mechanism(true, Cram, true), smCramMd5);
  // Whole entries only; the fallback is APOP, never USER/PASS.
  EXPECT_EQ(ChoosePop3Mechanism(true, Plain, false), smApop);
  EXPECT_EQ(ChoosePop3Mechanism(true, Plain, true), smUnavailable);
  EXPECT_EQ(ChoosePop3Mechanism(false, Cram, false), smApop);
  EXPECT_EQ(ChoosePop3Mechanism(false, Cram, true), smUnavailable);
}

TEST(Sasl, SmtpChoice) {
  TStringList All(std::vector<std::string>{"PLAIN", "LOGIN", "CRAM-MD5", "NTLM", "XOAUTH2"});
  TStringList Bearer(std::vector<std::string>{"OAUTHBEARER", "CRAM-MD5"});
  TStringList Plain(std::vector<std::string>{"PLAIN"});
  EXPECT_EQ(ChooseSmtpMechanism(false, All, "", false, false), smNone);
  EXPECT_EQ(ChooseSmtpMechanism(false, All, "", true, false), smNone);
  EXPECT_EQ(ChooseSmtpMechanism(false, All, "", true, true), smUnavailable);
  EXPECT_EQ(ChooseSmtpMechanism(true, All, "tok", false, true), smLogin);
  EXPECT_EQ(ChooseSmtpMechanism(true, All, "tok", true, false), smXOAuth2);
  EXPECT_EQ(ChooseSmtpMechanism(true, Bearer, "tok", true, false), smXOAuth2);
  EXPECT_EQ(ChooseSmtpMechanism(true, Bearer, "", true, false), smCramMd5);
  EXPECT_EQ(ChooseSmtpMechanism(true, All, "", true, false), smNtlm);
  EXPECT_EQ(ChooseSmtpMechanism(true, Plain, "", true, false), smLogin);
  EXPECT_EQ(ChooseSmtpMechanism(true, Plain, "", true, true), smUnavailable);
}

// RFC 5802 and RFC 7677 give one whole exchange each: the client's final
// message must match byte for byte and the server's signature must pass;
// a signature one bit off, or a success without one, is refused.
TEST(Sasl, ScramKnownExchangesAndForgedServerSignatures) {
  struct Case {
    bool Sha256;
    const char *Nonce, *ServerFirst, *ClientFinal, *ServerFinal;
  } Cases[] = {
      {false, "fyko+d2lbbFgONRv9qkxdawL", "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
       "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
       "v=rmF9pqV8S7suAoZWja4dJRkFsKQ="},
      {true, "rOprNGfwEbeRWgbNEkqO",
       "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
       "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
       "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="}};
  auto CodeOf = [](auto ABody) {
    try {
      ABody();
    } catch (const EqmTcpClientError& E) {
      return E.ErrorCode();
    }
    return 0;
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Sha256 ? "SHA-256" : "SHA-1");
    TqmSaslScram Good(C.Sha256, "user", "pencil", C.Nonce);
    EXPECT_EQ(*Good.InitialResponse(), std::string("n,,n=user,r=") + C.Nonce);
    EXPECT_EQ(Good.Step(C.ServerFirst), C.ClientFinal);
    EXPECT_EQ(Good.Step(C.ServerFinal), "");
    EXPECT_TRUE(Good.ServerVerified());
    Good.Finish();

    std::string Forged = C.ServerFinal;
    Forged[5] = Forged[5] == 'A' ? 'B' : 'A';
    for (const std::string& Final : {Forged, std::string("v="), std::string("x=1")}) {
      TqmSaslScram Bad(C.Sha256, "user", "pencil", C.Nonce);
      Bad.InitialResponse();
      Bad.Step(C.ServerFirst);
      EXPECT_EQ(CodeOf([&] { Bad.Step(Final); }), qmSaslServerNotVerifiedCode) << Final;
      EXPECT_FALSE(Bad.ServerVerified());
    }
    TqmSaslScram Silent(C.Sha256, "user", "pencil", C.Nonce);
    Silent.InitialResponse();
    Silent.Step(C.ServerFirst);
    EXPECT_EQ(CodeOf([&] { Silent.Finish(); }), qmSaslServerNotVerifiedCode);
  }
  // Server-first messages a client must refuse before computing a proof.
  for (const char* First : {"r=fyko+d2lbbFgONRv9qkxdawL,s=QSXCR+Q6sek8bf92,i=4096",  // no server nonce
                            "r=other3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",   // not our nonce
                            "r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=0",
                            "r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=99999999999",
                            "r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=-1",
                            "r=fyko+d2lbbFgONRv9qkxdawLx,s=!!!!,i=4096", "r=fyko+d2lbbFgONRv9qkxdawLx,i=4096",
                            "m=ext,r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=4096", ""}) {
    TqmSaslScram S(false, "user", "pencil", "fyko+d2lbbFgONRv9qkxdawL");
    S.InitialResponse();
    EXPECT_EQ(CodeOf([&] { S.Step(First); }), qmSaslBadServerMessageCode) << First;
  }
  TqmSaslScram Refused(true, "u,=", "p", "abc");
  EXPECT_EQ(*Refused.InitialResponse(), "n,,n=u=2C=3D,r=abc");
  EXPECT_EQ(CodeOf([&] { Refused.Step("e=invalid-proof"); }), qmSaslServerErrorCode);
}

TEST(Sasl, SaslPrepMapsAndProhibits) {
  EXPECT_EQ(SaslPrep("I\xC2\xADX"), "IX");              // soft hyphen mapped to nothing
  EXPECT_EQ(SaslPrep("a\xC2\xA0" "b\xE3\x80\x80" "c"), "a b c");  // non-ASCII spaces
  EXPECT_EQ(SaslPrep("p\xC3\xA4ss\xEF\xBB\xBF"), "p\xC3\xA4ss");
  EXPECT_EQ(SaslPrep("user"), "user");
  for (const char* Bad : {"a\x07", "\xEE\x80\x80", "\xEF\xBF\xBE", "\xE2\x80\x8F", "\xC3", "\xC0\xAF",
                          "\xED\xA0\x80", "\xF3\xA0\x80\x81"}) {
    try {
      SaslPrep(Bad);
      ADD_FAILURE() << "accepted";
    } catch (const EqmTcpClientError& E) {
      EXPECT_EQ(E.ErrorCode(), qmSaslProhibitedCode);
    }
  }
}

TEST(Sasl, PlainAndOAuthBearerMessages) {
  EXPECT_EQ(*TqmSaslPlain("tim", "tanstaaftanstaaf").InitialResponse(), std::string("\0tim\0tanstaaftanstaaf", 21));
  EXPECT_EQ(*TqmSaslPlain("tim", "x", "admin").InitialResponse(), std::string("admin\0tim\0x", 11));
  // RFC 7628 4.1, without host and port.
  TqmSaslOAuthBearer Bearer("user@example.com", "Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==");
  EXPECT_EQ(*Bearer.InitialResponse(),
            "n,a=user@example.com,\x01" "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
  EXPECT_EQ(*TqmSaslOAuthBearer("", "Bearer t").InitialResponse(), "n,,\x01" "auth=Bearer t\x01\x01");
  // The error challenge is answered with ^A and kept; success after it is refused.
  EXPECT_EQ(Bearer.Step(R"({"status":"invalid_token"})"), "\x01");
  EXPECT_EQ(Bearer.ErrorDetails(), R"({"status":"invalid_token"})");
  EXPECT_THROW(Bearer.Finish(), EqmTcpClientError);
}

TEST(Sasl, ChoiceOrderAndThePlainTextRule) {
  TStringList All(std::vector<std::string>{"login", "PLAIN", "CRAM-MD5", "NTLM", "XOAUTH2", "OAUTHBEARER",
                                           "SCRAM-SHA-1", "SCRAM-SHA-256"});
  TStringList Weak(std::vector<std::string>{"LOGIN", "PLAIN", "XOAUTH2"});
  TqmSaslChoice C;
  EXPECT_EQ(SaslChooseMechanism(All, C), smScramSha256);
  C.HasToken = true;
  EXPECT_EQ(SaslChooseMechanism(All, C), smOAuthBearer);
  EXPECT_EQ(SaslChooseMechanism(Weak, C), smXOAuth2);
  C.HasToken = false;
  // PLAIN and LOGIN only over TLS, unless allowed.
  EXPECT_EQ(SaslChooseMechanism(Weak, C), smNone);
  C.Tls = true;
  EXPECT_EQ(SaslChooseMechanism(Weak, C), smPlain);
  C.Tls = false;
  C.PlainText = ptlAlways;
  EXPECT_EQ(SaslChooseMechanism(Weak, C), smPlain);
  C.PlainText = ptlNever;
  EXPECT_EQ(SaslChooseMechanism(Weak, C), smNone);
  // The caller's own order, names in any case, unknown names skipped.
  C.Preferred = "bogus cram-md5 SCRAM-SHA-1";
  EXPECT_EQ(SaslChooseMechanism(All, C), smCramMd5);
  C.Preferred = "PLAIN";
  EXPECT_EQ(SaslChooseMechanism(All, C), smNone);
}

}  // namespace
}  // namespace qm
