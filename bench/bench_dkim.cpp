// DKIM signing and verification, 2048-bit rsa-sha256 relaxed/relaxed over a
// corpus of realistic 4 KB messages, side by side in one run with
// libopendkim (in process) and python3-dkim (bench_dkim_peer.py), with the
// raw RSA rates of OpenSSL on the same key as the floor. The verify figures
// hand the key over without DNS; "warm" figures reuse one component (the
// key decoded once), "cold" ones make a new component and decode the key
// for every message, as the peers do; a last figure verifies with the lookup
// against dnsmasq on loopback. Pin the whole run the same way for every
// side, e.g. `taskset -c 1 bench_dkim`.
//
//   bench_dkim [seconds per figure, default 3]
#define _Bool bool
#include <opendkim/dkim.h>
#undef _Bool
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "crypto/qmCryptSignature.h"
#include "crypto/qmOpenSsl.h"
#include "dkim/qmDkim.h"
#include "dns/qmDnsQuery.h"

using namespace qm;

namespace {

const std::string KeyFile = "/usr/lib/python3/dist-packages/dkim/tests/data/2048_testkey.key";

double CpuSeconds() {
  timespec T;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) * 1e-9;
}

struct TFigure {
  double Rate = 0;  // operations per wall second
  double Cpu = 0;   // CPU seconds per 1000 operations
};

// Runs AStep (one operation on message I) for about ASeconds.
TFigure Measure(double ASeconds, size_t ACount, const std::function<void(size_t)>& AStep) {
  for (size_t I = 0; I < ACount; ++I) AStep(I);  // warm up: caches, lazy set-up
  const auto Start = std::chrono::steady_clock::now();
  const double Cpu0 = CpuSeconds();
  size_t Done = 0;
  double Elapsed = 0;
  do {
    for (size_t I = 0; I < ACount; ++I) AStep(I);
    Done += ACount;
    Elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  } while (Elapsed < ASeconds);
  return {static_cast<double>(Done) / Elapsed, (CpuSeconds() - Cpu0) * 1000.0 / static_cast<double>(Done)};
}

// Realistic 4 KB messages: a Received chain, the usual fields, a text or
// multipart body of prose with some trailing white space.
std::vector<std::string> Corpus(size_t ACount) {
  std::mt19937 Random(2026);
  static const char* Words[] = {"the", "meeting", "report", "budget", "quarter", "Dear", "team,",
                                "please", "find", "attached", "review", "before", "Friday.",
                                "We", "will", "discuss", "numbers", "and", "next", "steps",
                                "caf\xC3\xA9", "regards,", "shipping", "customer", "update"};
  std::vector<std::string> Messages;
  for (size_t M = 0; M < ACount; ++M) {
    std::string S;
    for (int R = 0; R < 3; ++R)
      S += "Received: from relay" + std::to_string(R) + ".example.org (relay" + std::to_string(R) +
           ".example.org [192.0.2." + std::to_string(R + 10) +
           "])\r\n\tby mx.example.net with ESMTPS id 4Q" + std::to_string(M * 7 + R) +
           "; Mon, 7 Dec 2026 10:00:0" + std::to_string(R) + " +0000\r\n";
    S += "From: Alice Example <alice@qm.test>\r\nTo: Bob <bob@example.net>, Carol <carol@example.net>\r\n"
         "Subject: Quarterly report " + std::to_string(M) + "\r\n"
         "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" + std::to_string(M) +
         ".bench@qm.test>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: 8bit\r\n\r\n";
    while (S.size() < 4096) {
      std::string Line;
      while (Line.size() < 66) Line += std::string(Words[Random() % 25]) + (Random() % 9 ? " " : "  ");
      S += Line + (Random() % 5 ? "\r\n" : " \t\r\n");
      if (Random() % 7 == 0) S += "\r\n";
    }
    S += "\r\n\r\n";
    Messages.push_back(S);
  }
  return Messages;
}

TStringList ToLines(const std::string& AText) {
  std::vector<std::string> Lines;
  AppendLinesOf(AText, Lines);
  return TStringList(std::move(Lines));
}

std::string ReadText(const std::string& APath) {
  std::ifstream In(APath, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
}

// --- libopendkim ---

std::string GOpenDkimRecord;

DKIM_CBSTAT OpenDkimKey(DKIM*, DKIM_SIGINFO*, u_char* ABuf, size_t ALen) {
  snprintf(reinterpret_cast<char*>(ABuf), ALen, "%s", GOpenDkimRecord.c_str());
  return DKIM_STAT_OK;
}

DKIM_STAT OpenDkimFeed(DKIM* ADkim, const std::string& AMessage) {
  const size_t End = AMessage.find("\r\n\r\n");
  size_t Pos = 0;
  std::string Field;
  auto Flush = [&] {
    if (!Field.empty()) dkim_header(ADkim, reinterpret_cast<u_char*>(Field.data()), Field.size());
    Field.clear();
  };
  while (Pos < End + 2) {
    const size_t Eol = AMessage.find("\r\n", Pos);
    if (AMessage[Pos] == ' ' || AMessage[Pos] == '\t') {
      Field.append(AMessage, Pos - 2, Eol - Pos + 2);
    } else {
      Flush();
      Field.assign(AMessage, Pos, Eol - Pos);
    }
    Pos = Eol + 2;
  }
  Flush();
  dkim_eoh(ADkim);
  dkim_body(ADkim, reinterpret_cast<u_char*>(const_cast<char*>(AMessage.data() + End + 4)),
            AMessage.size() - End - 4);
  return dkim_eom(ADkim, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const double Seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const std::vector<std::string> Messages = Corpus(50);
  const size_t N = Messages.size();
  printf("DKIM 2048-bit rsa-sha256 relaxed/relaxed, %zu messages of %zu bytes on average, %.0f s per figure\n",
         N, [&] { size_t T = 0; for (auto& M : Messages) T += M.size(); return T / N; }(), Seconds);

  // Our side.
  TqmDkim Signer;
  Signer.SetDomain("qm.test");
  Signer.SetSelector("sel2048");
  Signer.SetCanonicalization("relaxed/relaxed");
  Signer.LoadPrivateKeyFromFile(KeyFile);
  const TqmByteArray PublicKey = Signer.PrivateKey().GetPublicKeyInfo();
  const std::string Record = "v=DKIM1; k=rsa; p=" + EncodeBase64(PublicKey);
  std::vector<std::string> Signed;
  for (const std::string& M : Messages) {
    TStringList L = ToLines(M);
    Signer.Sign(L);
    Signed.push_back(L.Text());
  }

  // "profile-verify": only our verification, for a profiler.
  if (argc > 2 && std::string(argv[2]) == "profile-verify") {
    TqmDkim V;
    V.OnGetPublicKey = [&](TObject*, TqmDkimSignature*, TqmByteArray& AKey) { AKey = PublicKey; };
    const TFigure F = Measure(Seconds, N, [&](size_t I) {
      TStringList L = ToLines(Signed[I]);
      V.Verify(L);
    });
    printf("quillmark verify %.0f msgs/s, %.3f CPU s per 1000\n", F.Rate, F.Cpu);
    return 0;
  }

  // The floor: OpenSSL signing and checking a SHA-256 digest with the key.
  TqmOpenSslRsaKey& Key = dynamic_cast<TqmOpenSslRsaKey&>(Signer.PrivateKey());
  unsigned char Digest[32] = {1, 2, 3};
  unsigned char Sig[512];
  size_t SigLen = sizeof Sig;
  auto FloorCtx = [&](bool ASign) {
    TqmEvpPkeyCtxPtr Ctx(EVP_PKEY_CTX_new(Key.Handle(), nullptr));
    ASign ? EVP_PKEY_sign_init(Ctx.get()) : EVP_PKEY_verify_init(Ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(Ctx.get(), RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(Ctx.get(), EVP_sha256());
    return Ctx;
  };
  TqmEvpPkeyCtxPtr SignCtx = FloorCtx(true), VerifyCtx = FloorCtx(false);
  EVP_PKEY_sign(SignCtx.get(), Sig, &SigLen, Digest, 32);
  const TFigure FloorSign = Measure(Seconds, 1, [&](size_t) {
    size_t Len = sizeof Sig;
    EVP_PKEY_sign(SignCtx.get(), Sig, &Len, Digest, 32);
  });
  const TFigure FloorVerify = Measure(Seconds, 1, [&](size_t) {
    if (EVP_PKEY_verify(VerifyCtx.get(), Sig, SigLen, Digest, 32) != 1) abort();
  });

  const TFigure OurSign = Measure(Seconds, N, [&](size_t I) {
    TStringList L = ToLines(Messages[I]);
    Signer.Sign(L);
  });
  TqmDkim Verifier;
  Verifier.OnGetPublicKey = [&](TObject*, TqmDkimSignature*, TqmByteArray& AKey) { AKey = PublicKey; };
  const TFigure OurVerify = Measure(Seconds, N, [&](size_t I) {
    TStringList L = ToLines(Signed[I]);
    Verifier.Verify(L);
    if (Verifier.Signatures()[0]->VerifyStatus.Status() != dvsVerified) abort();
  });

  // Cold: a new component for every message, the key decoded each time,
  // as libopendkim and python3-dkim do below.
  const TqmByteArray PemBytes = ReadFileBytes(KeyFile);
  const TFigure OurSignCold = Measure(Seconds, N, [&](size_t I) {
    TqmDkim D;
    D.SetDomain("qm.test");
    D.SetSelector("sel2048");
    D.SetCanonicalization("relaxed/relaxed");
    D.LoadPrivateKey(PemBytes);
    TStringList L = ToLines(Messages[I]);
    D.Sign(L);
  });
  const TFigure OurVerifyCold = Measure(Seconds, N, [&](size_t I) {
    TqmDkim V;
    V.OnGetPublicKey = [&](TObject*, TqmDkimSignature*, TqmByteArray& AKey) { AKey = PublicKey; };
    TStringList L = ToLines(Signed[I]);
    V.Verify(L);
    if (V.Signatures()[0]->VerifyStatus.Status() != dvsVerified) abort();
  });

  // libopendkim in the same process, the key handed over by callback.
  GOpenDkimRecord = Record;
  DKIM_LIB* Lib = dkim_init(nullptr, nullptr);
  dkim_set_key_lookup(Lib, OpenDkimKey);
  const std::string Pem = ReadText(KeyFile);
  const TFigure OpenSign = Measure(Seconds, N, [&](size_t I) {
    DKIM_STAT Status;
    DKIM* D = dkim_sign(Lib, reinterpret_cast<const u_char*>("b"), nullptr,
                        reinterpret_cast<dkim_sigkey_t>(const_cast<char*>(Pem.c_str())),
                        reinterpret_cast<const u_char*>("sel2048"), reinterpret_cast<const u_char*>("qm.test"),
                        DKIM_CANON_RELAXED, DKIM_CANON_RELAXED, DKIM_SIGN_RSASHA256, -1, &Status);
    OpenDkimFeed(D, Messages[I]);
    u_char* Buf;
    size_t Len;
    if (dkim_getsighdr_d(D, 16, &Buf, &Len) != DKIM_STAT_OK) abort();
    dkim_free(D);
  });
  const TFigure OpenVerify = Measure(Seconds, N, [&](size_t I) {
    DKIM_STAT Status;
    DKIM* D = dkim_verify(Lib, reinterpret_cast<const u_char*>("b"), nullptr, &Status);
    if (OpenDkimFeed(D, Signed[I]) != DKIM_STAT_OK) abort();
    dkim_free(D);
  });
  dkim_close(Lib);

  // python3-dkim in a child process (same CPU affinity), reading the same
  // messages.
  const std::filesystem::path Tmp = std::filesystem::temp_directory_path() / ("qm-bench-dkim-" + std::to_string(getpid()));
  std::filesystem::create_directories(Tmp);
  for (size_t I = 0; I < N; ++I) {
    std::ofstream(Tmp / ("m" + std::to_string(I)), std::ios::binary) << Messages[I];
    std::ofstream(Tmp / ("s" + std::to_string(I)), std::ios::binary) << Signed[I];
  }
  std::ofstream(Tmp / "record") << Record;
  const std::string PyCommand = "/usr/bin/python3 " + std::string(QM_SOURCE_DIR) + "/bench/bench_dkim_peer.py " +
                                Tmp.string() + " " + std::to_string(N) + " " + KeyFile + " " +
                                std::to_string(Seconds);
  TFigure PySign, PyVerify;
  if (FILE* Pipe = popen(PyCommand.c_str(), "r")) {
    if (fscanf(Pipe, "%lf %lf %lf %lf", &PySign.Rate, &PySign.Cpu, &PyVerify.Rate, &PyVerify.Cpu) != 4)
      fprintf(stderr, "python3-dkim peer gave no figures\n");
    pclose(Pipe);
  }

  // Verification with the key fetched from dnsmasq for every message.
  TFigure DnsVerify;
  {
    const std::string State = (Tmp / "dns").string();
    std::filesystem::create_directories(State);
    std::ofstream(Tmp / "records.conf") << "auth-server=ns.qm.test,127.0.0.1\nauth-zone=qm.test\n"
                                        << "txt-record=sel2048._domainkey.qm.test,\"" << Record.substr(0, 200)
                                        << "\",\"" << Record.substr(200) << "\"\n";
    const std::string Start = std::string(QM_SOURCE_DIR) + "/tests/servers/start-dnsmasq.sh " + State +
                              " --records " + (Tmp / "records.conf").string() + " > /dev/null 2>&1";
    if (std::system(Start.c_str()) == 0) {
      int Port = 0;
      std::ifstream Env(State + "/dnsmasq.env");
      for (std::string Line; std::getline(Env, Line);)
        if (Line.rfind("DNS_PORT=", 0) == 0) Port = std::atoi(Line.c_str() + 9);
      TqmDkim DnsVerifier;
      DnsVerifier.DnsQuery().SetServer("127.0.0.1");
      DnsVerifier.DnsQuery().SetPort(Port);
      DnsVerify = Measure(Seconds, N, [&](size_t I) {
        TStringList L = ToLines(Signed[I]);
        DnsVerifier.Verify(L);
        if (DnsVerifier.Signatures()[0]->VerifyStatus.Status() != dvsVerified) abort();
      });
      std::system((std::string(QM_SOURCE_DIR) + "/tests/servers/stop-all.sh " + State + " > /dev/null 2>&1").c_str());
    } else {
      fprintf(stderr, "dnsmasq did not start; no DNS figure\n");
    }
  }
  std::filesystem::remove_all(Tmp);

  auto Row = [](const char* AName, const TFigure& F) {
    printf("  %-34s %9.0f msgs/s  %7.3f CPU s per 1000\n", AName, F.Rate, F.Cpu);
  };
  printf("\nSigning (libopendkim and python3-dkim decode the key for every message: cold)\n");
  Row("OpenSSL RSA sign (floor)", FloorSign);
  Row("quillmark warm (one component)", OurSign);
  Row("quillmark cold (one per message)", OurSignCold);
  Row("libopendkim", OpenSign);
  Row("python3-dkim", PySign);
  printf("  ratios warm: quillmark/floor %.2f, /libopendkim %.2f, /python3-dkim %.2f\n", OurSign.Rate / FloorSign.Rate,
         OurSign.Rate / OpenSign.Rate, PySign.Rate > 0 ? OurSign.Rate / PySign.Rate : 0.0);
  printf("  ratios cold: quillmark/floor %.2f, /libopendkim %.2f, /python3-dkim %.2f\n",
         OurSignCold.Rate / FloorSign.Rate, OurSignCold.Rate / OpenSign.Rate,
         PySign.Rate > 0 ? OurSignCold.Rate / PySign.Rate : 0.0);
  printf("\nVerifying, key handed over without DNS\n");
  Row("OpenSSL RSA verify (floor)", FloorVerify);
  Row("quillmark warm (key cached)", OurVerify);
  Row("quillmark cold (one per message)", OurVerifyCold);
  Row("libopendkim", OpenVerify);
  Row("python3-dkim", PyVerify);
  printf("  ratios warm: quillmark/floor %.2f, /libopendkim %.2f, /python3-dkim %.2f\n",
         OurVerify.Rate / FloorVerify.Rate, OurVerify.Rate / OpenVerify.Rate,
         PyVerify.Rate > 0 ? OurVerify.Rate / PyVerify.Rate : 0.0);
  printf("  ratios cold: quillmark/floor %.2f, /libopendkim %.2f, /python3-dkim %.2f\n",
         OurVerifyCold.Rate / FloorVerify.Rate, OurVerifyCold.Rate / OpenVerify.Rate,
         PyVerify.Rate > 0 ? OurVerifyCold.Rate / PyVerify.Rate : 0.0);
  printf("\nVerifying with the key looked up in dnsmasq (UDP, loopback) for every message\n");
  Row("quillmark", DnsVerify);
  return 0;
}
