// Encoded words, RFC 2231 parameters and the percent encoders.
#include <gtest/gtest.h>

#include "core/qmStrings.h"
#include "message/qmEmailAddress.h"
#include "message/qmMailHeader.h"
#include "message/qmPercentEncoder.h"
#include "core/qmTranslator.h"

using namespace qm;

namespace {

std::vector<std::string> Lines(const TStrings& L) { return L.ToVector(); }

}  // namespace

TEST(PercentEncoder, EscapesAndDecodes) {
  TqmPercentEncoder E;
  EXPECT_EQ(E.EncodeBytes(TqmByteArray{'a', ' ', 0x01, 0xFF}), "a \x01\xFF") << "nothing unsafe";
  E.SetUnsafeChars(" %");
  EXPECT_EQ(E.EncodeBytes(TqmByteArray{'a', ' ', 0x01, 0xFF, '%'}), "a%20%01%FF%25");
  E.SetKeepEscapes(true);
  EXPECT_EQ(E.Encode("50%41 x", ""), "50%41%20x");
  EXPECT_EQ(E.DecodeBytes("%41%4a%zz%4Z%"), (TqmByteArray{'A', 'J', '%', 'z', 'z', '%', '4', 'Z', '%'}));
  EXPECT_EQ(E.Decode("%C3%A9t%C3%A9", "utf-8"), "été");
  EXPECT_EQ(E.Decode("%E9t%E9", "iso-8859-1"), "été");
}

TEST(PercentEncoder, Rfc2231Values) {
  TqmRfc2231HeaderEncoder E;
  EXPECT_EQ(E.EncodeValue("a b;c=d\"é", "utf-8", ""), "utf-8''a%20b%3Bc%3Dd\"%C3%A9");
  EXPECT_EQ(E.EncodeValue("plain", "", ""), "plain");
  EXPECT_EQ(E.DecodeValue("koi8-r'ru'%F0%D2%C9%D7%C5%D4"), "Привет");
  EXPECT_EQ(E.CharSet(), "koi8-r");
  EXPECT_EQ(E.ValueLanguage(), "ru");
  EXPECT_EQ(E.DecodeValue("no%20charset"), "no%20charset");
  std::string C, L, V;
  bool Found = true;
  E.SplitValue("one'only", C, L, V, Found);
  EXPECT_FALSE(Found);
  EXPECT_EQ(V, "one'only");
}

TEST(MailHeader, EncodeTextChoosesAndCuts) {
  using H = TqmMailHeaderFieldList;
  EXPECT_EQ(H::EncodeText("A plain subject line", "utf-8", 67, cmNone), "A plain subject line");
  // A plain text too long for one line becomes Q words of nearly equal size.
  const std::string Long(150, 'x');
  const std::string Encoded = H::EncodeText(Long, "iso-8859-1", 67, cmNone);
  EXPECT_EQ(Encoded.find(' '), std::string::npos);
  EXPECT_EQ(Encoded.substr(0, 17), "=?iso-8859-1?Q?xx");
  EXPECT_EQ(H::DecodeText(Encoded, "iso-8859-1"), std::string(150, 'x')) << "CR LF between words";
  // Q escapes "_", "?" and the phrase specials; spaces become "_".
  TqmEncodeMethod M = cmQuotedPrintable;
  EXPECT_EQ(H::EncodeWord("a_b? c,d<e>", "utf-8", M), "=?utf-8?Q?a=5Fb=3F_c=2Cd=3Ce=3E?=");
  M = cmBase64;
  EXPECT_EQ(H::EncodeWord("été", "utf-8", M), "=?utf-8?B?w6l0w6k=?=");
  M = cmNone;
  EXPECT_EQ(H::EncodeWord("tab\there", "utf-8", M), "=?utf-8?B?dGFiCWhlcmU=?=");
  EXPECT_EQ(M, cmBase64);
}

TEST(MailHeader, PiecesNeverSplitUtf8AndFitTheWidth) {
  using H = TqmMailHeaderFieldList;
  std::string Text;
  for (int I = 0; I < 40; ++I) Text += I % 3 ? "日本" : "ab";
  for (TqmEncodeMethod M : {cmQuotedPrintable, cmBase64}) {
    const std::string Encoded = H::EncodeText(Text, "utf-8", 60, M);
    size_t Pos = 0;
    while (Pos < Encoded.size()) {
      size_t End = Encoded.find("\r\n", Pos);
      if (End == std::string::npos) End = Encoded.size();
      const std::string Word = Encoded.substr(Pos, End - Pos);
      EXPECT_LE(Word.size(), 60u) << Word;
      // Every word decodes to valid UTF-8 on its own.
      EXPECT_TRUE(IsValidUtf8(H::DecodeText(Word, "us-ascii"))) << Word;
      Pos = End + 2;
    }
    EXPECT_EQ(H::DecodeText(Encoded, "utf-8"), Text);
  }
  // A line break never reaches the header as it stands.
  EXPECT_EQ(H::EncodeText("a\nBcc: x@example.com", "utf-8", 60, cmNone),
            "=?utf-8?Q?a=0ABcc=3A_x=40example=2Ecom?=");
  EXPECT_EQ(H::DecodeText(H::EncodeText("a\r\nb", "koi8-r", 60, cm8Bit), ""), "a\r\nb");
  // A width too small for any word still ends, one character per word.
  EXPECT_EQ(H::DecodeText(H::EncodeText("äöü", "utf-8", 1, cmBase64), "utf-8"), "äöü");
}

TEST(MailHeader, DecodeTextRules) {
  using H = TqmMailHeaderFieldList;
  EXPECT_EQ(H::DecodeText("=?utf-8?Q?a?= =?utf-8?Q?b?=", ""), "ab");
  EXPECT_EQ(H::DecodeText("=?utf-8?Q?a?= plain", ""), "a plain");
  EXPECT_EQ(H::DecodeText("x =?utf-8?Q?a?=\tplain", ""), "x a\tplain");  // white space before text stays
  EXPECT_EQ(H::DecodeText("=?bad word here", "utf-8"), "=?bad word here");
  EXPECT_EQ(H::DecodeText("a =?utf-8?Q?=C3=A9?= =?x", ""), "a é =?x");
  // A base64 word with invalid characters stays as text.
  EXPECT_EQ(H::DecodeText("=?utf-8?B?!!!?= ok", ""), "=?utf-8?B?!!!?= ok");
  // Raw 8-bit text is read in the default charset.
  EXPECT_EQ(H::DecodeText("\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r"), "Привет");
  EXPECT_EQ(H::DecodeText("=?koi8-r?B?8NLJ18XU?=", "utf-8"), "Привет");
  EXPECT_EQ(H::DecodeText("=?utf-8*en?Q?lang?=", ""), "lang");
}

TEST(MailHeader, AddressesKeepTheMailboxWhole) {
  using H = TqmMailHeaderFieldList;
  EXPECT_EQ(H::EncodeAddress("user@example.com", "utf-8", 70, cmNone), "user@example.com");
  EXPECT_EQ(H::EncodeAddress("Jörg <j@example.com>", "utf-8", 70, cmNone),
            "=?utf-8?Q?J=C3=B6rg?= <j@example.com>");
  const std::string LongMailbox = std::string(90, 'a') + "@example.com";
  const std::string Encoded =
      H::EncodeAddress("Name Here <" + LongMailbox + ">", "utf-8", 60, cmNone);
  EXPECT_EQ(Encoded, "\"Name Here\"\r\n<" + LongMailbox + ">");
  EXPECT_EQ(H::DecodeAddress("=?utf-8?Q?Doe=2C_J=C3=B6rg?= <j@example.com>", "utf-8"),
            "\"Doe, Jörg\" <j@example.com>");
}

TEST(MailHeader, FieldsRoundTrip) {
  TStringList Source;
  TqmMailHeaderFieldList W("utf-8", cmNone, 76);
  W.Parse(0, &Source);
  const std::string Subject = "Grüße, " + std::string(120, 'y') + " end";
  W.AddEncodedTextField("Subject", Subject);
  W.AddEncodedAddressField("From", "Jörg Müller <joerg@example.com>");
  TqmEmailAddressList To;
  To.AddAddress("Doe, John <john@example.com>");
  To.AddAddress("Ünal <u@example.com>");
  To.AddAddress("bare@example.com");
  W.AddAddressListField("To", To);
  W.AddField("Content-Type", "application/pdf");
  W.AddEncodedFieldItem("Content-Type", "name", "Résumé.pdf");
  W.AddField("Content-Disposition", "attachment");
  const std::string LongName = "Отчёт за " + std::string(80, 'z') + ".pdf";
  W.AddEncodedFieldItem("Content-Disposition", "filename*", LongName);
  W.AddEndOfHeader();
  for (const std::string& L : Lines(Source)) EXPECT_LE(L.size(), 78u) << L;

  TqmMailHeaderFieldList R("iso-8859-1", cmNone, 76);
  R.Parse(0, &Source);
  EXPECT_EQ(R.GetDecodedText("Subject"), Subject);
  EXPECT_EQ(R.GetDecodedAddress("From"), "\"Jörg Müller\" <joerg@example.com>");
  TqmEmailAddressList Read;
  R.GetAddressList("To", Read);
  ASSERT_EQ(Read.Count(), 3);
  EXPECT_EQ(Read.Items(0)->Name(), "Doe, John");
  EXPECT_EQ(Read.Items(1)->Name(), "Ünal");
  EXPECT_EQ(Read.Items(2)->Email(), "bare@example.com");
  EXPECT_EQ(R.GetDecodedItemValue(R.GetFieldValue("Content-Type"), "name"), "Résumé.pdf");
  const std::string Disposition = R.GetFieldValue("Content-Disposition");
  EXPECT_NE(Disposition.find("filename*0*=utf-8''"), std::string::npos) << Disposition;
  EXPECT_NE(Disposition.find("filename*1*="), std::string::npos);
  EXPECT_EQ(R.GetDecodedItemValue(Disposition, "filename*"), LongName);
}

TEST(MailHeader, ContinuationsAndFoldedAddressLists) {
  TStringList Source;
  Source.SetText(
      "To: A <a@x.org>\r\n <b@x.org>\r\n\tC <c@x.org>\r\n"
      "Content-Type: text/plain; name*0=\"one \"; name*1*=%E9t%E9; name*2=\" end\"\r\n"
      "X-Cs: x; title*0*=utf-8'en'%C3; title*1*=%A9t%C3%A9\r\n\r\n");
  TqmMailHeaderFieldList R("iso-8859-1", cmNone, 76);
  R.Parse(0, &Source);
  TqmEmailAddressList To;
  R.GetAddressList("To", To);
  ASSERT_EQ(To.Count(), 3);
  EXPECT_EQ(To.Items(1)->Email(), "b@x.org");
  EXPECT_EQ(R.GetDecodedItemValue(R.GetFieldValue("Content-Type"), "name*"), "one \xE9t\xE9 end")
      << "pieces without a charset are percent-decoded only";
  // A UTF-8 sequence split over two pieces is joined before conversion.
  EXPECT_EQ(R.GetDecodedItemValue(R.GetFieldValue("X-Cs"), "title*"), "été");
}

TEST(MailHeader, ManyContinuationsStopAtTheLimit) {
  std::string Value = "attachment";
  for (int I = 0; I < 3000; ++I) Value += "; filename*" + std::to_string(I) + "=a";
  TqmMailHeaderFieldList R("utf-8", cmNone, 76);
  EXPECT_EQ(R.GetDecodedItemValue(Value, "filename*"),
            std::string(qmMaxRfc2231Continuations + 1, 'a'));
}
