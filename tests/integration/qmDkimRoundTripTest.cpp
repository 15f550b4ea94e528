// A message built by TqmMailMessage and signed by its linked TqmDkim goes
// through postfix to dovecot, comes back by POP3 and is verified on load,
// the key fetched from dnsmasq. postfix adds Received lines above the
// signature on the way.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "crypto/qmCryptSignature.h"
#include "crypto/qmOpenSsl.h"
#include "dkim/qmDkim.h"
#include "dns/qmDnsQuery.h"
#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "tests/integration/qmTestServers.h"

namespace qm {
namespace {

using test::Port;
using test::TestServers;
using test::Value;

TEST(DkimRoundTrip, SignedBySmtpVerifiedOnPop3Load) {
  TestServers Servers;
  TqmDkim Signer;
  Signer.SetDomain("qm.test");
  Signer.SetSelector("round");
  Signer.SetCanonicalization("relaxed/relaxed");
  Signer.LoadPrivateKeyFromFile("/usr/lib/python3/dist-packages/dkim/tests/data/2048_testkey.key");
  const std::string Records = (Servers.StateDir() / "dkim-records.conf").string();
  std::ofstream(Records) << "txt-record=round._domainkey.qm.test,\"v=DKIM1; k=rsa; p="
                         << EncodeBase64(Signer.PrivateKey().GetPublicKeyInfo()) << "\"\n";
  const int DnsPort = Port(Servers.Start("dnsmasq", {"--records", Records}), "DNS_PORT");
  const auto& Env = Servers.Start("postfix");
  const auto& Pop3Env = Servers.Env("dovecot");

  TqmMailMessage Sent;
  Sent.SetCharSet("utf-8");
  Sent.BuildMessage("Gr\xC3\xBC\xC3\x9F" "e,\r\n.a line with a leading dot\r\n\r\nJoe", "<p>Gr\xC3\xBC\xC3\x9F" "e</p>",
                    {}, {});
  Sent.From().SetFullAddress("Joe <joe@qm.test>");
  Sent.ToList().AddAddress("Recipient <" + Value(Env, "SMTP_RCPT") + ">");
  Sent.SetSubject("Signed round trip, \xC3\xA4\xC3\xB6\xC3\xBC");
  Sent.SetDkim(&Signer);

  TqmSmtp S;
  S.SetServer("127.0.0.1");
  S.SetPort(Port(Env, "SMTP_PORT"));
  S.Open();
  S.Send(&Sent);
  S.Close();
  ASSERT_EQ(Signer.Signatures().Count(), 1);
  EXPECT_EQ(Sent.MessageSource()[0].rfind("DKIM-Signature:", 0), 0u);

  TqmPop3 P;
  P.SetServer("127.0.0.1");
  P.SetPort(Port(Pop3Env, "POP3_PORT"));
  P.SetUserName(Value(Pop3Env, "POP3_USER"));
  P.SetPassword(Value(Pop3Env, "POP3_PASSWORD"));
  int Count = 0;
  for (int I = 0; I < 100 && Count < 1; ++I) {
    P.Open();
    Count = P.MessageCount();
    P.Close();
    if (Count < 1) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(Count, 1) << "postfix did not deliver";

  TqmDkim Verifier;
  Verifier.DnsQuery().SetServer("127.0.0.1");
  Verifier.DnsQuery().SetPort(DnsPort);
  int Verified = 0;
  Verifier.OnVerify = [&](TObject*, TqmDkimSignature*, const TStrings&, TqmDkimSignatureVerifyStatus& AStatus) {
    Verified += AStatus.Status() == dvsVerified;
  };
  TqmMailMessage Got;
  Got.SetDkim(&Verifier);
  P.Open();
  P.Retrieve(Count, &Got);
  const std::vector<std::string> Raw = P.Response().ToVector();
  P.Close();
  // postfix put its Received line above the signature.
  ASSERT_FALSE(Raw.empty());
  EXPECT_EQ(Raw[0].rfind("Return-Path:", 0) == 0 || Raw[0].rfind("Received:", 0) == 0, true) << Raw[0];
  ASSERT_EQ(Verifier.Signatures().Count(), 1);
  EXPECT_EQ(Verifier.Signatures()[0]->VerifyStatus.Status(), dvsVerified)
      << Verifier.Signatures()[0]->VerifyStatus.StatusText();
  EXPECT_EQ(Verified, 1);
  EXPECT_EQ(Got.Subject(), Sent.Subject());

  // The same lines with one body byte changed fail on load.
  std::vector<std::string> Changed = Raw;
  for (std::string& L : Changed)
    if (L.find("leading dot") != std::string::npos) L += "!";
  TStringList Lines(std::move(Changed));
  TqmMailMessage Forged;
  Forged.SetDkim(&Verifier);
  EXPECT_THROW(Forged.ParseMessage(Lines), EqmDkimError);
  EXPECT_EQ(Verifier.Signatures()[0]->VerifyStatus.ErrorCode(), DKIM_E_BODY_HASH);
}

}  // namespace
}  // namespace qm
