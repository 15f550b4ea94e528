#include "mail/qmNtlmClient.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>

#include <vector>

#include "net/qmTlsOpenSsl.h"

namespace qm {

namespace {

// The NTLMSSP mechanism, 1.3.6.1.4.1.311.2.2.10.
gss_OID_desc NtlmMechanism = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

// What the login asks of the context: delegation, mutual authentication,
// replay and sequence detection, confidentiality and integrity. (Memory
// allocation and connection orientation are how GSS-API always works.)
constexpr OM_uint32 NtlmContextFlags = GSS_C_DELEG_FLAG | GSS_C_MUTUAL_FLAG | GSS_C_REPLAY_FLAG |
                                       GSS_C_SEQUENCE_FLAG | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG;

// A name imported for one call.
struct TNameDeleter {
  void operator()(gss_name_struct* AName) const {
    OM_uint32 Minor = 0;
    gss_name_t Name = AName;
    gss_release_name(&Minor, &Name);
  }
};
using TGssName = std::unique_ptr<gss_name_struct, TNameDeleter>;

// A buffer GSS-API allocated (output tokens, status texts).
struct TGssBuffer {
  gss_buffer_desc Desc = GSS_C_EMPTY_BUFFER;
  TGssBuffer() = default;
  TGssBuffer(const TGssBuffer&) = delete;
  TGssBuffer& operator=(const TGssBuffer&) = delete;
  ~TGssBuffer() {
    OM_uint32 Minor = 0;
    gss_release_buffer(&Minor, &Desc);
  }
};

// The texts of one kind of status code, joined.
std::string StatusText(OM_uint32 AStatus, int AKind) {
  std::string Text;
  OM_uint32 MessageContext = 0;
  do {
    OM_uint32 Minor = 0;
    TGssBuffer Part;
    if (GSS_ERROR(gss_display_status(&Minor, AStatus, AKind, GSS_C_NO_OID, &MessageContext, &Part.Desc))) break;
    if (!Text.empty()) Text += "; ";
    Text.append(static_cast<const char*>(Part.Desc.value), Part.Desc.length);
  } while (MessageContext != 0);
  return Text;
}

[[noreturn]] void RaiseGssError(const char* AStep, OM_uint32 AMajor, OM_uint32 AMinor) {
  std::string Text = std::string(AStep) + ": " + StatusText(AMajor, GSS_C_GSS_CODE);
  if (AMinor != 0) Text += " (" + StatusText(AMinor, GSS_C_MECH_CODE) + ", minor status " + std::to_string(AMinor) + ")";
  throw EqmSSPIError(Text, static_cast<int>(AMajor));
}

TGssName ImportName(const std::string& AText, gss_OID AType) {
  gss_buffer_desc Text{AText.size(), const_cast<char*>(AText.data())};
  gss_name_t Name = GSS_C_NO_NAME;
  OM_uint32 Minor = 0;
  const OM_uint32 Major = gss_import_name(&Minor, &Text, AType, &Name);
  TGssName Owned(Name);
  if (GSS_ERROR(Major)) RaiseGssError("gss_import_name", Major, Minor);
  return Owned;
}

}  // namespace

TqmAuthIdentity::TqmAuthIdentity(const std::string& AUser, const std::string& APassword)
    : FPassword(APassword) {
  size_t Split = AUser.find('\\');
  if (Split == std::string::npos) Split = AUser.find('/');
  if (Split == std::string::npos) {
    FUser = AUser;
  } else {
    FDomain = AUser.substr(0, Split);
    FUser = AUser.substr(Split + 1);
  }
}

std::string TqmAuthIdentity::PrincipalName() const { return FDomain.empty() ? FUser : FDomain + "\\" + FUser; }

void TqmNtlmClient::TCredentialsDeleter::operator()(gss_cred_id_struct* ACredentials) const {
  OM_uint32 Minor = 0;
  gss_cred_id_t Credentials = ACredentials;
  gss_release_cred(&Minor, &Credentials);
}

void TqmNtlmClient::TContextDeleter::operator()(gss_ctx_id_struct* AContext) const {
  OM_uint32 Minor = 0;
  gss_ctx_id_t Context = AContext;
  gss_delete_sec_context(&Minor, &Context, GSS_C_NO_BUFFER);
}

TqmNtlmClient::TqmNtlmClient() = default;

TqmNtlmClient::~TqmNtlmClient() = default;

void TqmNtlmClient::ReleaseHandles() {
  FContext.reset();
  FCredentials.reset();
}

void TqmNtlmClient::AcquireCredentials(const TqmAuthIdentity* AIdentity) {
  gss_OID_set_desc Mechanisms{1, &NtlmMechanism};
  gss_cred_id_t Credentials = GSS_C_NO_CREDENTIAL;
  OM_uint32 Minor = 0, Major;
  if (AIdentity) {
    TGssName User = ImportName(AIdentity->PrincipalName(), GSS_C_NT_USER_NAME);
    gss_buffer_desc Password{AIdentity->Password().size(), const_cast<char*>(AIdentity->Password().data())};
    Major = gss_acquire_cred_with_password(&Minor, User.get(), &Password, GSS_C_INDEFINITE, &Mechanisms,
                                           GSS_C_INITIATE, &Credentials, nullptr, nullptr);
  } else {
    Major = gss_acquire_cred(&Minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &Mechanisms, GSS_C_INITIATE, &Credentials,
                             nullptr, nullptr);
  }
  FCredentials.reset(Credentials);
  if (GSS_ERROR(Major)) RaiseGssError("gss_acquire_cred", Major, Minor);
}

bool TqmNtlmClient::GenerateNtlmToken(TStream& AStream, const TqmAuthIdentity* AIdentity,
                                      const std::string& ATarget) {
  std::vector<uint8_t> Input(static_cast<size_t>(AStream.Remaining()));
  if (!Input.empty()) AStream.ReadBuffer(Input.data(), static_cast<int64_t>(Input.size()));
  if (Input.empty()) {
    ReleaseHandles();
    AcquireCredentials(AIdentity);
  }
  const TGssName Target = ImportName(ATarget, GSS_C_NT_HOSTBASED_SERVICE);
  gss_buffer_desc InputToken{Input.size(), Input.data()};
  TGssBuffer Output;
  gss_ctx_id_t Context = FContext.release();
  OM_uint32 Minor = 0;
  const OM_uint32 Major = gss_init_sec_context(
      &Minor, FCredentials.get(), &Context, Target.get(), &NtlmMechanism, NtlmContextFlags, GSS_C_INDEFINITE,
      GSS_C_NO_CHANNEL_BINDINGS, Input.empty() ? GSS_C_NO_BUFFER : &InputToken, nullptr, &Output.Desc, nullptr,
      nullptr);
  // Whatever came back is ours to delete, also after a failure.
  FContext.reset(Context);
  // Only the two plain outcomes count; anything else, supplementary status
  // bits included, ends the exchange.
  if (Major != GSS_S_COMPLETE && Major != GSS_S_CONTINUE_NEEDED)
    RaiseGssError("gss_init_sec_context", Major, Minor);
  // The stream never keeps the input: sending the peer's challenge back as
  // a final token would be nonsense.
  AStream.SetSize(0);
  AStream.SetPosition(0);
  if (Output.Desc.length > 0) {
    AStream.WriteBuffer(Output.Desc.value, static_cast<int64_t>(Output.Desc.length));
    AStream.SetPosition(0);
  }
  return Major == GSS_S_COMPLETE;
}

}  // namespace qm
