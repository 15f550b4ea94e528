// Where qm fetch and qm imap fetch put the messages they receive: a maildir,
// an mbox file or stdout, each message written as it arrives (never held
// whole), in the form messages are stored on this machine.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/qmStream.h"
#include "qm/qmCliSession.h"

namespace qm::cli {

// TFailure "writing APATH: <the reason of errno>".
[[noreturn]] void FailWriting(const std::string& APath);
void WriteAll(int AFd, std::string_view AData, const std::string& APath);

// A file descriptor closed on every way out.
class TFile {
 public:
  TFile(const std::string& APath, int AFlags, mode_t AMode = 0600);
  ~TFile();
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  int Fd() const { return FFd; }
  void Write(std::string_view AData) { WriteAll(FFd, AData, FPath); }
  // Written through to the disk before the server may delete its copy.
  void Sync();
  void Close();

 private:
  std::string FPath;
  int FFd = -1;
};

// Messages go into a maildir (tmp, then new: readers never see half a
// message), an mbox file (under flock for the whole run) or stdout, as
// stored here: one LF after every line (a CR LF, CR or LF of the server's),
// NUL as a space, mboxrd quoting in an mbox. Store receives the message
// through AFetch into its place and keeps it for good before returning
// true; a fetch that fails (raises) or returns false (no such message)
// leaves nothing in a maildir or mbox.
class TDestination {
 public:
  virtual ~TDestination() = default;
  using TFetch = std::function<bool(TStream&)>;
  virtual bool Store(const TFetch& AFetch) = 0;
  virtual std::string Describe() const = 0;
};

// The maildir when AMaildir is given, else the mbox when AMbox is, else
// stdout.
std::unique_ptr<TDestination> MakeDestination(const std::string& AMaildir, const std::string& AMbox);

}  // namespace qm::cli
