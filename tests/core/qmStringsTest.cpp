#include "core/qmStrings.h"

#include <gtest/gtest.h>

#include "core/qmException.h"
#include "core/qmStream.h"

using namespace qm;

TEST(StringsTest, TextSplitsEveryLineBreakKindAndWritesCrLf) {
  TStringList L;
  L.SetText("a\r\nb\rc\nd\r\n\r\ne");
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(L.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
  L.SetText("x\r\n");
  EXPECT_EQ(L.Count(), 1);  // a final break adds no empty line
  L.SetText("");
  EXPECT_EQ(L.Count(), 0);
}

TEST(StringsTest, ChangeNotificationIsBatchedByUpdates) {
  TStringList L;
  int Changing = 0, Changed = 0;
  L.OnChanging = [&](TObject*) { ++Changing; };
  L.OnChange = [&](TObject*) { ++Changed; };
  L.Add("one");
  L.Add("two");
  EXPECT_EQ(Changed, 2);
  EXPECT_EQ(Changing, 2);
  L.BeginUpdate();
  L.Add("three");
  L.Delete(0);
  L.Put(0, "TWO");
  L.EndUpdate();
  EXPECT_EQ(Changed, 3);
  EXPECT_EQ(Changing, 3);
  // An update without changes says nothing.
  L.BeginUpdate();
  L.EndUpdate();
  EXPECT_EQ(Changed, 3);
  L.SetText("a\nb\nc");  // one batch
  EXPECT_EQ(Changed, 4);
}

TEST(StringsTest, SearchNamesValuesAndBounds) {
  TStringList L;
  L.AddStrings(std::vector<std::string>{"Host=example.org", "Port=25", "plain"});
  EXPECT_EQ(L.IndexOf("PLAIN"), 2);
  EXPECT_EQ(L.IndexOf("none"), -1);
  EXPECT_EQ(L.Values("port"), "25");
  L.SetValue("Port", "587");
  EXPECT_EQ(L[1], "Port=587");
  L.SetValue("User", "me");
  EXPECT_EQ(L.Count(), 4);
  L.SetValue("Host", "");
  EXPECT_EQ(L.IndexOfName("Host"), -1);
  EXPECT_THROW(L.Get(10), EListError);
  EXPECT_THROW(L.Insert(-1, "x"), EListError);
  L.Move(0, 2);
  EXPECT_EQ(L.Join("|"), "plain|User=me|Port=587");
}

TEST(StringsTest, AssignAndStreams) {
  TStringList A, B;
  A.SetText("1\n2\n3");
  B.Assign(A);
  EXPECT_TRUE(B.Equals(A));
  TMemoryStream M;
  A.SaveToStream(M);
  EXPECT_EQ(M.DataString(), "1\r\n2\r\n3\r\n");
  M.SetPosition(3);
  TStringList C;
  C.LoadFromStream(M);  // from the position on
  EXPECT_EQ(C.ToVector(), (std::vector<std::string>{"2", "3"}));

  // Saving writes at the stream's position, in place in memory and in
  // chunks elsewhere; both give the text with its line breaks.
  TStringList Big;
  for (int I = 0; I < 5000; ++I) Big.Add(std::string(static_cast<size_t>(I % 97), 'a' + I % 26));
  TMemoryStream InMemory;
  InMemory.SetDataString("0123456789");
  InMemory.SetPosition(4);
  Big.SaveToStream(InMemory);
  EXPECT_TRUE(InMemory.DataString() == "0123" + Big.Text());
  // Loading reads large streams in pieces: lines and breaks that straddle a
  // piece (CR LF cut in two, text with CR breaks only) come out as from
  // SetText of the whole text.
  for (const char* Break : {"\r\n", "\n", "\r"}) {
    std::string Text;
    for (int I = 0; Text.size() < 3u * 1024 * 1024; ++I)
      Text += std::string(static_cast<size_t>(I * 7919 % 1500), 'x') + Break;
    Text += "last";
    TStringList Whole, Loaded;
    Whole.SetText(Text);
    TStringStream Source(Text);
    Loaded.LoadFromStream(Source);
    EXPECT_TRUE(Loaded.Lines() == Whole.Lines()) << Loaded.Count() << " " << Whole.Count();
  }
  const std::string File = ::testing::TempDir() + "/qm_strings_save";
  Big.SaveToFile(File);
  TMemoryStream Back;
  Back.LoadFromFile(File);
  EXPECT_TRUE(Back.DataString() == Big.Text());
}
