// The TLS engine on its own: a client and a server engine exchange their
// messages in memory, delivered whole or in pieces.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "crypto/qmOpenSsl.h"
#include "net/qmCertificate.h"
#include "net/qmTlsOpenSsl.h"
#include "tests/net/qmTestCerts.h"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;

test::TTestCertificates& Certs() {
  static test::TTestCertificates Instance;
  return Instance;
}

Bytes Content(TMemoryStream& S) { return Bytes(S.Memory(), S.Memory() + S.Size()); }
void Append(TMemoryStream& S, const Bytes& B) {
  const int64_t Pos = S.Position();
  S.Seek(0, TSeekOrigin::soEnd);
  if (!B.empty()) S.Write(B.data(), static_cast<int64_t>(B.size()));
  S.SetPosition(Pos);
}

// Drives both engines until each reports the end of its handshake.
struct TPair {
  explicit TPair(const std::string& AServerCert = "server") {
    ServerCert = TqmCertificate::LoadFromPemFile(Certs().Pem(AServerCert));
    Server.SetCertificate(ServerCert.get());
    Client.SetTargetName("localhost");
    // Only the test CA is trusted, by each engine.
    Client.SetCaFile(Certs().CaFile());
    Server.SetCaFile(Certs().CaFile());
  }

  // Delivers AData to the client in pieces of APiece bytes (0: whole).
  void ToClient(const Bytes& AData, size_t APiece) {
    if (APiece == 0) APiece = AData.size() ? AData.size() : 1;
    for (size_t I = 0; I < AData.size(); I += APiece) {
      Append(ClientIn, Bytes(AData.begin() + I, AData.begin() + std::min(AData.size(), I + APiece)));
      ClientStep();
    }
  }
  void ClientStep() {
    TqmTlsStatus S = Client.Handshake(ClientIn, &ClientCerts, false);
    if (S == TqmTlsStatus::NeedCredentials) {
      ++CredentialRequests;
      if (OnCredentials) OnCredentials(ClientCerts);
      S = Client.Handshake(ClientIn, &ClientCerts, true);
    }
    ClientStatuses.push_back(S);
    if (S == TqmTlsStatus::SendToken) {
      Bytes Token = Content(ClientIn);
      ToServer.insert(ToServer.end(), Token.begin(), Token.end());
      ClientIn.Clear();
      if (Client.HandshakeComplete()) {
        S = Client.Handshake(ClientIn, nullptr, false);
        ClientStatuses.push_back(S);
      }
    }
    if (S == TqmTlsStatus::DoneWithExtra) Extra = Content(ClientIn);
  }
  void ServerStep() {
    Append(ServerIn, ToServer);
    ToServer.clear();
    const TqmTlsStatus S = Server.Handshake(ServerIn, nullptr, false);
    if (S == TqmTlsStatus::SendToken || S == TqmTlsStatus::Done) {
      Bytes Token = Content(ServerIn);
      ToClient_.insert(ToClient_.end(), Token.begin(), Token.end());
      ServerIn.Clear();
    }
  }
  void Run(size_t APiece = 0) {
    ClientStep();
    for (int Round = 0; Round < 20 && !(Client.HandshakeComplete() && ClientDone()); ++Round) {
      if (!ToServer.empty()) ServerStep();
      Bytes Data;
      Data.swap(ToClient_);
      if (!Data.empty()) ToClient(Data, APiece);
    }
    if (!ToServer.empty()) ServerStep();  // the client's last message
    if (!ToClient_.empty() && Client.HandshakeComplete()) {
      // What the server sends after the handshake (TLS 1.3 tickets).
      TMemoryStream In, Plain;
      Append(In, ToClient_);
      ToClient_.clear();
      EXPECT_EQ(Client.Decrypt(In, Plain), TqmTlsStatus::Done);
      EXPECT_EQ(Plain.Size(), 0);
    }
  }
  bool ClientDone() const {
    return !ClientStatuses.empty() && (ClientStatuses.back() == TqmTlsStatus::Done ||
                                       ClientStatuses.back() == TqmTlsStatus::DoneWithExtra);
  }

  Bytes Encrypt(TqmTlsOpenSsl& AEngine, const std::string& AText) {
    TStringStream Source(AText);
    TMemoryStream Out;
    AEngine.Encrypt(Source, Out, static_cast<int64_t>(AText.size()));
    EXPECT_EQ(Source.Position(), 0);
    EXPECT_EQ(Out.Position(), 0);
    return Content(Out);
  }

  std::unique_ptr<TqmCertificate> ServerCert;
  TqmTlsClientOpenSsl Client;
  TqmTlsServerOpenSsl Server;
  TMemoryStream ClientIn, ServerIn;
  Bytes ToServer, ToClient_, Extra;
  TqmCertificateList ClientCerts{false};
  std::vector<TqmTlsStatus> ClientStatuses;
  std::function<void(TqmCertificateList&)> OnCredentials;
  int CredentialRequests = 0;
};

struct TVersionCase {
  TqmTlsFlags Flags;
  bool System;
  const char* Expected;
};

class TlsEngineVersions : public ::testing::TestWithParam<TVersionCase> {};

TEST_P(TlsEngineVersions, HandshakeAndRecordsBothWays) {
  for (size_t Piece : {size_t(0), size_t(1), size_t(7)}) {
    TPair P;
    P.Client.SetTLSFlags(GetParam().Flags);
    P.Client.SetUseSystemTLSFlags(GetParam().System);
    P.Run(Piece);
    ASSERT_TRUE(P.Client.HandshakeComplete()) << Piece;
    ASSERT_TRUE(P.Server.HandshakeComplete()) << Piece;
    EXPECT_EQ(P.Client.ProtocolVersion(), GetParam().Expected);
    EXPECT_TRUE(P.Client.Verified()) << P.Client.StatusText();
    EXPECT_EQ(P.Client.StatusCode(), 0);
    ASSERT_NE(P.Client.Certificate(), nullptr);
    EXPECT_EQ(P.Client.Certificate()->IssuedTo(), "localhost");
    // With pieces, no handshake byte may be lost or used twice.
    if (Piece == 1) {
      EXPECT_NE(std::find(P.ClientStatuses.begin(), P.ClientStatuses.end(), TqmTlsStatus::NeedMoreHandshake),
                P.ClientStatuses.end());
    }

    // Server to client: two records in one input, then one split at every byte.
    TMemoryStream In, Plain;
    Bytes Two = P.Encrypt(P.Server, "first ");
    Bytes Second = P.Encrypt(P.Server, "second");
    Two.insert(Two.end(), Second.begin(), Second.end());
    Append(In, Two);
    EXPECT_EQ(P.Client.Decrypt(In, Plain), TqmTlsStatus::Done);
    EXPECT_EQ(Plain.DataString(), "first second");
    EXPECT_EQ(In.Size(), 0);

    Bytes Third = P.Encrypt(P.Server, "third record");
    Plain.Clear();
    for (size_t I = 0; I < Third.size(); ++I) {
      Append(In, Bytes{Third[I]});
      const TqmTlsStatus S = P.Client.Decrypt(In, Plain);
      if (I + 1 < Third.size()) {
        ASSERT_EQ(S, TqmTlsStatus::IncompleteRecord) << I;
        ASSERT_EQ(In.Size(), static_cast<int64_t>(I + 1));  // the bytes stay with the caller
      } else {
        EXPECT_EQ(S, TqmTlsStatus::Done);
      }
    }
    EXPECT_EQ(Plain.DataString(), "third record");

    // A complete record followed by part of the next one.
    Bytes Fourth = P.Encrypt(P.Server, "fourth");
    Bytes Fifth = P.Encrypt(P.Server, "fifth");
    Bytes Mixed = Fourth;
    Mixed.insert(Mixed.end(), Fifth.begin(), Fifth.begin() + 9);
    Plain.Clear();
    Append(In, Mixed);
    EXPECT_EQ(P.Client.Decrypt(In, Plain), TqmTlsStatus::PartialRecord);
    EXPECT_EQ(Plain.DataString(), "fourth");
    EXPECT_EQ(Content(In), Bytes(Fifth.begin(), Fifth.begin() + 9));
    Append(In, Bytes(Fifth.begin() + 9, Fifth.end()));
    EXPECT_EQ(P.Client.Decrypt(In, Plain), TqmTlsStatus::Done);
    EXPECT_EQ(Plain.DataString(), "fourthfifth");

    // Client to server, larger than one record.
    const std::string Big(40000, 'x');
    TMemoryStream ServerInput, ServerPlain;
    Append(ServerInput, P.Encrypt(P.Client, Big));
    EXPECT_EQ(P.Server.Decrypt(ServerInput, ServerPlain), TqmTlsStatus::Done);
    EXPECT_EQ(ServerPlain.DataString(), Big);

    // The close notification ends the session on the other side.
    TMemoryStream Notify;
    EXPECT_EQ(P.Server.Shutdown(Notify), TqmTlsStatus::SendShutdown);
    Plain.Clear();
    Append(In, Content(Notify));
    EXPECT_EQ(P.Client.Decrypt(In, Plain), TqmTlsStatus::Expired);
    TMemoryStream Nothing;
    EXPECT_EQ(P.Client.Shutdown(Nothing), TqmTlsStatus::SendShutdown);
    EXPECT_EQ(P.Client.Shutdown(Nothing), TqmTlsStatus::Done);  // no session any more
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsEngineVersions,
                         ::testing::Values(TVersionCase{tfUseTLS12, false, "TLSv1.2"},
                                           TVersionCase{tfUseTLS12 | tfUseTLS13, false, "TLSv1.3"},
                                           TVersionCase{qmDefaultTlsFlags, true, "TLSv1.3"},
                                           TVersionCase{qmDefaultTlsFlags, false, "TLSv1.2"}));

TEST(TlsEngine, ApplicationDataInTheSameInputAsTheLastHandshakeMessage) {
  // TLS 1.2: the server's Finished and its first record arrive together.
  TPair P;
  P.Client.SetTLSFlags(tfUseTLS12);
  P.Client.SetUseSystemTLSFlags(false);
  P.ClientStep();
  P.ServerStep();                 // server hello .. done
  P.ToClient(P.ToClient_, 0);     // client key exchange .. finished
  P.ToClient_.clear();
  P.ServerStep();                 // server finished
  ASSERT_TRUE(P.Server.HandshakeComplete());
  Bytes Data = P.ToClient_;
  Bytes Record = P.Encrypt(P.Server, "+OK ready\r\n");
  Data.insert(Data.end(), Record.begin(), Record.end());
  P.ToClient(Data, 0);
  ASSERT_EQ(P.ClientStatuses.back(), TqmTlsStatus::DoneWithExtra);
  EXPECT_EQ(P.Extra, Record);
  TMemoryStream In, Plain;
  Append(In, P.Extra);
  EXPECT_EQ(P.Client.Decrypt(In, Plain), TqmTlsStatus::Done);
  EXPECT_EQ(Plain.DataString(), "+OK ready\r\n");
}

TEST(TlsEngine, TlsThirteenClientFinishesWithItsOwnMessage) {
  TPair P;
  P.Client.SetTLSFlags(tfUseTLS13);
  P.Client.SetUseSystemTLSFlags(false);
  P.ClientStep();
  P.ServerStep();
  Bytes Flight = P.ToClient_;
  P.ToClient_.clear();
  P.ToClient(Flight, 0);
  ASSERT_GE(P.ClientStatuses.size(), 3u);
  EXPECT_EQ(P.ClientStatuses[P.ClientStatuses.size() - 2], TqmTlsStatus::SendToken);
  EXPECT_EQ(P.ClientStatuses.back(), TqmTlsStatus::Done);
  EXPECT_TRUE(P.Client.Verified());
  P.ServerStep();
  EXPECT_TRUE(P.Server.HandshakeComplete());
  // The server's tickets and its first record in one input.
  Bytes Data = P.ToClient_;
  Bytes Record = P.Encrypt(P.Server, "220 ready\r\n");
  Data.insert(Data.end(), Record.begin(), Record.end());
  TMemoryStream In, Plain;
  Append(In, Data);
  EXPECT_EQ(P.Client.Decrypt(In, Plain), TqmTlsStatus::Done);
  EXPECT_EQ(Plain.DataString(), "220 ready\r\n");
}

struct TVerifyCase {
  const char* ServerCert;
  const char* TargetName;
  int Code;
  TqmCertificateVerifyFlags Ignore;
};

class TlsEngineVerify : public ::testing::TestWithParam<TVerifyCase> {};

TEST_P(TlsEngineVerify, BadCertificateIsReportedAndItsFlagWaivesIt) {
  const TVerifyCase& C = GetParam();
  {
    TPair P(C.ServerCert);
    P.Client.SetTargetName(C.TargetName);
    P.Run();
    ASSERT_TRUE(P.Client.HandshakeComplete());
    EXPECT_FALSE(P.Client.Verified());
    EXPECT_EQ(P.Client.StatusCode(), C.Code);
    EXPECT_EQ(P.Client.StatusText(), X509_verify_cert_error_string(C.Code));
  }
  {
    TPair P(C.ServerCert);
    P.Client.SetTargetName(C.TargetName);
    P.Client.SetCertificateFlags(C.Ignore);
    P.Run();
    EXPECT_TRUE(P.Client.Verified()) << P.Client.StatusText();
  }
  {
    // Every other flag leaves the failure in place.
    TPair P(C.ServerCert);
    P.Client.SetTargetName(C.TargetName);
    P.Client.SetCertificateFlags((cfIgnoreCommonNameInvalid | cfIgnoreDateInvalid | cfIgnoreUnknownAuthority |
                                  cfIgnoreRevocation | cfIgnoreWrongUsage) & ~C.Ignore);
    P.Run();
    EXPECT_FALSE(P.Client.Verified());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsEngineVerify,
    ::testing::Values(TVerifyCase{"expired", "localhost", X509_V_ERR_CERT_HAS_EXPIRED, cfIgnoreDateInvalid},
                      TVerifyCase{"otherhost", "localhost", X509_V_ERR_HOSTNAME_MISMATCH,
                                  cfIgnoreCommonNameInvalid},
                      TVerifyCase{"server", "mail.example.org", X509_V_ERR_HOSTNAME_MISMATCH,
                                  cfIgnoreCommonNameInvalid},
                      TVerifyCase{"server", "127.0.0.2", X509_V_ERR_IP_ADDRESS_MISMATCH,
                                  cfIgnoreCommonNameInvalid},
                      TVerifyCase{"selfsigned", "localhost", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT,
                                  cfIgnoreUnknownAuthority}));

TEST(TlsEngine, IpTargetAndChainPolicyFlag) {
  TPair P;
  P.Client.SetTargetName("127.0.0.1");
  P.Run();
  EXPECT_TRUE(P.Client.Verified()) << P.Client.StatusText();

  TPair Q("selfsigned");
  Q.Client.SetCertificateFlags(cfIgnoreChainPolicyErrors);
  Q.Run();
  EXPECT_TRUE(Q.Client.Verified());
  TPair R("otherhost");
  R.Client.SetCertificateFlags(cfIgnoreChainPolicyErrors);  // the name is still checked
  R.Run();
  EXPECT_EQ(R.Client.StatusCode(), X509_V_ERR_HOSTNAME_MISMATCH);
}

TEST(TlsEngine, TrustIsPerEngineAndContextsAreSharedBySettings) {
  // The same process, the same server: the engine trusting the test CA
  // accepts, the one on the system store refuses.
  TPair Trusting, Refusing, Again;
  Refusing.Client.SetCaFile("");
  Trusting.Run();
  Refusing.Run();
  EXPECT_TRUE(Trusting.Client.Verified()) << Trusting.Client.StatusText();
  EXPECT_EQ(Refusing.Client.StatusCode(), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
  // Equal context settings share one context; the per-session ones
  // (target name, ignore flags) do not split it.
  Again.Client.SetTargetName("127.0.0.1");
  Again.Client.SetCertificateFlags(cfIgnoreDateInvalid);
  Again.Run();
  EXPECT_TRUE(Again.Client.Verified()) << Again.Client.StatusText();
  ASSERT_NE(Trusting.Client.Context(), nullptr);
  EXPECT_EQ(Trusting.Client.Context(), Again.Client.Context());
  EXPECT_NE(Trusting.Client.Context(), Refusing.Client.Context());
  // A CA directory works as well as a file; a missing file is an error.
  TPair ByPath;
  ByPath.Client.SetCaFile("");
  ByPath.Client.SetCaPath(Certs().HashedDir());
  ByPath.Run();
  EXPECT_TRUE(ByPath.Client.Verified()) << ByPath.Client.StatusText();
  TPair Missing;
  Missing.Client.SetCaFile(Certs().Dir + "/no-such-ca.pem");
  EXPECT_THROW(Missing.Run(), EqmSSPIError);
}

TEST(TlsEngine, RevocationCheckNeedsACrl) {
  TPair P;
  P.Client.SetCertChainFlags(rfCheckEndOnly);
  P.Run();
  EXPECT_EQ(P.Client.StatusCode(), X509_V_ERR_UNABLE_TO_GET_CRL);
  TPair Q;
  Q.Client.SetCertChainFlags(rfCheckEndOnly);
  Q.Client.SetCertificateFlags(cfIgnoreRevocation);
  Q.Run();
  EXPECT_TRUE(Q.Client.Verified());
}

TEST(TlsEngine, ClientCertificateOnRequest) {
  for (TqmTlsFlags Flags : {TqmTlsFlags(tfUseTLS12), TqmTlsFlags(tfUseTLS13)}) {
    auto Client = TqmCertificate::LoadFromPkcs12File(Certs().Dir + "/client.p12", "secret");
    TPair P;
    P.Client.SetTLSFlags(Flags);
    P.Client.SetUseSystemTLSFlags(false);
    P.Server.SetClientCertificateMode(2);
    P.OnCredentials = [&](TqmCertificateList& L) { L.Add(Client.get()); };
    P.Run();
    EXPECT_EQ(P.CredentialRequests, 1);
    ASSERT_TRUE(P.Server.HandshakeComplete());
    ASSERT_NE(P.Server.Certificate(), nullptr);
    EXPECT_EQ(P.Server.Certificate()->IssuedTo(), "Test Client");
    EXPECT_TRUE(P.Server.Verified());

    // None supplied: the handshake goes on without one when the server
    // only asks.
    TPair Q;
    Q.Client.SetTLSFlags(Flags);
    Q.Client.SetUseSystemTLSFlags(false);
    Q.Server.SetClientCertificateMode(1);
    Q.Run();
    EXPECT_EQ(Q.CredentialRequests, 1);
    EXPECT_TRUE(Q.Client.HandshakeComplete());
    EXPECT_TRUE(Q.Server.HandshakeComplete());
    EXPECT_EQ(Q.Server.Certificate(), nullptr);
  }
}

TEST(TlsEngine, NoCommonVersionRaises) {
  TPair P;
  P.Client.SetTLSFlags(tfUseTLS13);
  P.Client.SetUseSystemTLSFlags(false);
  P.Server.SetTLSFlags(tfUseTLS12);
  P.Server.SetUseSystemTLSFlags(false);
  try {
    P.Run();
    FAIL() << "no error";
  } catch (const EqmSSPIError& E) {
    EXPECT_GT(E.ErrorCode(), 0);
    EXPECT_FALSE(E.Message().empty());
  }
  TqmTlsClientOpenSsl None;
  None.SetTLSFlags(tfUseSSL2);
  None.SetUseSystemTLSFlags(false);
  TMemoryStream B;
  try {
    None.Handshake(B, nullptr, false);
    FAIL() << "no error";
  } catch (const EqmSSPIError& E) {
    EXPECT_EQ(E.ErrorCode(), qmSspiNotSupportedCode);
    EXPECT_EQ(E.Message(), "Not supported");
  }
}

TEST(TlsEngine, GarbageFromThePeerRaises) {
  TqmTlsClientOpenSsl C;
  TMemoryStream B;
  ASSERT_EQ(C.Handshake(B, nullptr, false), TqmTlsStatus::SendToken);
  B.Clear();
  B.SetDataString("+OK this is no TLS server\r\n");
  EXPECT_THROW(C.Handshake(B, nullptr, false), EqmSSPIError);
}

TEST(TlsEngine, RecordFraming) {
  const uint8_t Data[] = {23, 3, 3, 0, 2, 'a', 'b', 23, 3, 3, 0, 3, 'c'};
  EXPECT_EQ(CompleteRecordsLength(Data, sizeof(Data)), 7u);
  EXPECT_EQ(CompleteRecordsLength(Data, 7), 7u);
  EXPECT_EQ(CompleteRecordsLength(Data, 4), 0u);
  EXPECT_EQ(CompleteRecordsLength(Data, 0), 0u);
  const uint8_t Text[] = "+OK hello";
  EXPECT_EQ(NextRecordLength(Text, 9), 9u);  // not a record: handed over whole
  EXPECT_EQ(NextRecordLength(Text, 3), 0u);
}

TEST(Certificate, ValuesFromX509) {
  auto C = TqmCertificate::LoadFromPemFile(Certs().Cert("server"), Certs().Key("server"));
  EXPECT_EQ(C->IssuedTo(), "localhost");
  EXPECT_EQ(C->IssuedBy(), "Quillmark Test CA");
  EXPECT_EQ(C->Version(), 2);
  EXPECT_EQ(C->SignatureAlgorithm(), "1.2.840.10045.4.3.2");
  EXPECT_EQ(C->SignatureAlgorithmName(), "ecdsa-with-SHA256");
  EXPECT_EQ(C->PublicKeyAlgorithm(), "1.2.840.10045.2.1");
  EXPECT_EQ(C->PublicKeyLength(), 256);
  EXPECT_EQ(C->EnhancedKeyUsage(), "1.3.6.1.5.5.7.3.1,1.3.6.1.5.5.7.3.2");
  EXPECT_EQ(C->Thumbprint().size(), 40u);
  EXPECT_EQ(C->SubjectKeyIdentifier().size(), 40u);
  EXPECT_EQ(C->SerialNumber().size() % 2, 0u);
  EXPECT_EQ(C->SerialNumber().find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_LT(C->ValidFrom(), C->ValidTo());
  EXPECT_NEAR(C->ValidTo() - C->ValidFrom(), 30.0 + 1.0 / 24, 1e-6);
  EXPECT_TRUE(C->HasPrivateKey());
  EXPECT_EQ(C->KeyContainerName(), Certs().Key("server"));
  EXPECT_EQ(C->Email(), "");
  EXPECT_FALSE(C->IsSelfSigned());

  auto P12 = TqmCertificate::LoadFromPkcs12File(Certs().Dir + "/client.p12", "secret");
  EXPECT_EQ(P12->Email(), "client@example.org");  // from the alternative name
  EXPECT_EQ(P12->FriendlyName(), "Test Client Key");
  EXPECT_EQ(P12->EnhancedKeyUsage(), "1.3.6.1.5.5.7.3.2");
  EXPECT_TRUE(P12->HasPrivateKey());
  EXPECT_THROW(TqmCertificate::LoadFromPkcs12File(Certs().Dir + "/client.p12", "wrong"), EqmCryptError);
  EXPECT_THROW(TqmCertificate::LoadFromPemFile(Certs().Cert("server"), Certs().Key("client")),
               EqmCryptError);
  EXPECT_THROW(TqmCertificate::LoadFromPemFile(Certs().Dir + "/missing.pem"), EqmCryptError);

  TMemoryStream F;
  F.LoadFromFile(Certs().Cert("selfsigned"));
  auto Self = TqmCertificate::LoadFromBytes(F.Bytes());
  EXPECT_TRUE(Self->IsSelfSigned());
  EXPECT_FALSE(Self->HasPrivateKey());
  EXPECT_EQ(Self->KeyContainerName(), "");
  EXPECT_EQ(Self->IssuedBy(), "localhost");
  EXPECT_THROW(TqmCertificate::LoadFromBytes(TqmByteArray{1, 2, 3}), EqmCryptError);
}

TEST(Certificate, ListOwnership) {
  auto A = TqmCertificate::LoadFromPemFile(Certs().Pem("server"));
  TqmCertificateList Borrowing(false);
  EXPECT_EQ(Borrowing.Add(A.get()), 0);
  EXPECT_EQ(Borrowing.Count(), 1);
  EXPECT_EQ(Borrowing.Items(0), A.get());
  EXPECT_THROW(Borrowing.Items(1), EListError);
  Borrowing.Clear();
  EXPECT_EQ(Borrowing.Count(), 0);
  EXPECT_EQ(A->IssuedTo(), "localhost");  // still alive
  TqmCertificateList Owning(true);
  Owning.Add(TqmCertificate::LoadFromPemFile(Certs().Pem("client")).release());
  EXPECT_EQ(Owning.Items(0)->IssuedTo(), "Test Client");
}

}  // namespace
}  // namespace qm
