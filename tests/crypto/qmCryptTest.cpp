#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <memory>
#include <string>

#include "crypto/qmConfig.h"
#include "crypto/qmCryptHash.h"
#include "crypto/qmCryptMac.h"
#include "dkim/qmDkimConfig.h"

using namespace qm;

namespace {
TqmByteArray Bytes(const std::string& S) { return TqmByteArray(S.begin(), S.end()); }

std::string HashHex(TqmHash& H, const std::string& Data) {
  H.Init();
  H.Update(Bytes(Data), 0, static_cast<int>(Data.size()));
  return LowerHex(H.Final());
}

std::string HmacHex(const TqmByteArray& Key, const std::string& Data) {
  TqmHmacMd5 Mac;
  Mac.InitKey(Key);
  Mac.Update(Bytes(Data), 0, static_cast<int>(Data.size()));
  return LowerHex(Mac.Final());
}
}  // namespace

TEST(CryptHashTest, KnownAnswers) {
  // RFC 1321 appendix A.5.
  TqmMd5 Md5;
  EXPECT_EQ(HashHex(Md5, ""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(HashHex(Md5, "abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(HashHex(Md5, "message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(HashHex(Md5, "12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  // FIPS 180 examples.
  TqmSha1 Sha1;
  EXPECT_EQ(HashHex(Sha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(HashHex(Sha1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  TqmSha256 Sha256;
  EXPECT_EQ(HashHex(Sha256, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HashHex(Sha256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Md5.GetHashSize(), 16);
  EXPECT_EQ(Sha1.GetHashSize(), 20);
  EXPECT_EQ(Sha256.GetHashSize(), 32);
  // A million 'a' fed in uneven pieces.
  Sha1.Init();
  const std::string Piece(977, 'a');
  size_t Left = 1000000;
  while (Left > 0) {
    size_t N = std::min(Left, Piece.size());
    Sha1.Update(Bytes(Piece), 0, static_cast<int>(N));
    Left -= N;
  }
  EXPECT_EQ(LowerHex(Sha1.Final()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(CryptHashTest, FinalLeavesTheObjectReadyAndPartsEqualTheWhole) {
  TqmSha256 H;
  H.Init();
  H.Update(Bytes("hello world"), 0, 5);
  H.Update(Bytes("hello world"), 5, 100);  // the count is clipped to the array
  TqmByteArray Parts = H.Final();
  EXPECT_EQ(LowerHex(H.Final()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Parts, [] {
    TqmSha256 W;
    W.Init();
    W.Update(std::string("hello world"));
    return W.Final();
  }());
  H.Update(Bytes("x"), 5, 1);  // a start past the end hashes nothing
  EXPECT_EQ(LowerHex(H.Final()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(CryptMacTest, Rfc2202HmacMd5) {
  EXPECT_EQ(HmacHex(TqmByteArray(16, 0x0b), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(HmacHex(Bytes("Jefe"), "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(HmacHex(TqmByteArray(16, 0xaa), std::string(50, '\xdd')), "56be34521d144c88dbb8c733f0e8b3f6");
  // Keys longer than the block are hashed first (80 bytes of 0xaa).
  EXPECT_EQ(HmacHex(TqmByteArray(80, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(HmacHex(TqmByteArray(80, 0xaa),
                    "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
            "6f630fad67cda0ee1fb1f562db3aa53e");
  // An 80-byte key equals keying with its MD5 digest; a 64-byte key is used as it is.
  TqmMd5 Md5;
  Md5.Init();
  Md5.Update(TqmByteArray(80, 0x11), 0, 80);
  EXPECT_EQ(HmacHex(TqmByteArray(80, 0x11), "data"), HmacHex(Md5.Final(), "data"));
  // Every key length around the block size agrees with OpenSSL's own HMAC.
  for (size_t Len = 0; Len <= 130; ++Len) {
    TqmByteArray Key(Len);
    for (size_t I = 0; I < Len; ++I) Key[I] = static_cast<uint8_t>(I * 31 + 7);
    unsigned char Out[EVP_MAX_MD_SIZE];
    unsigned int OutLen = 0;
    const std::string Data = "message under key of length " + std::to_string(Len);
    HMAC(EVP_md5(), Key.data(), static_cast<int>(Len), reinterpret_cast<const unsigned char*>(Data.data()),
         Data.size(), Out, &OutLen);
    EXPECT_EQ(HmacHex(Key, Data), LowerHex(TqmByteArray(Out, Out + OutLen))) << Len;
  }
}

TEST(CryptMacTest, KeyStaysAcrossMessagesAndIntegersAreBigEndian) {
  TqmHmacMd5 Mac;
  Mac.InitKey(Bytes("Jefe"));
  Mac.Update(Bytes("what do ya want for nothing?"), 0, 28);
  EXPECT_EQ(LowerHex(Mac.Final()), "750c783e6ab0b503eaa86e310a5db738");
  Mac.Update(Bytes("what do ya want for nothing?"), 0, 28);
  EXPECT_EQ(LowerHex(Mac.Final()), "750c783e6ab0b503eaa86e310a5db738");
  Mac.UpdateInteger(0x41424344);
  EXPECT_EQ(LowerHex(Mac.Final()), HmacHex(Bytes("Jefe"), "ABCD"));
  EXPECT_EQ(Mac.GetHashSize(), 16);
}

TEST(CryptTextHelpersTest, Md5HexAndCramMd5) {
  // RFC 1939 APOP example.
  EXPECT_EQ(Md5Hex("<1896.697170952@dbc.mtview.ca.us>tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");
  // RFC 2195 CRAM-MD5 example.
  EXPECT_EQ(HmacMd5Hex("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
            "b913a602c7eda7a495b4e6e7334d3890");
  EXPECT_EQ(Md5Hex(""), "");
  EXPECT_EQ(HmacMd5Hex("", "key"), "");
  EXPECT_EQ(HmacMd5Hex("text", ""), "");
}

TEST(ConfigTest, RegistryCreatesByNameReplacesAndRemoves) {
  TqmDkimConfig Config;
  auto Hash = Config.CreateInstanceAs<TqmHash>("SHA256");
  ASSERT_NE(Hash, nullptr);
  EXPECT_NE(dynamic_cast<TqmSha256*>(Hash.get()), nullptr);
  EXPECT_EQ(Config.CreateInstance("md4"), nullptr);
  EXPECT_THROW(Config.CreateInstanceAs<TqmMac>("sha1"), EInvalidCast);

  const int Count = Config.TypeCount();
  Config.SetType("Sha1", ConfigClassOf<TqmMd5>());
  EXPECT_EQ(Config.TypeCount(), Count);
  EXPECT_EQ(Config.TypeName(0), "sha1");  // the entry keeps its place
  EXPECT_NE(dynamic_cast<TqmMd5*>(Config.CreateInstance("sha1").get()), nullptr);
  Config.SetType("sha1", nullptr);
  EXPECT_EQ(Config.CreateInstance("sha1"), nullptr);
  EXPECT_EQ(Config.TypeCount(), Count - 1);

  EXPECT_EQ(Config.GetConfig("anything"), "");
  Config.Settings().Add("Selector=mail");
  EXPECT_EQ(Config.GetConfig("selector"), "mail");
}
