// Sends a message with a text body and an attached file through an SMTP
// server, over STARTTLS, logging in with a user name and password.
//
//   QM_PASSWORD=secret send_attachment smtp.example.org 587 me
//       me@example.org you@example.org report.pdf   (one line)
#include <cstdlib>
#include <iostream>

#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "usage: send_attachment SERVER PORT USER FROM TO FILE  (password in QM_PASSWORD)\n";
    return 2;
  }
  const char* Password = std::getenv("QM_PASSWORD");

  qm::TqmMailMessage Message;
  Message.SetCharSet("utf-8");
  // BuildMessage starts a new message: set the subject and the addresses
  // after it, not before. The attachment is read when the message is
  // rendered (by Send), not here.
  Message.BuildMessage("Hello,\nthe report is attached.\n", "", {argv[6]}, {});
  Message.SetSubject("The report");
  Message.From().SetFullAddress(argv[4]);
  Message.ToList().AddAddress(argv[5]);

  qm::TqmSmtp Smtp;
  Smtp.SetServer(argv[1]);
  Smtp.SetPort(std::atoi(argv[2]));
  // STARTTLS after the greeting, before the login; the server's certificate
  // is checked against the system's trust store and the host name.
  Smtp.SetUseTLS(qm::ctExplicit);
  // A private CA for this client, when QM_CA_FILE names one; else the
  // system's trust store.
  if (const char* Ca = std::getenv("QM_CA_FILE")) Smtp.SetCaFile(Ca);
  Smtp.SetUserName(argv[3]);
  Smtp.SetPassword(Password ? Password : "");
  Smtp.SetTimeOut(30000);  // milliseconds

  try {
    Smtp.Open();          // connect, EHLO, STARTTLS, EHLO, AUTH
    Smtp.Send(&Message);  // MAIL FROM, RCPT TO for To, Cc and Bcc, DATA
    Smtp.Close();         // QUIT
  } catch (const qm::Exception& E) {
    // A refused command carries the server's reply, e.g. "535 5.7.8 ...".
    std::cerr << "sending failed: " << E.Message() << '\n';
    return 1;
  }
  std::cout << "sent\n";
  return 0;
}
