// Downloads one message and cancels the download from another thread when
// it takes longer than a given time, as a GUI's Cancel button would.
//
//   QM_PASSWORD=secret cancel_transfer pop.example.org 995 me 1 5
//   (message 1, give up after 5 seconds; an optional sixth argument
//   limits the speed in bits per second, to watch it happen)
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "mail/qmPop3.h"
#include "net/qmSocketError.h"

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::cerr << "usage: cancel_transfer SERVER PORT USER MESSAGE SECONDS [BITS_PER_SECOND]\n";
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
  if (argc == 7) Pop3.SetBitsPerSec(std::atoi(argv[6]));

  std::mutex Lock;
  std::condition_variable Finished;
  bool Done = false;
  // The watchdog: Cancel is the one member that may be called from
  // another thread while the client works. It only raises a flag and wakes
  // the client's wait; the working thread gets the exception.
  std::thread Watchdog([&] {
    std::unique_lock<std::mutex> Guard(Lock);
    if (!Finished.wait_for(Guard, std::chrono::seconds(std::atoi(argv[5])), [&] { return Done; })) Pop3.Cancel();
  });

  int Status = 0;
  try {
    Pop3.Open();
    Pop3.Retrieve(std::atoi(argv[4]));
    std::cout << "received " << Pop3.Response().Count() << " lines\n";
    Pop3.Close();
  } catch (const qm::EqmSocketError& E) {
    // A cancelled operation raises ECONNABORTED and leaves the connection
    // closed (no QUIT is sent); open again to go on.
    std::cerr << (E.ErrorCode() == ECONNABORTED ? "cancelled: " : "failed: ") << E.Message() << '\n';
    Status = 1;
  } catch (const qm::Exception& E) {
    std::cerr << "failed: " << E.Message() << '\n';
    Status = 1;
  }
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Done = true;
  }
  Finished.notify_one();
  Watchdog.join();
  return Status;
}
