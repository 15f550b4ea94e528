// Logs in to a POP3 server with an OAuth 2 access token (XOAUTH2) and
// prints how many messages the mailbox holds.
//
//   QM_TOKEN=ya29.a0... oauth2_login pop.example.org 995 me@example.org
#include <cstdlib>
#include <iostream>

#include "mail/qmPop3.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: oauth2_login SERVER PORT USER  (access token in QM_TOKEN)\n";
    return 2;
  }
  const char* Token = std::getenv("QM_TOKEN");
  if (!Token) {
    std::cerr << "QM_TOKEN is not set\n";
    return 2;
  }

  qm::TqmPop3 Pop3;
  Pop3.SetServer(argv[1]);
  Pop3.SetPort(std::atoi(argv[2]));
  Pop3.SetUseTLS(qm::ctImplicit);
  // A private CA for this client, when QM_CA_FILE names one; else the
  // system's trust store.
  if (const char* Ca = std::getenv("QM_CA_FILE")) Pop3.SetCaFile(Ca);
  Pop3.SetUserName(argv[3]);
  // Authorization is placed after "auth=" as it is: it must hold the whole
  // value, scheme included. Setting it switches the login to SASL XOAUTH2;
  // no password is needed.
  Pop3.SetAuthorization(std::string("Bearer ") + Token);

  try {
    Pop3.Open();
    std::cout << Pop3.MessageCount() << " messages, " << Pop3.MailBoxSize() << " bytes\n";
    Pop3.Close();
  } catch (const qm::Exception& E) {
    std::cerr << "login failed: " << E.Message() << '\n';
    return 1;
  }
  return 0;
}
