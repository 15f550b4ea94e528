#include "message/qmHeaderFieldList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace qm {
namespace {

TEST(HeaderFieldList, ParseAndRead) {
  TStringList Lines({" stray continuation", "From: a@b.c", "Received: first", "\tby host",
                     "Subject: Hello", "\tworld", " again", "Received : spaced",
                     "Received: second", "", "Body: not a field"});
  TqmHeaderFieldList H;
  EXPECT_EQ(H.Parse(0, &Lines), 9);
  EXPECT_EQ(H.HeaderEnd(), 9);
  ASSERT_EQ(H.FieldCount(), 5);
  EXPECT_EQ(H.FieldNames()[3], "received ");  // the name is not trimmed
  EXPECT_EQ(H.IndexOfField("RECEIVED"), 1);     // the first of two
  EXPECT_EQ(H.IndexOfField("Body"), -1);
  EXPECT_EQ(H.GetFieldValue("subject"), "Hello\tworld again");  // only the line breaks go
  EXPECT_EQ(H.GetFieldName(2), "Subject");
  EXPECT_EQ(H.GetFieldLineIndex(2), 4);
  EXPECT_EQ(H.GetFieldLastLineIndex(2), 6);
  EXPECT_EQ(H.GetFieldLastLineIndex(0), 1);
  EXPECT_EQ(H.GetFieldLineIndex(7), -1);
  EXPECT_EQ(H.GetFieldValueAt(-1), "");
  EXPECT_EQ(H.GetFieldValue("received"), "first\tby host");
  TStringList Field;
  H.GetFieldLines(1, Field);
  EXPECT_EQ(Field.ToVector(), std::vector<std::string>({"Received: first", "\tby host"}));

  H.RemoveField("Received");
  EXPECT_EQ(H.GetFieldValue("received"), "second");
  EXPECT_EQ(Lines.Count(), 9);
  EXPECT_EQ(H.HeaderEnd(), 7);

  // A parse from a later line; a field on the very last line of the list.
  TStringList Tail({"Body", "", "X-One: 1", "X-Last: value", "\tcontinued"});
  EXPECT_EQ(H.Parse(2, &Tail), 5);
  EXPECT_EQ(H.GetFieldLastLineIndex(1), 4);
  EXPECT_EQ(H.GetFieldValue("x-last"), "value\tcontinued");
  EXPECT_EQ(H.Parse(99, &Tail), 5);  // a start beyond the list binds an empty block
  EXPECT_EQ(H.FieldCount(), 0);
}

TEST(HeaderFieldList, ItemSearch) {
  TqmHeaderFieldList H;
  EXPECT_EQ(H.GetItemValue("multipart/mixed; boundary=\"=_b 1;2\"", "boundary"), "=_b 1;2");
  EXPECT_EQ(H.GetItemValue("multipart/mixed; boundary=\"=_b 1;2\"", ""), "multipart/mixed");
  EXPECT_EQ(H.GetItemValue("attachment; filename=report.pdf", "name"), "report.pdf");
  EXPECT_EQ(H.GetItemValue("text/plain; charset = 'koi8-r' ; format=flowed", "charset"), "koi8-r");
  EXPECT_EQ(H.GetItemValue("x; a=\"mixed'", "a"), "mixed");  // each end is some quote
  EXPECT_EQ(H.GetItemValue("text/plain; CHARSET=utf-8", "Charset"), "utf-8");
  EXPECT_EQ(H.GetItemValue("text/plain; charsetx=1, charset=2", "charset"), "2");
  EXPECT_EQ(H.GetItemValue("text/plain", "charset"), "");
  EXPECT_EQ(H.GetItemValue("", ""), "");

  const TqmFieldItem Item = H.FindItem("text/plain; charset =\"a;b\"; x=1", "charset");
  EXPECT_EQ(Item.Position, 13);
  EXPECT_EQ(Item.Text, "\"a;b\"");
  EXPECT_EQ(Item.Length, 14);  // "charset =" and the quoted text
  // A failing character is not compared with the name's start again.
  EXPECT_EQ(H.FindItem("nname=1", "name").Position, 0);
  EXPECT_EQ(H.FindItem("type=1", "").Position, 1);
}

TEST(HeaderFieldList, RemoveAndClearItems) {
  TqmHeaderFieldList H;
  EXPECT_EQ(H.RemoveItem("a=1; b=2; c=3", "b"), "a=1; c=3");
  EXPECT_EQ(H.RemoveItem("a=1; b=2", "b"), "a=1");
  EXPECT_EQ(H.RemoveItem("a=1; b=2", "zz"), "a=1; b=2");
  EXPECT_EQ(H.ClearItemValue("v=1; b=abc; d=x", "b"), "v=1; b=; d=x");

  TStringList Lines({"DKIM-Signature: v=1; a=rsa-sha256;", "\tb=c2lnbmF0dXJl", "\t bW9yZQ==;",
                     "\td=example.com", "Next: 1", ""});
  H.Parse(0, &Lines);
  H.ClearFieldItemValue(0, "b");
  EXPECT_EQ(H.GetFieldValue("dkim-signature"), "v=1; a=rsa-sha256;\tb=;\td=example.com");
  EXPECT_EQ(H.GetFieldValue("next"), "1");
  H.RemoveFieldItem("DKIM-Signature", "a");
  EXPECT_EQ(H.GetFieldValue("dkim-signature"), "v=1;\tb=;\td=example.com");
  EXPECT_EQ(H.HeaderEnd(), Lines.Count() - 1);
}

TEST(HeaderFieldList, WritersAndItems) {
  TStringList Lines;
  TqmHeaderFieldList H;
  H.Parse(0, &Lines);
  H.AddField("Subject", "");                   // empty value: nothing
  H.AddField("Subject", "Hi");
  H.AddFieldIfAbsent("subject", "Other");
  H.AddEmptyField("Content-Type");
  H.AddFieldItem("Content-Type", "", "text/plain");
  H.AddFieldItem("Content-Type", "charset", "utf-8");
  H.AddFieldItem("Content-Type", "format", "  ");  // blank value: nothing
  H.AddQuotedFieldItem("Content-Type", "name", "a b.txt");
  H.AddQuotedFieldItem("Content-Type", "empty", "");
  H.InsertEmptyField(0, "Key");
  H.AddEmptyFieldItem("key", "p");
  H.AddEndOfHeader();
  H.AddEndOfHeader();
  EXPECT_EQ(Lines.ToVector(),
            std::vector<std::string>({"Key: p=", "Subject: Hi",
                                      "Content-Type: text/plain; charset=utf-8; name=\"a b.txt\"; empty=\"\"",
                                      ""}));
  EXPECT_EQ(H.HeaderEnd(), 3);

  // Items that do not fit go on their own tab-prefixed lines.
  TStringList Narrow;
  H.Parse(0, &Narrow);
  H.SetCharsPerLine(30);
  H.AddEmptyField("Content-Disposition");
  H.AddFieldItem("Content-Disposition", "", "attachment");
  H.AddQuotedFieldItem("Content-Disposition", "filename", "a rather long file name.pdf");
  H.AddFieldItemAt(0, "size", "1234", true);
  EXPECT_EQ(Narrow.ToVector(), std::vector<std::string>({"Content-Disposition:", "\tattachment;",
                                                         "\tfilename=\"a rather long file",
                                                         " name.pdf\";", "\tsize=1234"}));
  EXPECT_EQ(H.GetItemValue(H.GetFieldValue("content-disposition"), "filename"),
            "a rather long file name.pdf");

  // The DKIM key record layout: no folding at all.
  TStringList Key;
  H.Parse(0, &Key);
  H.SetCharsPerLine(0);
  H.AddEmptyField("key");
  H.AddFieldItem("key", "v", "DKIM1");
  H.AddFieldItem("key", "h", "sha256");
  EXPECT_EQ(Key.ToVector(), std::vector<std::string>({"key: v=DKIM1; h=sha256"}));
  H.AddFieldItemAt(0, "k", "rsa", true);
  EXPECT_EQ(Key[1], "\tk=rsa");
  // A value ending with ':' is closed like any other; only a field with
  // nothing after its colon takes its first item without a delimiter.
  TStringList ColonEnd;
  H.Parse(0, &ColonEnd);
  H.AddEmptyField("sig");
  H.AddFieldItem("sig", "h", "from:to:");
  H.AddFieldItem("sig", "b", "x");
  H.AddFieldItemAt(0, "c", "y:", true);
  H.AddFieldItem("sig", "d", "z");
  EXPECT_EQ(ColonEnd.ToVector(), std::vector<std::string>({"sig: h=from:to:; b=x;", "\tc=y:; d=z"}));

  // A header that ends at the list's end gets its empty line appended.
  TStringList Open({"A: 1", "B: 2"});
  H.Parse(0, &Open);
  H.AddEndOfHeader();
  EXPECT_EQ(Open.Count(), 3);
  TStringList Empty;
  H.Parse(0, &Empty);
  H.AddEndOfHeader();
  EXPECT_EQ(Empty.Count(), 0);
}

TEST(HeaderFieldList, FoldingKeepsWordsWhole) {
  TStringList Lines;
  TqmHeaderFieldList H;
  H.SetCharsPerLine(76);
  H.Parse(0, &Lines);
  const std::string Short(66, 'x');  // "Subject: " + 66 = 75 characters
  H.AddField("Subject", Short);
  EXPECT_EQ(Lines.Count(), 1);
  std::string Refs;
  for (int I = 0; I < 12; ++I) Refs += (I ? " " : "") + std::string("<id") + std::to_string(I) + ".abcdefgh@example.org>";
  H.AddField("References", Refs);
  const std::string Word(120, 'w');
  H.AddField("X-Long", "a " + Word + " b");
  H.AddField("X-Blanks", "one   two" + std::string(80, ' ') + "three");
  for (int I = 0; I < Lines.Count(); ++I) {
    const std::string& L = Lines[I];
    // A long word, or a long run of blanks that has no place to fold, stays whole.
    if (L.find(Word) == std::string::npos && L != std::string(80, ' ') + "three") {
      EXPECT_LE(L.size(), 75u) << I << ": " << L;
    }
    EXPECT_NE(L.back(), ' ') << L;
    EXPECT_NE(L.find_first_not_of(' '), std::string::npos);
  }
  EXPECT_GT(Lines.Count(), 5);
  EXPECT_EQ(H.GetFieldValue("references"), Refs);
  EXPECT_EQ(H.GetFieldValue("x-long"), "a " + Word + " b");
  EXPECT_EQ(H.GetFieldValue("x-blanks"), "one   two" + std::string(80, ' ') + "three");
  EXPECT_EQ(H.GetFieldValue("subject"), Short);
  EXPECT_EQ(H.GetFieldLastLineIndex(H.IndexOfField("references")) + 1,
            H.GetFieldLineIndex(H.IndexOfField("x-long")));
}

// Folded fields read back the same by Python's RFC 5322 parser.
TEST(HeaderFieldList, FoldedFieldsReadByPython) {
  std::mt19937 Rng(5322);
  TStringList Lines;
  TqmHeaderFieldList H;
  H.SetCharsPerLine(76);
  H.Parse(0, &Lines);
  std::vector<std::string> Values;
  for (int I = 0; I < 60; ++I) {
    std::string V;
    const int Words = 1 + static_cast<int>(Rng() % 40);
    for (int W = 0; W < Words; ++W) {
      if (W > 0) V += std::string(1 + Rng() % 3, ' ');
      V += std::string(1 + Rng() % (I % 10 == 0 ? 100 : 12), static_cast<char>('a' + Rng() % 26));
    }
    Values.push_back(V);
    H.AddField("X-F" + std::to_string(I), V);
  }
  H.AddLines(TStringList({"X-Extra: " + Values[5] + " " + Values[7]}));
  H.AddEndOfHeader();
  Lines.Add("body");
  for (int I = 0; I < 60; ++I) EXPECT_EQ(H.GetFieldValue("x-f" + std::to_string(I)), Values[I]);
  EXPECT_EQ(H.GetFieldValue("x-extra"), Values[5] + " " + Values[7]);

  const auto Dir = std::filesystem::temp_directory_path() / ("qm_hdr_" + std::to_string(::getpid()));
  std::filesystem::create_directories(Dir);
  Lines.SaveToFile((Dir / "msg.eml").string());
  std::ofstream(Dir / "read.py")
      << "import sys, email, email.policy\n"
         "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.compat32)\n"
         "out = open(sys.argv[2], 'w')\n"
         "for k, v in m.items():\n"
         "    out.write(k + ':' + v.replace('\\r\\n', '').replace('\\n', '') + '\\n')\n";
  const std::string Cmd = "python3 '" + (Dir / "read.py").string() + "' '" + (Dir / "msg.eml").string() +
                          "' '" + (Dir / "out.txt").string() + "'";
  ASSERT_EQ(std::system(Cmd.c_str()), 0) << "python3 is needed for this test";
  std::ifstream Out(Dir / "out.txt");
  std::string Line;
  int Count = 0;
  while (std::getline(Out, Line)) {
    const size_t Colon = Line.find(':');
    ASSERT_NE(Colon, std::string::npos);
    const std::string Name = Line.substr(0, Colon);
    const std::string Value = Line.substr(Colon + 1);
    if (Name == "X-Extra") {
      EXPECT_EQ(Value, Values[5] + " " + Values[7]);
    } else {
      EXPECT_EQ(Value, Values[static_cast<size_t>(std::stoi(Name.substr(3)))]) << Name;
    }
    ++Count;
  }
  EXPECT_EQ(Count, 61);
  std::filesystem::remove_all(Dir);
}

}  // namespace
}  // namespace qm
