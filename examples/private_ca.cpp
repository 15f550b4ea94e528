// Connects with TLS to a server whose certificate comes from a private
// certificate authority. Trust belongs to the client: CaFile (or CaPath)
// replaces the system's trust store for this client alone; other clients
// of the process keep theirs.
//
//   private_ca ca.pem pop.internal.example 995 me   (password in QM_PASSWORD)
#include <cstdlib>
#include <iostream>

#include "mail/qmPop3.h"
#include "net/qmCertificate.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: private_ca CA_FILE SERVER PORT USER  (password in QM_PASSWORD)\n";
    return 2;
  }
  const char* Password = std::getenv("QM_PASSWORD");

  qm::TqmPop3 Pop3;
  Pop3.SetServer(argv[2]);
  Pop3.SetPort(std::atoi(argv[3]));
  Pop3.SetUseTLS(qm::ctImplicit);
  Pop3.SetCaFile(argv[1]);
  Pop3.SetUserName(argv[4]);
  Pop3.SetPassword(Password ? Password : "");
  // Called once per session with OpenSSL's verdict; AVerified could be
  // changed here (pinning a certificate, say). Here it only reports.
  Pop3.OnVerifyServer = [](qm::TObject*, qm::TqmCertificate* ACertificate, const std::string& AStatusText,
                           int AStatusCode, bool& AVerified) {
    std::cout << "certificate of " << (ACertificate ? ACertificate->IssuedTo() : "?") << " issued by "
              << (ACertificate ? ACertificate->IssuedBy() : "?") << ": "
              << (AVerified ? "trusted" : "not trusted (" + std::to_string(AStatusCode) + " " + AStatusText + ")")
              << '\n';
  };

  try {
    Pop3.Open();
    std::cout << Pop3.MessageCount() << " messages\n";
    Pop3.Close();
  } catch (const qm::Exception& E) {
    std::cerr << "failed: " << E.Message() << '\n';
    return 1;
  }
  return 0;
}
