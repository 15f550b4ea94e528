// Byte streams with a size and a position.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/qmComponent.h"

namespace qm {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
 public:
  // Moves up to ACount bytes; returns how many moved (0 at the end).
  virtual int64_t Read(void* ABuffer, int64_t ACount) = 0;
  virtual int64_t Write(const void* ABuffer, int64_t ACount) = 0;
  // Returns the new position. A position past the end is allowed; reading
  // there gives nothing and writing there extends the stream.
  virtual int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t APosition) { Seek(APosition, TSeekOrigin::soBeginning); }
  virtual int64_t Size();
  virtual void SetSize(int64_t ASize) = 0;
  // Bytes from the position to the end (0 when the position is past it).
  int64_t Remaining();

  // Exact transfers: raise EReadError/EWriteError when fewer bytes move.
  void ReadBuffer(void* ABuffer, int64_t ACount);
  void WriteBuffer(const void* ABuffer, int64_t ACount);
  // Copies ACount bytes from ASource's position (ACount 0: all of ASource
  // from its start). Returns the number of bytes copied.
  int64_t CopyFrom(TStream& ASource, int64_t ACount);

  // In-place access, offered by streams that keep their bytes in one block
  // of memory (memory streams), so that codecs and parsers can work on the
  // block instead of testing the stream's type. Streams without one answer
  // "no" and are read and written through Read and Write.
  //
  // ReadView: the bytes from the position to the end, valid until the next
  // write or resize; reading them does not move the position (Seek past
  // what was used).
  virtual std::optional<std::span<const uint8_t>> ReadView() { return std::nullopt; }
  // BeginWrite: room for up to AMaxCount bytes at the position, or nullptr
  // when the stream cannot write in place. EndWrite(n) keeps the first n
  // bytes of the room as written (as Write would) and gives the rest back;
  // nothing else may touch the stream in between.
  virtual uint8_t* BeginWrite(int64_t /*AMaxCount*/) { return nullptr; }
  virtual void EndWrite(int64_t /*AWritten*/) {}
  // A hint that about ACapacity bytes in all will be written.
  virtual void Reserve(int64_t /*ACapacity*/) {}
};

// Allocator that leaves new elements uninitialised: a memory stream that
// grows is about to be written over, so zero-filling it first is wasted work.
template <typename T>
struct TDefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = TDefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
  template <typename U>
  void construct(U* P) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(P)) U;
  }
  template <typename U, typename... Args>
  void construct(U* P, Args&&... AArgs) {
    ::new (static_cast<void*>(P)) U(std::forward<Args>(AArgs)...);
  }
};

// A stream in memory. Memory() stays valid until the next write or resize.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* ABuffer, int64_t ACount) override;
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t ASize) override;

  uint8_t* Memory() { return FData.data(); }
  const uint8_t* Memory() const { return FData.data(); }
  void Clear();
  void LoadFromStream(TStream& AStream);
  void LoadFromFile(const std::string& AFileName);
  void SaveToStream(TStream& AStream);
  void SaveToFile(const std::string& AFileName);
  // Reserves room for ACapacity bytes without changing the size.
  void Reserve(int64_t ACapacity) override { FData.reserve(static_cast<size_t>(ACapacity)); }
  std::optional<std::span<const uint8_t>> ReadView() override;
  // Never nullptr: a memory stream can always write in place.
  uint8_t* BeginWrite(int64_t AMaxCount) override;
  void EndWrite(int64_t AWritten) override;
  // The content as bytes or as text (a copy).
  TqmByteArray Bytes() const { return TqmByteArray(FData.begin(), FData.end()); }
  std::string DataString() const {
    return std::string(reinterpret_cast<const char*>(FData.data()), FData.size());
  }
  // Replaces the content and puts the position at 0.
  void SetBytes(const TqmByteArray& AData);
  void SetDataString(const std::string& AData);

 private:
  // Grows the content to ASize bytes; bytes not yet written read as zero.
  void Grow(size_t ASize);

  std::vector<uint8_t, TDefaultInitAllocator<uint8_t>> FData;
  int64_t FPosition = 0;
  size_t FSizeBeforeWrite = 0;  // the size before BeginWrite
};

// A stream backed by a text; convenient for tests and small payloads.
class TStringStream : public TMemoryStream {
 public:
  TStringStream() = default;
  explicit TStringStream(const std::string& AData) { SetDataString(AData); }
};

enum TFileMode : unsigned {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFF00,
};

// A stream over a file. fmCreate creates or truncates it; the open modes
// need an existing file. Failures raise EFCreateError or EFOpenError with
// the system's reason.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& AFileName, unsigned AMode);
  ~TFileStream() override;

  int64_t Read(void* ABuffer, int64_t ACount) override;
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  void SetSize(int64_t ASize) override;
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
  int FHandle = -1;
};

}  // namespace qm
