// Our base64 and quoted-printable output, decoded by GMime and by Python's
// base64 and quopri modules.
#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/qmStream.h"
#include "message/qmEncoder.h"

namespace qm {
namespace {

std::string EncodeWith(TqmEncodeMethod AMethod, const std::string& AData, bool ASuppressCrlf) {
  TqmEncoder E;
  E.SetEncodeMethod(AMethod);
  E.SetSuppressCrlf(ASuppressCrlf);
  TStringStream Source(AData);
  TMemoryStream Dest;
  E.Encode(Source, Dest);
  return Dest.DataString();
}

std::string GMimeDecode(TqmEncodeMethod AMethod, const std::string& ACoded) {
  std::string Out(ACoded.size() + 16, '\0');
  int State = 0;
  guint32 Save = 0;
  const auto* In = reinterpret_cast<const unsigned char*>(ACoded.data());
  auto* Buf = reinterpret_cast<unsigned char*>(Out.data());
  const size_t N = AMethod == cmBase64
                       ? g_mime_encoding_base64_decode_step(In, ACoded.size(), Buf, &State, &Save)
                       : g_mime_encoding_quoted_decode_step(In, ACoded.size(), Buf, &State, &Save);
  Out.resize(N);
  return Out;
}

// Samples: random binary data of many sizes, and text with the cases that
// matter to quoted-printable (trailing blanks, long lines, CR LF, "=").
std::vector<std::string> Samples() {
  std::vector<std::string> S;
  std::mt19937 Rng(2045);
  for (size_t N : {1u, 2u, 3u, 57u, 58u, 75u, 76u, 77u, 1000u, 4096u, 100000u}) {
    std::string D(N, '\0');
    for (char& C : D) C = static_cast<char>(Rng() & 0xFF);
    S.push_back(D);
  }
  S.push_back("trailing space \r\nand tab\t\r\nend with space ");
  S.push_back(std::string(200, 'a') + "\r\n" + std::string(150, ' ') + "\r\n=3D = \r\n");
  S.push_back("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\r\n\r\nZeile zwei.\r\n");
  std::string Text;
  for (int I = 0; I < 500; ++I) Text += std::string(Rng() % 120, static_cast<char>('a' + I % 26)) + (I % 7 ? " " : "\r\n");
  S.push_back(Text);
  return S;
}

TEST(EncoderPeers, GMimeDecodesOurOutput) {
  for (TqmEncodeMethod Method : {cmBase64, cmQuotedPrintable}) {
    for (bool Suppress : {false, true}) {
      for (const std::string& Data : Samples()) {
        const std::string Coded = EncodeWith(Method, Data, Suppress);
        EXPECT_TRUE(GMimeDecode(Method, Coded) == Data) << Method << " " << Suppress << " " << Data.size();
      }
    }
  }
}

TEST(EncoderPeers, PythonDecodesOurOutput) {
  const auto Dir = std::filesystem::temp_directory_path() / ("qm_peers_" + std::to_string(::getpid()));
  std::filesystem::create_directories(Dir);
  const std::vector<std::string> Data = Samples();
  std::vector<std::pair<std::string, std::string>> Expected;  // file name, expected bytes
  int K = 0;
  for (TqmEncodeMethod Method : {cmBase64, cmQuotedPrintable}) {
    for (bool Suppress : {false, true}) {
      for (const std::string& D : Data) {
        const std::string Name = (Method == cmBase64 ? "b64_" : "qp_") + std::to_string(K++);
        std::ofstream(Dir / Name, std::ios::binary) << EncodeWith(Method, D, Suppress);
        Expected.emplace_back(Name, D);
      }
    }
  }
  std::ofstream(Dir / "decode.py")
      << "import base64, quopri, os, sys\n"
         "d = sys.argv[1]\n"
         "for n in os.listdir(d):\n"
         "    if n.startswith('b64_'):\n"
         "        out = base64.b64decode(open(os.path.join(d, n), 'rb').read())\n"
         "    elif n.startswith('qp_'):\n"
         "        out = quopri.decodestring(open(os.path.join(d, n), 'rb').read())\n"
         "    else:\n"
         "        continue\n"
         "    open(os.path.join(d, n + '.out'), 'wb').write(out)\n";
  const std::string Cmd = "python3 '" + (Dir / "decode.py").string() + "' '" + Dir.string() + "'";
  ASSERT_EQ(std::system(Cmd.c_str()), 0) << "python3 is needed for this test";
  for (const auto& [Name, Bytes] : Expected) {
    std::ifstream In(Dir / (Name + ".out"), std::ios::binary);
    ASSERT_TRUE(In.good()) << Name;
    std::stringstream Got;
    Got << In.rdbuf();
    EXPECT_TRUE(Got.str() == Bytes) << Name << ": " << Got.str().size() << " bytes decoded, " << Bytes.size() << " expected";
  }
  std::filesystem::remove_all(Dir);
}

}  // namespace
}  // namespace qm
