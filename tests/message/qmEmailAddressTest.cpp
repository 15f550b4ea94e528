#include "message/qmEmailAddress.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "core/qmException.h"

namespace qm {
namespace {

TEST(EmailAddress, ItemParsingAndDisplay) {
  TqmEmailAddressItem Item;
  Item.SetFullAddress("John Smith <john@example.com>");
  EXPECT_EQ(Item.Email(), "john@example.com");
  EXPECT_EQ(Item.Name(), "John Smith");
  EXPECT_EQ(Item.FullAddress(), "\"John Smith\" <john@example.com>");

  Item.SetFullAddress("john@example.com (John Smith)");
  EXPECT_EQ(Item.Email(), "john@example.com");
  EXPECT_EQ(Item.Name(), "John Smith");

  Item.SetFullAddress("bare@example.com");
  EXPECT_EQ(Item.Name(), "");
  EXPECT_EQ(Item.FullAddress(), "bare@example.com");
  EXPECT_EQ(Item.GetDisplayName(), "bare@example.com");

  Item.SetName("bare@example.com");
  EXPECT_EQ(Item.FullAddress(), "bare@example.com");
  Item.SetName("Joe");
  EXPECT_EQ(Item.FullAddress(), "Joe <bare@example.com>");
  Item.SetName("Say \"Hi\" (now)");
  EXPECT_EQ(Item.FullAddress(), "\"Say \\\"Hi\\\" \\(now\\)\" <bare@example.com>");
  TqmEmailAddressItem Back;
  Back.SetFullAddress(Item.FullAddress());
  EXPECT_EQ(Back.Name(), "Say \"Hi\" (now)");
  EXPECT_EQ(Back.Email(), "bare@example.com");
  Item.SetEmail("");
  Item.SetName("Nobody");
  EXPECT_EQ(Item.FullAddress(), "Nobody <>");
  Item.Clear();
  EXPECT_EQ(Item.FullAddress(), "");

  // Without angle brackets and with non-ASCII text, blanks count as mailbox
  // characters: the whole text becomes the mailbox.
  Item.SetFullAddress("Jörg Müller joerg@example.de");
  EXPECT_EQ(Item.Email(), "Jörg Müller joerg@example.de");
  EXPECT_EQ(Item.Name(), "");

  // Mailbox characters on both sides make an at sign count; a comment's
  // at sign does not.
  Item.SetFullAddress("(me@home) work@example.com");
  EXPECT_EQ(Item.Email(), "work@example.com");
  EXPECT_EQ(Item.Name(), "me@home");

  std::string Name, Email;
  EXPECT_TRUE(ParseFullAddress("'Ann' <ann@example.com>", Name, Email));
  EXPECT_EQ(Name, "Ann");
  EXPECT_EQ(Email, "ann@example.com");
  EXPECT_FALSE(ParseFullAddress("<ann@example.com>", Name, Email));
  EXPECT_EQ(Name, "ann@example.com");
  EXPECT_EQ(BuildFullAddress("Ann Lee", "ann@example.com"), "\"Ann Lee\" <ann@example.com>");
}

TEST(EmailAddress, ListTextAndChanges) {
  TqmEmailAddressList List;
  int Changes = 0;
  List.OnChanged = [&](TObject*) { ++Changes; };
  List.SetText("\"Smith, John\" <john@example.com>, jane@example.org;last@example.net\r\n"
               "  ,  O'Neil, Pat <pat@example.com>");
  ASSERT_EQ(List.Count(), 4);
  EXPECT_EQ(List.Items(0)->Name(), "Smith, John");
  EXPECT_EQ(List.Items(1)->Email(), "jane@example.org");
  EXPECT_EQ(List.Items(2)->Email(), "last@example.net");
  // One apostrophe seen: the comma after it does not split.
  EXPECT_EQ(List.Items(3)->Name(), "O'Neil, Pat");
  EXPECT_EQ(List.Items(3)->Email(), "pat@example.com");
  EXPECT_GT(Changes, 0);
  EXPECT_EQ(List.GetText(),
            "\"Smith, John\" <john@example.com>, jane@example.org, last@example.net, "
            "\"O'Neil, Pat\" <pat@example.com>");
  TStringList Lines({"keep"});
  List.GetAddresses(Lines, false);
  EXPECT_EQ(Lines.Count(), 5);
  List.GetAddresses(Lines, true);
  EXPECT_EQ(Lines.Count(), 4);

  Changes = 0;
  List.Items(1)->SetName("Jane");
  EXPECT_EQ(Changes, 1);
  TqmEmailAddressList Copy;
  Copy.Assign(List);
  EXPECT_EQ(Copy.GetText(), List.GetText());
  List.Clear();
  EXPECT_EQ(List.GetText(), "");
  EXPECT_THROW(List.Items(0), EListError);
}

// Real-world From/To values, compared with Python's email.utils.getaddresses.
TEST(EmailAddress, AgreesWithPythonOnRealWorldValues) {
  const std::vector<std::string> Texts = {
      "John Smith <john@example.com>",
      "\"Smith, John\" <john@example.com>, jane@example.org",
      "john@example.com (John Smith)",
      "\"Jörg Müller\" <joerg@example.de>",
      "Jörg Müller <joerg@example.de>, \"Zoë, Dr.\" <zoe@example.fr>",
      "<bare@example.com>",
      "Mary O'Brien <mary@example.com>",
      "\"Doe, Jane (Sales)\" <jane.doe@example.com>",
      "=?utf-8?q?J=C3=B6rg?= <j@example.de>",
      "\"Quoted \\\"Nick\\\" Name\" <q@example.com>",
      "info+tag@sub.example.co.uk",
      "\"a\" <a@x.org>, \"b, c\" <bc@x.org>, d@x.org (D. Person)",
      "Support Team <support@example.com>",
      "\"Маша\" <masha@example.ru>",
  };
  const auto Dir = std::filesystem::temp_directory_path() / ("qm_addr_" + std::to_string(::getpid()));
  std::filesystem::create_directories(Dir);
  {
    std::ofstream In(Dir / "in.txt", std::ios::binary);
    for (const auto& T : Texts) In << T << '\n';
  }
  std::ofstream(Dir / "addr.py")
      << "import sys\n"
         "from email.utils import getaddresses\n"
         "out = open(sys.argv[2], 'w', encoding='utf-8')\n"
         "for line in open(sys.argv[1], encoding='utf-8').read().splitlines():\n"
         "    out.write('\\x1f'.join(n + '\\x1e' + e for n, e in getaddresses([line])) + '\\n')\n";
  const std::string Cmd = "python3 '" + (Dir / "addr.py").string() + "' '" + (Dir / "in.txt").string() +
                          "' '" + (Dir / "out.txt").string() + "'";
  ASSERT_EQ(std::system(Cmd.c_str()), 0) << "python3 is needed for this test";
  std::ifstream Out(Dir / "out.txt", std::ios::binary);
  std::string Line;
  size_t Index = 0;
  while (std::getline(Out, Line)) {
    ASSERT_LT(Index, Texts.size());
    TqmEmailAddressList List;
    List.SetText(Texts[Index]);
    std::string Ours;
    for (int I = 0; I < List.Count(); ++I)
      Ours += (I ? "\x1f" : "") + List.Items(I)->Name() + "\x1e" + List.Items(I)->Email();
    EXPECT_EQ(Ours, Line) << Texts[Index];
    ++Index;
  }
  EXPECT_EQ(Index, Texts.size());
  std::filesystem::remove_all(Dir);
}

TEST(EmailAddress, SplittingCountsOnlyQuotes) {
  // Unlike RFC 5322 parsers, the split looks at quote characters only: a
  // comma in a comment splits, and after a lone apostrophe nothing does.
  TqmEmailAddressList List;
  List.SetText("noreply@example.com (Automated, do not reply)");
  ASSERT_EQ(List.Count(), 2);
  EXPECT_EQ(List.Items(0)->Email(), "noreply@example.com");
  List.SetText("O'Neil <pat@example.com>, other@example.com");
  ASSERT_EQ(List.Count(), 1);
  EXPECT_EQ(List.Items(0)->Email(), "pat@example.com");
}

TEST(EmailAddress, GroupsKeepTheirMailboxes) {
  // Group syntax is not interpreted: the list splits at the commas and the
  // semicolon, the mailboxes are found and the group name stays in the
  // first item's name.
  TqmEmailAddressList List;
  List.SetText("Friends: alice@example.com, Bob <bob@example.com>;, carol@example.com");
  ASSERT_EQ(List.Count(), 3);
  EXPECT_EQ(List.Items(0)->Email(), "alice@example.com");
  EXPECT_EQ(List.Items(0)->Name(), "Friends:");
  EXPECT_EQ(List.Items(1)->Email(), "bob@example.com");
  EXPECT_EQ(List.Items(2)->Email(), "carol@example.com");
  List.SetText("undisclosed-recipients:;");
  ASSERT_EQ(List.Count(), 1);
  EXPECT_EQ(List.Items(0)->Email(), "");
  EXPECT_EQ(List.Items(0)->Name(), "undisclosed-recipients:");
}

}  // namespace
}  // namespace qm
