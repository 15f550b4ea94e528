#include "core/qmStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/qmException.h"

namespace qm {

int64_t TStream::Size() {
  int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
  int64_t End = Seek(0, TSeekOrigin::soEnd);
  Seek(Pos, TSeekOrigin::soBeginning);
  return End;
}

int64_t TStream::Remaining() {
  int64_t Rest = Size() - Position();
  return Rest > 0 ? Rest : 0;
}

void TStream::ReadBuffer(void* ABuffer, int64_t ACount) {
  auto* P = static_cast<uint8_t*>(ABuffer);
  while (ACount > 0) {
    int64_t N = Read(P, ACount);
    if (N <= 0) throw EReadError("Stream read error");
    P += N;
    ACount -= N;
  }
}

void TStream::WriteBuffer(const void* ABuffer, int64_t ACount) {
  const auto* P = static_cast<const uint8_t*>(ABuffer);
  while (ACount > 0) {
    int64_t N = Write(P, ACount);
    if (N <= 0) throw EWriteError("Stream write error");
    P += N;
    ACount -= N;
  }
}

int64_t TStream::CopyFrom(TStream& ASource, int64_t ACount) {
  if (ACount == 0) {
    ASource.SetPosition(0);
    ACount = ASource.Size();
  }
  const int64_t Total = ACount;
  uint8_t Buffer[65536];
  while (ACount > 0) {
    int64_t N = std::min<int64_t>(ACount, sizeof Buffer);
    ASource.ReadBuffer(Buffer, N);
    WriteBuffer(Buffer, N);
    ACount -= N;
  }
  return Total;
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* ABuffer, int64_t ACount) {
  const int64_t Size = static_cast<int64_t>(FData.size());
  if (ACount <= 0 || FPosition >= Size) return 0;
  int64_t N = std::min(ACount, Size - FPosition);
  std::memcpy(ABuffer, FData.data() + FPosition, static_cast<size_t>(N));
  FPosition += N;
  return N;
}

int64_t TMemoryStream::Write(const void* ABuffer, int64_t ACount) {
  if (ACount <= 0) return 0;
  const size_t End = static_cast<size_t>(FPosition + ACount);
  if (End > FData.size()) {
    // A position past the end leaves a gap that reads as zero.
    if (static_cast<size_t>(FPosition) > FData.size()) Grow(static_cast<size_t>(FPosition));
    if (End > FData.capacity()) FData.reserve(std::max(End, FData.capacity() * 2));
    FData.resize(End);
  }
  std::memcpy(FData.data() + FPosition, ABuffer, static_cast<size_t>(ACount));
  FPosition += ACount;
  return ACount;
}

int64_t TMemoryStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
  int64_t Base = 0;
  switch (AOrigin) {
    case TSeekOrigin::soBeginning: Base = 0; break;
    case TSeekOrigin::soCurrent: Base = FPosition; break;
    case TSeekOrigin::soEnd: Base = static_cast<int64_t>(FData.size()); break;
  }
  int64_t P = Base + AOffset;
  if (P < 0) throw EStreamError("Invalid stream position");
  FPosition = P;
  return FPosition;
}

void TMemoryStream::SetSize(int64_t ASize) {
  if (ASize < 0) throw EStreamError("Invalid stream size");
  Grow(static_cast<size_t>(ASize));
  FData.resize(static_cast<size_t>(ASize));
  if (FPosition > ASize) FPosition = ASize;
}

std::optional<std::span<const uint8_t>> TMemoryStream::ReadView() {
  const auto Pos = std::min(static_cast<size_t>(std::max<int64_t>(FPosition, 0)), FData.size());
  return std::span<const uint8_t>(FData.data() + Pos, FData.size() - Pos);
}

uint8_t* TMemoryStream::BeginWrite(int64_t AMaxCount) {
  FSizeBeforeWrite = FData.size();
  const auto Pos = static_cast<size_t>(FPosition);
  if (Pos > FData.size()) Grow(Pos);
  const size_t End = Pos + static_cast<size_t>(std::max<int64_t>(AMaxCount, 0));
  if (End > FData.size()) {
    if (End > FData.capacity()) FData.reserve(std::max(End, FData.capacity() * 2));
    FData.resize(End);
  }
  // An empty vector may have no block at all; callers take nullptr as
  // "cannot write in place".
  if (FData.capacity() == 0) FData.reserve(16);
  return FData.data() + Pos;
}

void TMemoryStream::EndWrite(int64_t AWritten) {
  if (AWritten <= 0) {
    FData.resize(FSizeBeforeWrite);
    return;
  }
  FPosition += AWritten;
  FData.resize(std::max(FSizeBeforeWrite, static_cast<size_t>(FPosition)));
}

void TMemoryStream::Grow(size_t ASize) {
  const size_t Old = FData.size();
  if (ASize <= Old) return;
  FData.resize(ASize);
  std::memset(FData.data() + Old, 0, ASize - Old);
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& AStream) {
  AStream.SetPosition(0);
  int64_t N = AStream.Size();
  FData.resize(static_cast<size_t>(N));
  if (N > 0) AStream.ReadBuffer(FData.data(), N);
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& AFileName) {
  TFileStream F(AFileName, fmOpenRead);
  LoadFromStream(F);
}

void TMemoryStream::SaveToStream(TStream& AStream) {
  if (!FData.empty()) AStream.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

void TMemoryStream::SaveToFile(const std::string& AFileName) {
  TFileStream F(AFileName, fmCreate);
  SaveToStream(F);
}

void TMemoryStream::SetBytes(const TqmByteArray& AData) {
  FData.assign(AData.begin(), AData.end());
  FPosition = 0;
}

void TMemoryStream::SetDataString(const std::string& AData) {
  FData.assign(AData.begin(), AData.end());
  FPosition = 0;
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& AFileName, unsigned AMode) : FFileName(AFileName) {
  if ((AMode & fmCreate) == fmCreate) {
    FHandle = ::open(AFileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0)
      throw EFCreateError("Cannot create file \"" + AFileName + "\". " + std::strerror(errno));
    return;
  }
  int Flags = O_RDONLY;
  switch (AMode & 3) {
    case fmOpenWrite: Flags = O_WRONLY; break;
    case fmOpenReadWrite: Flags = O_RDWR; break;
    default: Flags = O_RDONLY; break;
  }
  FHandle = ::open(AFileName.c_str(), Flags | O_CLOEXEC);
  if (FHandle < 0)
    throw EFOpenError("Cannot open file \"" + AFileName + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* ABuffer, int64_t ACount) {
  if (ACount <= 0) return 0;
  ssize_t N;
  do {
    N = ::read(FHandle, ABuffer, static_cast<size_t>(ACount));
  } while (N < 0 && errno == EINTR);
  if (N < 0) throw EReadError(std::string("Stream read error: ") + std::strerror(errno));
  return N;
}

int64_t TFileStream::Write(const void* ABuffer, int64_t ACount) {
  if (ACount <= 0) return 0;
  ssize_t N;
  do {
    N = ::write(FHandle, ABuffer, static_cast<size_t>(ACount));
  } while (N < 0 && errno == EINTR);
  if (N < 0) throw EWriteError(std::string("Stream write error: ") + std::strerror(errno));
  return N;
}

int64_t TFileStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
  int Whence = AOrigin == TSeekOrigin::soBeginning ? SEEK_SET
               : AOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                   : SEEK_END;
  off_t P = ::lseek(FHandle, AOffset, Whence);
  if (P < 0) throw EStreamError(std::string("Invalid stream position: ") + std::strerror(errno));
  return P;
}

void TFileStream::SetSize(int64_t ASize) {
  if (::ftruncate(FHandle, ASize) != 0)
    throw EStreamError(std::string("Cannot set file size: ") + std::strerror(errno));
  if (Position() > ASize) SetPosition(ASize);
}

}  // namespace qm
