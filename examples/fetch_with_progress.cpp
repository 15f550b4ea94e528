// Lists a POP3 mailbox (number, size, unique id) and downloads every
// message into files named after their unique ids, showing progress.
//
//   QM_PASSWORD=secret fetch_with_progress pop.example.org 995 me OUTDIR
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "mail/qmPop3.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: fetch_with_progress SERVER PORT USER OUTDIR  (password in QM_PASSWORD)\n";
    return 2;
  }
  const char* Password = std::getenv("QM_PASSWORD");
  qm::TqmPop3 Pop3;
  Pop3.SetServer(argv[1]);
  Pop3.SetPort(std::atoi(argv[2]));
  Pop3.SetUseTLS(qm::ctImplicit);
  // A private CA for this client, when QM_CA_FILE names one; else the
  // system's trust store.
  if (const char* Ca = std::getenv("QM_CA_FILE")) Pop3.SetCaFile(Ca);
  Pop3.SetUserName(argv[3]);
  Pop3.SetPassword(Password ? Password : "");
  // With OnProgress assigned, Retrieve asks for the message's size first
  // (LIST n), so the total is known while the message arrives.
  Pop3.OnProgress = [](qm::TObject*, int64_t ADone, int64_t ATotal) {
    std::cerr << "\r  " << ADone << " of " << ATotal << " bytes" << (ADone == ATotal ? "\n" : "") << std::flush;
  };

  try {
    Pop3.Open();
    // Message numbers start at 1. A unique id stays the same across
    // sessions: remember the ids to fetch only new messages next time.
    for (const auto& Id : Pop3.Uidl()) {
      std::cout << Id.MessageNumber << ' ' << Pop3.GetMessageSize(Id.MessageNumber) << ' ' << Id.UniqueId << '\n';
      Pop3.Retrieve(Id.MessageNumber);
      // Response() holds the message's lines, dot-stuffing undone.
      std::ofstream Out(std::string(argv[4]) + "/" + Id.UniqueId + ".eml", std::ios::binary);
      for (int I = 0; I < Pop3.Response().Count(); ++I) Out << Pop3.Response().Get(I) << "\r\n";
      if (!Out) {
        std::cerr << "cannot write into " << argv[4] << '\n';
        return 1;
      }
    }
    // Pop3.Dele(n) here would delete message n when the session ends
    // with QUIT (Close); Rset() takes the deletions back before that.
    Pop3.Close();
  } catch (const qm::Exception& E) {
    std::cerr << "fetching failed: " << E.Message() << '\n';
    return 1;
  }
  return 0;
}
