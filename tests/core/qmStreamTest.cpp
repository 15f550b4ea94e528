#include "core/qmStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/qmException.h"

using namespace qm;

TEST(StreamTest, MemoryStreamReadWriteSeekAndSize) {
  TMemoryStream S;
  S.WriteBuffer("hello world", 11);
  EXPECT_EQ(S.Size(), 11);
  EXPECT_EQ(S.Position(), 11);
  S.SetPosition(6);
  char Buf[16] = {};
  EXPECT_EQ(S.Read(Buf, 100), 5);
  EXPECT_EQ(std::string(Buf), "world");
  EXPECT_EQ(S.Read(Buf, 10), 0);  // at the end
  EXPECT_THROW(S.ReadBuffer(Buf, 1), EReadError);
  // Writing past the end extends with zero bytes.
  S.SetPosition(13);
  S.WriteBuffer("!", 1);
  EXPECT_EQ(S.Size(), 14);
  EXPECT_EQ(S.Memory()[11], 0);
  S.SetSize(5);
  EXPECT_EQ(S.Position(), 5);
  EXPECT_EQ(S.DataString(), "hello");
  // Growing again shows zero bytes, not what was cut off.
  S.SetSize(8);
  EXPECT_EQ(S.DataString(), std::string("hello\0\0\0", 8));
  S.SetSize(5);
  EXPECT_THROW(S.Seek(-6, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_EQ(S.Seek(-2, TSeekOrigin::soEnd), 3);
  EXPECT_EQ(S.Remaining(), 2);
}

TEST(StreamTest, MemoryStreamInPlaceWrites) {
  TMemoryStream S;
  S.SetDataString("abcdefgh");
  // Inside the content: what is not written stays, the size does not shrink.
  S.SetPosition(2);
  uint8_t* W = S.BeginWrite(10);
  std::memcpy(W, "XY", 2);
  S.EndWrite(2);
  EXPECT_EQ(S.DataString(), "abXYefgh");
  EXPECT_EQ(S.Position(), 4);
  // Past the end: the gap reads as zero; unused room is given back.
  S.SetPosition(10);
  W = S.BeginWrite(100);
  W[0] = 'Z';
  S.EndWrite(1);
  EXPECT_EQ(S.DataString(), std::string("abXYefgh\0\0Z", 11));
  // Nothing written: nothing changes, not even by the gap.
  S.SetPosition(20);
  S.BeginWrite(5);
  S.EndWrite(0);
  EXPECT_EQ(S.Size(), 11);
  EXPECT_EQ(S.Position(), 20);
}

TEST(StreamTest, CopyFromWholeAndPart) {
  TStringStream Src("0123456789");
  TMemoryStream Dst;
  Src.SetPosition(7);
  EXPECT_EQ(Dst.CopyFrom(Src, 0), 10);  // 0 copies everything from the start
  EXPECT_EQ(Dst.DataString(), "0123456789");
  Src.SetPosition(2);
  TMemoryStream Part;
  Part.CopyFrom(Src, 3);
  EXPECT_EQ(Part.DataString(), "234");
  EXPECT_THROW(Part.CopyFrom(Src, 100), EReadError);
}

TEST(StreamTest, FileStreamRoundTripAndErrors) {
  char Name[] = "/tmp/qmstreamXXXXXX";
  int Fd = mkstemp(Name);
  ASSERT_GE(Fd, 0);
  close(Fd);
  std::string Big(200000, 'x');
  for (size_t I = 0; I < Big.size(); ++I) Big[I] = static_cast<char>(I * 7);
  {
    TStringStream Src(Big);
    Src.SaveToFile(Name);
  }
  TMemoryStream Back;
  Back.LoadFromFile(Name);
  EXPECT_EQ(Back.DataString(), Big);
  {
    TFileStream F(Name, fmOpenReadWrite);
    EXPECT_EQ(F.Size(), static_cast<int64_t>(Big.size()));
    F.SetSize(10);
    EXPECT_EQ(F.Size(), 10);
  }
  std::remove(Name);
  EXPECT_THROW(TFileStream(Name, fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream("/nonexistent-dir/x", fmCreate), EFCreateError);
}
