// Login mechanism strings against the RFCs' own examples, and the order in
// which the clients choose a mechanism.
#include <gtest/gtest.h>

#include "mail/qmSasl.h"
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

}  // namespace
}  // namespace qm
