#include "message/qmMboxReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/qmException.h"
#include "message/qmMailMessage.h"

namespace qm {

namespace {

constexpr std::string_view kFrom = "From ";

bool StartsWith(std::string_view AData, size_t APos, std::string_view APrefix) {
  return AData.size() - APos >= APrefix.size() && AData.compare(APos, APrefix.size(), APrefix) == 0;
}

// Whether the line at APos is a quoted "From " line that reading undoes.
bool IsQuotedLine(std::string_view AData, size_t APos, TqmMboxQuoting AQuoting) {
  if (AQuoting == mqNone || APos >= AData.size() || AData[APos] != '>') return false;
  size_t P = APos + 1;
  if (AQuoting == mqMboxrd)
    while (P < AData.size() && AData[P] == '>') ++P;
  return StartsWith(AData, P, kFrom);
}

bool EqualsNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    const auto X = static_cast<unsigned char>(A[I]), Y = static_cast<unsigned char>(B[I]);
    if ((X | 0x20) != (Y | 0x20)) return false;
  }
  return true;
}

}  // namespace

TqmMboxReader::~TqmMboxReader() { Close(); }

void TqmMboxReader::Close() {
  if (FMapped) munmap(FMapped, FMappedSize);
  FMapped = nullptr;
  FMappedSize = 0;
  FOwned.clear();
  FOwned.shrink_to_fit();
  FUnquoted.clear();
  FData = {};
  Rewind();
}

void TqmMboxReader::Open(const std::string& AFileName) {
  Close();
  const int Fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) throw EFOpenError("Cannot open file \"" + AFileName + "\". " + std::strerror(errno));
  struct stat St {};
  if (fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) && St.st_size > 0) {
    void* Map = mmap(nullptr, static_cast<size_t>(St.st_size), PROT_READ, MAP_PRIVATE, Fd, 0);
    if (Map != MAP_FAILED) {
      madvise(Map, static_cast<size_t>(St.st_size), MADV_SEQUENTIAL);
      FMapped = Map;
      FMappedSize = static_cast<size_t>(St.st_size);
      FData = std::string_view(static_cast<const char*>(Map), FMappedSize);
      ::close(Fd);
      return;
    }
  }
  // Not a regular file (a pipe, a terminal) or not mappable: read it all.
  char Buffer[65536];
  for (;;) {
    const ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
    if (Got == 0) break;
    if (Got < 0) {
      if (errno == EINTR) continue;
      const int Error = errno;
      ::close(Fd);
      FOwned.clear();
      throw EFOpenError("Cannot read file \"" + AFileName + "\". " + std::strerror(Error));
    }
    FOwned.append(Buffer, static_cast<size_t>(Got));
  }
  ::close(Fd);
  FData = FOwned;
}

void TqmMboxReader::SetData(std::string_view AData) {
  Close();
  FData = AData;
}

void TqmMboxReader::Rewind() {
  FPosition = 0;
  FIndex = 0;
  FSkipped = 0;
}

bool TqmMboxReader::IsSeparatorAt(size_t APos) const {
  return (APos == 0 || FData[APos - 1] == '\n') && StartsWith(FData, APos, kFrom);
}

// The end of the message whose header starts at AStart, by its
// Content-Length field, when that length ends at the next separator or at
// the end of the data (after at most one empty line); npos otherwise.
size_t TqmMboxReader::ContentLengthEnd(size_t AStart) const {
  const size_t Size = FData.size();
  size_t Length = std::string_view::npos;
  size_t P = AStart;
  size_t BodyStart = std::string_view::npos;
  while (P < Size) {
    size_t E = FData.find('\n', P);
    if (E == std::string_view::npos) return std::string_view::npos;  // no body at all
    std::string_view Line = FData.substr(P, E - P);
    if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
    if (Line.empty()) {
      BodyStart = E + 1;
      break;
    }
    const size_t Colon = Line.find(':');
    if (Colon != std::string_view::npos && EqualsNoCase(Line.substr(0, Colon), "Content-Length")) {
      std::string_view V = Line.substr(Colon + 1);
      while (!V.empty() && (V.front() == ' ' || V.front() == '\t')) V.remove_prefix(1);
      while (!V.empty() && (V.back() == ' ' || V.back() == '\t')) V.remove_suffix(1);
      size_t N = 0;
      bool Ok = !V.empty() && V.size() <= 15;
      for (const char C : V) {
        if (C < '0' || C > '9') {
          Ok = false;
          break;
        }
        N = N * 10 + static_cast<size_t>(C - '0');
      }
      Length = Ok ? N : std::string_view::npos;
    }
    P = E + 1;
  }
  if (Length == std::string_view::npos || BodyStart == std::string_view::npos) return std::string_view::npos;
  if (Length > Size - BodyStart) return std::string_view::npos;
  const size_t End = BodyStart + Length;
  if (End == Size || IsSeparatorAt(End)) return End;
  // One empty line between the body and the next separator (or the end).
  for (const std::string_view Blank : {std::string_view("\n"), std::string_view("\r\n")}) {
    if (!StartsWith(FData, End, Blank)) continue;
    const size_t After = End + Blank.size();
    if (After == Size || IsSeparatorAt(After)) return End;
  }
  return std::string_view::npos;
}

bool TqmMboxReader::Next(TqmMboxMessage& AMessage) {
  const size_t Size = FData.size();
  if (FIndex == 0 && FPosition == 0) {
    // Text before the first separator belongs to no message.
    if (!StartsWith(FData, 0, kFrom)) {
      const size_t First = FData.find("\nFrom ");
      FPosition = First == std::string_view::npos ? Size : First + 1;
    }
    FSkipped = static_cast<int64_t>(FPosition);
  }
  if (FPosition >= Size) return false;

  const size_t Start = FPosition;
  size_t LineEnd = FData.find('\n', Start);
  const size_t HeaderStart = LineEnd == std::string_view::npos ? Size : LineEnd + 1;
  if (LineEnd == std::string_view::npos) LineEnd = Size;
  std::string_view Separator = FData.substr(Start, LineEnd - Start);
  if (!Separator.empty() && Separator.back() == '\r') Separator.remove_suffix(1);

  // The message ends where the next line starting with "From " begins; on
  // the way, note whether any line is quoted.
  size_t End = std::string_view::npos;
  size_t Next = Size;
  bool ByLength = false;
  if (FUseContentLength) {
    End = ContentLengthEnd(HeaderStart);
    if (End != std::string_view::npos) {
      ByLength = true;
      Next = End;
      while (Next < Size && !IsSeparatorAt(Next)) ++Next;  // the one empty line at most
    }
  }
  bool Quoted = false;
  const size_t ScanEnd = ByLength ? End : Size;
  for (size_t P = HeaderStart; P < ScanEnd;) {
    if (!ByLength && StartsWith(FData, P, kFrom)) {
      Next = P;
      End = P;
      break;
    }
    if (!Quoted && IsQuotedLine(FData, P, FQuoting)) Quoted = true;
    const void* Nl = std::memchr(FData.data() + P, '\n', ScanEnd - P);
    if (!Nl) break;
    P = static_cast<size_t>(static_cast<const char*>(Nl) - FData.data()) + 1;
  }
  if (End == std::string_view::npos) End = Size;

  std::string_view Text = FData.substr(HeaderStart, End - HeaderStart);
  if (!ByLength) {
    // The empty line that the writer put before the next separator.
    if (Text.ends_with("\r\n\r\n")) Text.remove_suffix(2);
    else if (Text.ends_with("\n\n")) Text.remove_suffix(1);
  }

  AMessage.Separator = Separator;
  AMessage.Text = Text;
  AMessage.Offset = static_cast<int64_t>(Start);
  AMessage.Index = FIndex++;
  AMessage.Quoted = Quoted;
  AMessage.ByContentLength = ByLength;
  FPosition = Next;
  return true;
}

std::string_view TqmMboxReader::Unquoted(const TqmMboxMessage& AMessage) {
  if (!AMessage.Quoted || FQuoting == mqNone) return AMessage.Text;
  const std::string_view Text = AMessage.Text;
  FUnquoted.clear();
  FUnquoted.reserve(Text.size());
  for (size_t P = 0; P < Text.size();) {
    size_t E = Text.find('\n', P);
    E = E == std::string_view::npos ? Text.size() : E + 1;
    const size_t From = IsQuotedLine(Text, P, FQuoting) ? P + 1 : P;
    FUnquoted.append(Text.data() + From, E - From);
    P = E;
  }
  return FUnquoted;
}

void TqmMboxReader::Parse(const TqmMboxMessage& AMessage, TqmMailMessage& ATarget) {
  ATarget.ParseMessage(Unquoted(AMessage));
}

}  // namespace qm
