// The NTLM client and the exchange loop against gss-ntlmssp's own acceptor
// in this process (its users come from a file named by NTLM_USER_FILE,
// which the fixture sets only for the duration of each test).
#include <gssapi/gssapi.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "mail/qmNtlmClient.h"
#include "mail/qmSasl.h"
#include "message/qmEncoder.h"
#include "net/qmTcpClient.h"
#include "net/qmTlsOpenSsl.h"

namespace qm {
namespace {

gss_OID_desc NtlmOid = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

// The NTLMSSP message type of a token (0 when it is not an NTLMSSP message).
int NtlmType(const std::string& AToken) {
  if (AToken.size() < 12 || AToken.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0) return 0;
  return static_cast<unsigned char>(AToken[8]) | static_cast<unsigned char>(AToken[9]) << 8;
}

std::string StreamBytes(TMemoryStream& AStream) { return AStream.DataString(); }

// gss-ntlmssp's acceptor, as a server would run it.
class TAcceptor {
 public:
  ~TAcceptor() {
    OM_uint32 Minor = 0;
    if (FContext != GSS_C_NO_CONTEXT) gss_delete_sec_context(&Minor, &FContext, GSS_C_NO_BUFFER);
    if (FCredentials != GSS_C_NO_CREDENTIAL) gss_release_cred(&Minor, &FCredentials);
    if (FInitiator != GSS_C_NO_NAME) gss_release_name(&Minor, &FInitiator);
  }
  // Returns the reply token; Complete/Failed tell how the step ended.
  std::string Step(const std::string& AToken) {
    OM_uint32 Minor = 0;
    if (FCredentials == GSS_C_NO_CREDENTIAL) {
      gss_OID_set_desc Mechs{1, &NtlmOid};
      if (GSS_ERROR(gss_acquire_cred(&Minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &Mechs, GSS_C_ACCEPT, &FCredentials,
                                     nullptr, nullptr)))
        ADD_FAILURE() << "the acceptor has no credentials";
    }
    gss_buffer_desc In{AToken.size(), const_cast<char*>(AToken.data())};
    gss_buffer_desc Out = GSS_C_EMPTY_BUFFER;
    const OM_uint32 Major = gss_accept_sec_context(&Minor, &FContext, FCredentials, &In, GSS_C_NO_CHANNEL_BINDINGS,
                                                   FInitiator == GSS_C_NO_NAME ? &FInitiator : nullptr, nullptr,
                                                   &Out, nullptr, nullptr, nullptr);
    Failed = GSS_ERROR(Major);
    Complete = Major == GSS_S_COMPLETE;
    std::string Reply(static_cast<const char*>(Out.value), Out.length);
    gss_release_buffer(&Minor, &Out);
    return Reply;
  }
  std::string Initiator() {
    OM_uint32 Minor = 0;
    gss_buffer_desc Text = GSS_C_EMPTY_BUFFER;
    if (FInitiator == GSS_C_NO_NAME || GSS_ERROR(gss_display_name(&Minor, FInitiator, &Text, nullptr))) return "";
    std::string Name(static_cast<const char*>(Text.value), Text.length);
    gss_release_buffer(&Minor, &Text);
    // gss-ntlmssp counts the terminating NUL.
    while (!Name.empty() && Name.back() == '\0') Name.pop_back();
    return Name;
  }
  bool Complete = false;
  bool Failed = false;

 private:
  gss_cred_id_t FCredentials = GSS_C_NO_CREDENTIAL;
  gss_ctx_id_t FContext = GSS_C_NO_CONTEXT;
  gss_name_t FInitiator = GSS_C_NO_NAME;
};

class NtlmClient : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* Old = std::getenv("NTLM_USER_FILE");
    if (Old) FSavedUserFile = Old;
    FUserFile = std::filesystem::temp_directory_path() / ("qm-ntlm-users-" + std::to_string(getpid()));
    std::ofstream(FUserFile) << "QMUNIT:alice:Secret-1\n";
    setenv("NTLM_USER_FILE", FUserFile.c_str(), 1);
  }
  void TearDown() override {
    if (FSavedUserFile) {
      setenv("NTLM_USER_FILE", FSavedUserFile->c_str(), 1);
    } else {
      unsetenv("NTLM_USER_FILE");
    }
    std::filesystem::remove(FUserFile);
  }

  // One whole exchange; returns the acceptor's name for the initiator, or
  // "refused".
  std::string Login(const TqmAuthIdentity* AIdentity) {
    TqmNtlmClient Client;
    TAcceptor Server;
    TMemoryStream Stream;
    EXPECT_FALSE(Client.GenerateNtlmToken(Stream, AIdentity, "pop@127.0.0.1"));
    EXPECT_EQ(Stream.Position(), 0);
    EXPECT_EQ(NtlmType(StreamBytes(Stream)), 1);
    const std::string Challenge = Server.Step(StreamBytes(Stream));
    EXPECT_EQ(NtlmType(Challenge), 2);
    Stream.SetDataString(Challenge);
    EXPECT_TRUE(Client.GenerateNtlmToken(Stream, AIdentity, "pop@127.0.0.1"));
    EXPECT_EQ(Stream.Position(), 0);
    EXPECT_EQ(NtlmType(StreamBytes(Stream)), 3);
    Server.Step(StreamBytes(Stream));
    return Server.Complete ? Server.Initiator() : "refused";
  }

  std::filesystem::path FUserFile;
  std::optional<std::string> FSavedUserFile;
};

TEST(AuthIdentity, DomainAndUserSplitAtTheFirstBackslashElseTheFirstSlash) {
  TqmAuthIdentity Back("CORP\\alice", "pw");
  EXPECT_EQ(Back.Domain(), "CORP");
  EXPECT_EQ(Back.User(), "alice");
  EXPECT_EQ(Back.Password(), "pw");
  EXPECT_EQ(Back.PrincipalName(), "CORP\\alice");
  TqmAuthIdentity Slash("CORP/alice", "pw");
  EXPECT_EQ(Slash.Domain(), "CORP");
  EXPECT_EQ(Slash.PrincipalName(), "CORP\\alice");
  // The first backslash decides, even after a slash.
  TqmAuthIdentity Both("a/b\\c\\d", "pw");
  EXPECT_EQ(Both.Domain(), "a/b");
  EXPECT_EQ(Both.User(), "c\\d");
  TqmAuthIdentity Slashes("a/b/c", "");
  EXPECT_EQ(Slashes.Domain(), "a");
  EXPECT_EQ(Slashes.User(), "b/c");
  TqmAuthIdentity Plain("alice", "pw");
  EXPECT_EQ(Plain.Domain(), "");
  EXPECT_EQ(Plain.PrincipalName(), "alice");
  TqmAuthIdentity Leading("\\alice", "pw");
  EXPECT_EQ(Leading.Domain(), "");
  EXPECT_EQ(Leading.PrincipalName(), "alice");
}

TEST_F(NtlmClient, ExplicitIdentitiesAndDefaultCredentialsLogIn) {
  TqmAuthIdentity Back("QMUNIT\\alice", "Secret-1");
  EXPECT_EQ(Login(&Back), "QMUNIT\\alice");
  TqmAuthIdentity Slash("QMUNIT/alice", "Secret-1");
  EXPECT_EQ(Login(&Slash), "QMUNIT\\alice");
  // No domain: the acceptor takes the bare name.
  TqmAuthIdentity Bare("alice", "Secret-1");
  EXPECT_EQ(Login(&Bare), "alice");
  // No identity: the running user's credentials, from NTLM_USER_FILE.
  EXPECT_EQ(Login(nullptr), "QMUNIT\\alice");
  // The initiator cannot know the password is wrong; the acceptor refuses.
  TqmAuthIdentity Wrong("QMUNIT\\alice", "wrong");
  EXPECT_EQ(Login(&Wrong), "refused");
  TqmAuthIdentity OtherDomain("ELSEWHERE\\alice", "Secret-1");
  EXPECT_EQ(Login(&OtherDomain), "refused");
}

TEST_F(NtlmClient, AnEmptyStreamStartsTheExchangeOver) {
  TqmAuthIdentity Id("QMUNIT\\alice", "Secret-1");
  TqmNtlmClient Client;
  TMemoryStream Stream;
  ASSERT_FALSE(Client.GenerateNtlmToken(Stream, &Id, "smtp@localhost"));
  TAcceptor First;
  Stream.SetDataString(First.Step(StreamBytes(Stream)));
  ASSERT_TRUE(Client.GenerateNtlmToken(Stream, &Id, "smtp@localhost"));
  // Reused: nothing of the finished context is left over.
  Stream.Clear();
  ASSERT_FALSE(Client.GenerateNtlmToken(Stream, &Id, "smtp@localhost"));
  EXPECT_EQ(NtlmType(StreamBytes(Stream)), 1);
  TAcceptor Second;
  Stream.SetDataString(Second.Step(StreamBytes(Stream)));
  ASSERT_TRUE(Client.GenerateNtlmToken(Stream, &Id, "smtp@localhost"));
  Second.Step(StreamBytes(Stream));
  EXPECT_TRUE(Second.Complete);
}

TEST_F(NtlmClient, GssFailuresRaiseWithTheStatusAndItsText) {
  TqmAuthIdentity Id("QMUNIT\\alice", "Secret-1");
  TqmNtlmClient Client;
  TMemoryStream Stream;
  ASSERT_FALSE(Client.GenerateNtlmToken(Stream, &Id, "pop@localhost"));
  // A challenge that is no NTLMSSP message.
  Stream.SetDataString("this is not a challenge");
  try {
    Client.GenerateNtlmToken(Stream, &Id, "pop@localhost");
    ADD_FAILURE() << "a garbage challenge was accepted";
  } catch (const EqmSSPIError& E) {
    EXPECT_NE(E.ErrorCode(), 0);
    EXPECT_TRUE(GSS_ERROR(static_cast<OM_uint32>(E.ErrorCode())));
    EXPECT_NE(std::string(E.what()).find("gss_init_sec_context: "), std::string::npos) << E.what();
  }
  // No identity and no user file: no credentials to be had.
  unsetenv("NTLM_USER_FILE");
  Stream.Clear();
  try {
    Client.GenerateNtlmToken(Stream, nullptr, "pop@localhost");
    ADD_FAILURE() << "credentials came from nowhere";
  } catch (const EqmSSPIError& E) {
    EXPECT_TRUE(GSS_ERROR(static_cast<OM_uint32>(E.ErrorCode())));
    EXPECT_NE(std::string(E.what()).find("gss_acquire_cred: "), std::string::npos) << E.what();
  }
}

// The loop both clients run, with a server that answers in-process.
TEST_F(NtlmClient, ExchangeSendsIntermediateTokensWithTheContinuationCode) {
  TAcceptor Server;
  std::vector<std::pair<int, int>> Sent;  // (NTLMSSP type, ok code)
  auto Send = [&](const std::string& ALine, int AOkCode) {
    EXPECT_EQ(ALine.find_first_of("\r\n"), std::string::npos);
    const std::string Token = TqmEncoder::DecodeString(ALine, cmBase64);
    Sent.emplace_back(NtlmType(Token), AOkCode);
    const std::string Reply = Server.Step(Token);
    return Reply.empty() ? std::string("OK") : "334 " + TqmEncoder::EncodeString(Reply, cmBase64);
  };
  SaslNtlmExchange("QMUNIT/alice", "Secret-1", "smtp@127.0.0.1", {334, 235, 4}, Send);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{1, 334}, {3, 235}}));
  EXPECT_TRUE(Server.Complete);
  EXPECT_EQ(Server.Initiator(), "QMUNIT\\alice");

  // A continuation without a challenge would start the exchange over, for
  // ever if the server kept answering so.
  int Calls = 0;
  try {
    SaslNtlmExchange("QMUNIT\\alice", "Secret-1", "pop@127.0.0.1", {30, 10, 2},
                     [&](const std::string&, int) { return ++Calls < 5 ? std::string("+ ") : std::string("+ x"); });
    ADD_FAILURE() << "no challenge was accepted";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), qmNtlmEmptyChallengeCode);
    EXPECT_EQ(Calls, 1);
  }
}

}  // namespace
}  // namespace qm
