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

/// What a Seek offset counts from: the start, the position, the end.
enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

/// A byte stream with a size and a position (64-bit byte counts).
class TStream : public TObject {
 public:
  /// Moves up to ACount bytes; returns how many moved (0 at the end).
  virtual int64_t Read(void* ABuffer, int64_t ACount) = 0;
  /// Writes up to ACount bytes at the position; returns how many were written.
  virtual int64_t Write(const void* ABuffer, int64_t ACount) = 0;
  /// Returns the new position. A position past the end is allowed; reading
  /// there gives nothing and writing there extends the stream.
  virtual int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) = 0;

  /// The position, in bytes from the start.
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  /// Moves to APosition bytes from the start.
  void SetPosition(int64_t APosition) { Seek(APosition, TSeekOrigin::soBeginning); }
  /// The size in bytes (found by seeking to the end and back).
  virtual int64_t Size();
  /// Cuts or extends the stream to ASize bytes.
  virtual void SetSize(int64_t ASize) = 0;
  /// Bytes from the position to the end (0 when the position is past it).
  int64_t Remaining();

  /// Exact transfers: raise EReadError/EWriteError when fewer bytes move.
  void ReadBuffer(void* ABuffer, int64_t ACount);
  /// Writes exactly ACount bytes; EWriteError when fewer are written.
  void WriteBuffer(const void* ABuffer, int64_t ACount);
  /// Copies ACount bytes from ASource's position (ACount 0: all of ASource
  /// from its start). Returns the number of bytes copied.
  int64_t CopyFrom(TStream& ASource, int64_t ACount);

  /// In-place access, offered by streams that keep their bytes in one block
  /// of memory (memory streams), so that codecs and parsers can work on the
  /// block instead of testing the stream's type. Streams without one answer
  /// "no" and are read and written through Read and Write.
  ///
  /// ReadView: the bytes from the position to the end, valid until the next
  /// write or resize; reading them does not move the position (Seek past
  /// what was used).
  virtual std::optional<std::span<const uint8_t>> ReadView() { return std::nullopt; }
  /// BeginWrite: room for up to AMaxCount bytes at the position, or nullptr
  /// when the stream cannot write in place. EndWrite(n) keeps the first n
  /// bytes of the room as written (as Write would) and gives the rest back;
  /// nothing else may touch the stream in between.
  virtual uint8_t* BeginWrite(int64_t /*AMaxCount*/) { return nullptr; }
  /// Ends a BeginWrite, keeping AWritten bytes (see BeginWrite).
  virtual void EndWrite(int64_t /*AWritten*/) {}
  /// A hint that about ACapacity bytes in all will be written.
  virtual void Reserve(int64_t /*ACapacity*/) {}
};

/// Allocator that leaves new elements uninitialised: a memory stream that
/// grows is about to be written over, so zero-filling it first is wasted work.
template <typename T>
struct TDefaultInitAllocator : std::allocator<T> {
  template <typename U>
  /// The same allocator for another element type.
  struct rebind {
    using other = TDefaultInitAllocator<U>;  ///< The rebound allocator.
  };
  using std::allocator<T>::allocator;
  template <typename U>
  /// Default-initialises (no zero fill for bytes).
  void construct(U* P) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(P)) U;
  }
  template <typename U, typename... Args>
  /// Constructs from AArgs.
  void construct(U* P, Args&&... AArgs) {
    ::new (static_cast<void*>(P)) U(std::forward<Args>(AArgs)...);
  }
};

/// A stream in memory. Memory() stays valid until the next write or resize.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* ABuffer, int64_t ACount) override;
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t ASize) override;

  /// The content's first byte (Size() bytes).
  uint8_t* Memory() { return FData.data(); }
  /// The content's first byte (Size() bytes).
  const uint8_t* Memory() const { return FData.data(); }
  /// Empties the stream, frees its memory, position 0.
  void Clear();
  /// Replaces the content with all of AStream (read from its start); position 0.
  void LoadFromStream(TStream& AStream);
  /// Replaces the content with the file's; EFOpenError when it cannot be opened.
  void LoadFromFile(const std::string& AFileName);
  /// Writes the whole content at AStream's position.
  void SaveToStream(TStream& AStream);
  /// Writes the whole content to a file, created or truncated.
  void SaveToFile(const std::string& AFileName);
  /// Reserves room for ACapacity bytes without changing the size.
  void Reserve(int64_t ACapacity) override { FData.reserve(static_cast<size_t>(ACapacity)); }
  std::optional<std::span<const uint8_t>> ReadView() override;
  /// Never nullptr: a memory stream can always write in place.
  uint8_t* BeginWrite(int64_t AMaxCount) override;
  void EndWrite(int64_t AWritten) override;
  /// The content as bytes or as text (a copy).
  TqmByteArray Bytes() const { return TqmByteArray(FData.begin(), FData.end()); }
  /// The content as text (a copy).
  std::string DataString() const {
    return std::string(reinterpret_cast<const char*>(FData.data()), FData.size());
  }
  /// Replaces the content and puts the position at 0.
  void SetBytes(const TqmByteArray& AData);
  /// Replaces the content with the bytes of AData; position 0.
  void SetDataString(const std::string& AData);

 private:
  // Grows the content to ASize bytes; bytes not yet written read as zero.
  void Grow(size_t ASize);

  std::vector<uint8_t, TDefaultInitAllocator<uint8_t>> FData;
  int64_t FPosition = 0;
  size_t FSizeBeforeWrite = 0;  // the size before BeginWrite
};

/// A stream backed by a text; convenient for tests and small payloads.
class TStringStream : public TMemoryStream {
 public:
  /// An empty stream.
  TStringStream() = default;
  /// A stream holding the bytes of AData, position 0.
  explicit TStringStream(const std::string& AData) { SetDataString(AData); }
};

/// How TFileStream opens its file.
enum TFileMode : unsigned {
  fmOpenRead = 0x0000,  ///< An existing file, for reading.
  fmOpenWrite = 0x0001,  ///< An existing file, for writing.
  fmOpenReadWrite = 0x0002,  ///< An existing file, for both.
  fmCreate = 0xFF00,  ///< Created, or truncated when it exists; read and write.
};

/// A stream over a file. fmCreate creates or truncates it; the open modes
/// need an existing file. Failures raise EFCreateError or EFOpenError with
/// the system's reason.
class TFileStream : public TStream {
 public:
  /// Opens AFileName with a TFileMode value, position 0.
  TFileStream(const std::string& AFileName, unsigned AMode);
  /// Closes the file.
  ~TFileStream() override;

  int64_t Read(void* ABuffer, int64_t ACount) override;
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  void SetSize(int64_t ASize) override;
  /// The name the stream was opened with.
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
  int FHandle = -1;
};

}  // namespace qm
