#include "message/qmMessageLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "message/qmLineRangeStream.h"

using namespace qm;

namespace {

// Every text of up to ALength characters drawn from AAlphabet.
std::vector<std::string> AllTexts(const std::string& AAlphabet, size_t ALength) {
  std::vector<std::string> Texts = {""};
  for (size_t From = 0, L = 0; L < ALength; ++L) {
    const size_t To = Texts.size();
    for (size_t I = From; I < To; ++I)
      for (char C : AAlphabet) Texts.push_back(Texts[I] + C);
    From = To;
  }
  return Texts;
}

std::string ReadAll(TStream& AStream, int64_t AChunk) {
  std::string R;
  std::string Buffer(static_cast<size_t>(AChunk), '\0');
  for (;;) {
    const int64_t N = AStream.Read(Buffer.data(), AChunk);
    if (N <= 0) break;
    R.append(Buffer, 0, static_cast<size_t>(N));
  }
  return R;
}

}  // namespace

TEST(MessageLines, SplitAsAStringListSplitsEveryMixOfLineEnds) {
  // CR, LF, CR LF, CR CR LF, breaks at the start and the end, NUL in a line.
  for (const std::string& Text : AllTexts(std::string("a\r\n\0", 4), 7)) {
    TStringList Expected;
    Expected.SetText(Text);
    const TqmMessageLines Lines(Text);
    const TqmMessageLines Shared(static_cast<const TStrings&>(Lines));
    ASSERT_EQ(Lines.Count(), Expected.Count()) << testing::PrintToString(Text);
    ASSERT_EQ(Shared.Count(), Expected.Count());
    for (int I = 0; I < Lines.Count(); ++I) {
      ASSERT_EQ(Lines.Line(I), Expected[I]) << testing::PrintToString(Text) << " line " << I;
      ASSERT_EQ(Lines.Get(I), Expected[I]);
      ASSERT_EQ(Shared.Line(I).data(), Lines.Line(I).data());
    }
  }
}

TEST(MessageLines, ViewsOfAListAreReadOnly) {
  TStringList List(std::vector<std::string>{"From: a@b", "", "body"});
  const TqmMessageLines Lines(List);
  ASSERT_EQ(Lines.Count(), 3);
  EXPECT_EQ(&Lines.Get(2), &List[2]);  // the list's own strings, no copies
  EXPECT_EQ(Lines.Line(0).data(), List[0].data());
  const TqmMessageLines Again(static_cast<const TStrings&>(Lines));
  EXPECT_EQ(Again.Line(2).data(), List[2].data());
  EXPECT_THROW(Lines.Get(3), EListError);
  EXPECT_THROW(Lines.Get(-1), EListError);
  TqmMessageLines Text("x\r\ny");
  EXPECT_THROW(Text.Put(0, "z"), EListError);
  EXPECT_THROW(Text.Add("z"), EListError);
  EXPECT_THROW(Text.Delete(0), EListError);
  EXPECT_THROW(Text.Clear(), EListError);
  EXPECT_EQ(Text.Text(), "x\r\ny\r\n");
}

TEST(LineRangeStream, ReadsRangesAsCrLfTextInPiecesOfEverySize) {
  const std::string Source = "l0\nline1\r\n\nl3\rl4 longer\r\nl5\n";
  const TqmMessageLines Lines(Source);
  ASSERT_EQ(Lines.Count(), 6);
  struct TCase {
    std::vector<std::pair<int, int>> Ranges;
    std::string Text;
  } Cases[] = {
      {{}, ""},
      {{{0, 6}}, "l0\r\nline1\r\n\r\nl3\r\nl4 longer\r\nl5\r\n"},
      {{{1, 3}}, "line1\r\n\r\n"},
      {{{0, 1}, {3, 5}}, "l0\r\nl3\r\nl4 longer\r\n"},
      {{{0, 2}, {2, 3}, {5, 9}}, "l0\r\nline1\r\n\r\nl5\r\n"},  // joined, clamped
      {{{4, 2}, {2, 2}}, ""},
  };
  for (const TCase& C : Cases) {
    TqmLineRangeStream S(Lines);
    for (auto [B, E] : C.Ranges) S.AddRange(B, E);
    ASSERT_EQ(S.Size(), static_cast<int64_t>(C.Text.size()));
    for (int64_t Chunk = 1; Chunk <= static_cast<int64_t>(C.Text.size()) + 1; ++Chunk) {
      S.Seek(0, TSeekOrigin::soBeginning);
      ASSERT_EQ(ReadAll(S, Chunk), C.Text) << "chunk " << Chunk;
    }
    // Every position read after a seek, forwards and back.
    for (int64_t P = static_cast<int64_t>(C.Text.size()); P >= 0; --P) {
      S.Seek(P, TSeekOrigin::soBeginning);
      ASSERT_EQ(ReadAll(S, 3), C.Text.substr(static_cast<size_t>(P))) << "from " << P;
    }
  }
  // Shortened (a part's last line break belongs to the delimiter), never
  // grown; Clear empties it for the next part.
  TqmLineRangeStream S(Lines, 0, 2);
  EXPECT_EQ(S.LineCount(), 2);
  S.SetSize(S.Size() - 2);
  S.Seek(0, TSeekOrigin::soBeginning);
  EXPECT_EQ(ReadAll(S, 4), "l0\r\nline1");
  EXPECT_THROW(S.SetSize(100), EStreamError);
  EXPECT_EQ(S.Write("x", 1), 0);
  S.Clear();
  EXPECT_EQ(S.Size(), 0);
  S.AddRange(5, 6);
  EXPECT_EQ(ReadAll(S, 64), "l5\r\n");
}
