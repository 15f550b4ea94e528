// NTLM login through GSS-API with the NTLMSSP mechanism (the gss-ntlmssp
// plug-in of MIT's GSS-API library): the identity a login uses and the
// client side of one exchange, one token at a time. No I/O here: the POP3
// and SMTP clients carry the tokens in their command exchanges.
#pragma once

#include <memory>
#include <string>

#include "core/qmStream.h"

// GSS-API's handle types, so that this header does not need its headers.
struct gss_cred_id_struct;
struct gss_ctx_id_struct;

namespace qm {

/// An explicit identity made from a user text and a password. "DOMAIN\user"
/// splits at the first backslash; without one, "DOMAIN/user" splits at the
/// first slash; a text with neither is a user name with no domain.
class TqmAuthIdentity {
 public:
  /// Splits AUser as above.
  TqmAuthIdentity(const std::string& AUser, const std::string& APassword);

  /// The user name without the domain.
  const std::string& User() const { return FUser; }
  /// The domain; empty when AUser named none.
  const std::string& Domain() const { return FDomain; }
  /// The password.
  const std::string& Password() const { return FPassword; }
  /// The user name GSS-API is given: "DOMAIN\user", or the user alone.
  std::string PrincipalName() const;

 private:
  std::string FUser, FDomain, FPassword;
};

/// The client side of an NTLM exchange. It owns one credential and one
/// security context; both are released before a new exchange and with the
/// client.
class TqmNtlmClient {
 public:
  TqmNtlmClient();
  ~TqmNtlmClient();
  TqmNtlmClient(const TqmNtlmClient&) = delete;
  TqmNtlmClient& operator=(const TqmNtlmClient&) = delete;

  /// One step. The input token is AStream's bytes from its position to its
  /// end. With none, a new exchange starts: credentials are acquired for
  /// AIdentity or, without one, the running user's default NTLM credentials
  /// (gss-ntlmssp reads them from the file named by NTLM_USER_FILE, or asks
  /// winbind). ATarget is the acceptor as "service@host".
  /// Afterwards AStream holds the token to send (empty when there is none),
  /// at position 0. Returns true when the context is complete (the token, if
  /// any, is the last one), false when the peer's answer is needed.
  /// Raises EqmSSPIError with the GSS major status as ErrorCode and the texts
  /// of the major and minor status as message.
  bool GenerateNtlmToken(TStream& AStream, const TqmAuthIdentity* AIdentity, const std::string& ATarget);

  /// Deletes the context and frees the credentials.
  void ReleaseHandles();

 private:
  void AcquireCredentials(const TqmAuthIdentity* AIdentity);

  struct TCredentialsDeleter {
    void operator()(gss_cred_id_struct* ACredentials) const;
  };
  struct TContextDeleter {
    void operator()(gss_ctx_id_struct* AContext) const;
  };
  std::unique_ptr<gss_cred_id_struct, TCredentialsDeleter> FCredentials;
  std::unique_ptr<gss_ctx_id_struct, TContextDeleter> FContext;
};

}  // namespace qm
