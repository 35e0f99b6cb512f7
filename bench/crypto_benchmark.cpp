// Throughput of the core's AES-128-CBC transform and SHA-256 beside OpenSSL
// on 4 KiB and 64 KiB buffers, run as interleaved pairs (paired.h); the
// table at the end gives the core's rate over OpenSSL's for each cell.
//
// OpenSSL reads its CPU capability mask once, when the library loads, so the
// program re-executes itself with OPENSSL_ia32cap masking AES-NI, PCLMULQDQ
// and the SHA extensions unless the variable is already set: software is
// compared with software. Run with OPENSSL_ia32cap='~0' to see OpenSSL's
// hardware paths instead.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "crypto/block_cipher.h"
#include "crypto/digest.h"
#include "crypto/transform.h"
#include "paired.h"

namespace {

using namespace ko::core;

constexpr const char* SoftwareOnlyMask = "~0x200000200000000:~0x20000000";

std::vector<uint8_t> zeroFreeBytes(size_t n) {
  std::mt19937 rng(5);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(1 + rng() % 255);
  return out;
}

const uint8_t Key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                         0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const uint8_t Iv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

void setThroughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The product path: fresh IV from the random device, key expansion, CBC.
void KoTransformEncode(benchmark::State& state) {
  const auto plain = zeroFreeBytes(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(Transform::requiredOutputSize(plain.size()));
  Transform transform;
  transform.setKey({Key, 16}, false);
  transform.setOutputBuffer(out.data(), out.size());
  for (auto _ : state) {
    uint64_t length = plain.size();
    TransformStatus status;
    benchmark::DoNotOptimize(transform.encodeBuffer(plain.data(), length, status));
    benchmark::ClobberMemory();
  }
  setThroughput(state);
}

void KoTransformDecode(benchmark::State& state) {
  const auto plain = zeroFreeBytes(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> stored(Transform::requiredOutputSize(plain.size()));
  Transform transform;
  transform.setKey({Key, 16}, false);
  transform.setOutputBuffer(stored.data(), stored.size());
  uint64_t storedLength = plain.size();
  TransformStatus status;
  transform.encodeBuffer(plain.data(), storedLength, status);
  std::vector<uint8_t> out(storedLength);
  transform.setOutputBuffer(out.data(), out.size());
  for (auto _ : state) {
    uint64_t length = storedLength;
    benchmark::DoNotOptimize(transform.decodeBuffer(stored.data(), length, status));
    benchmark::ClobberMemory();
  }
  setThroughput(state);
}

// The transform's enciphering with the seed block already in place: the
// encode without the IV draw, to separate the random device's cost from the
// cipher's.
void KoTransformEncipherOnly(benchmark::State& state) {
  const auto plain = zeroFreeBytes(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(Transform::requiredOutputSize(plain.size()));
  Transform transform;
  transform.setKey({Key, 16}, false);
  for (auto _ : state) {
    std::memcpy(out.data(), Iv, 16);
    std::memcpy(out.data() + 16, plain.data(), plain.size());
    uint64_t length = plain.size();
    transform.encipherSeeded(out.data() + 16, out.data(), length);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setThroughput(state);
}

// One IV draw: a fresh identifier from the random device, as every encode
// makes.
void KoIvSeedBlock(benchmark::State& state) {
  uint8_t block[16];
  for (auto _ : state) {
    Transform::ivSeedBlock(block);
    benchmark::DoNotOptimize(block);
  }
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

void opensslCbc(benchmark::State& state, bool encrypt) {
  const auto in = zeroFreeBytes(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(in.size() + 16);
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  for (auto _ : state) {
    int produced = 0;
    // A fresh key setup per buffer, as the core's transform does.
    if (EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, Key, Iv, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_CipherUpdate(context.get(), out.data(), &produced, in.data(), static_cast<int>(in.size())) != 1) {
      state.SkipWithError("OpenSSL cipher failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setThroughput(state);
}

void OpensslCbcEncrypt(benchmark::State& state) { opensslCbc(state, true); }
void OpensslCbcDecrypt(benchmark::State& state) { opensslCbc(state, false); }

void KoSha256(benchmark::State& state) {
  const auto in = zeroFreeBytes(static_cast<size_t>(state.range(0)));
  uint8_t digest[32];
  for (auto _ : state) {
    sha256(digest, in.data(), in.size());
    benchmark::DoNotOptimize(digest);
  }
  setThroughput(state);
}

void OpensslSha256(benchmark::State& state) {
  const auto in = zeroFreeBytes(static_cast<size_t>(state.range(0)));
  uint8_t digest[32];
  unsigned int size = 0;
  for (auto _ : state) {
    if (EVP_Digest(in.data(), in.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
      state.SkipWithError("OpenSSL digest failed");
      break;
    }
    benchmark::DoNotOptimize(digest);
  }
  setThroughput(state);
}

void registerCells(int pairs) {
  using kobench::registerPairs;
  const auto sized = [](int64_t bytes) { return [bytes](benchmark::internal::Benchmark* b) { b->Arg(bytes); }; };
  for (int64_t size : {4096, 65536}) {
    // snprintf rather than string concatenation: GCC 12 warns wrongly about
    // the latter at -O3.
    const auto name = [size](const char* format) {
      char text[96];
      std::snprintf(text, sizeof text, format, static_cast<long long>(size), static_cast<long long>(size / 1024));
      return std::string(text);
    };
    registerPairs(name("encode/%lld"), {name("AES-128-CBC encode w/o IV draw / OpenSSL encrypt, %2$lld KiB"), 1.0},
                  pairs, KoTransformEncipherOnly, OpensslCbcEncrypt, sized(size));
    registerPairs(name("encodeIv/%lld"), {name("AES-128-CBC encode with IV draw / OpenSSL encrypt, %2$lld KiB"), 0},
                  pairs, KoTransformEncode, OpensslCbcEncrypt, sized(size));
    registerPairs(name("decode/%lld"), {name("AES-128-CBC decode / OpenSSL decrypt, %2$lld KiB"), 0.9}, pairs,
                  KoTransformDecode, OpensslCbcDecrypt, sized(size));
    registerPairs(name("sha256/%lld"), {name("SHA-256 / OpenSSL, %2$lld KiB"), 0.8}, pairs, KoSha256,
                  OpensslSha256, sized(size));
  }
  benchmark::RegisterBenchmark("KoIvSeedBlock", KoIvSeedBlock);
}

// Prints the IV draw's cost after the table.
class CryptoReporter : public kobench::PairedReporter {
 public:
  using PairedReporter::PairedReporter;
  void ReportRuns(const std::vector<Run>& runs) override {
    PairedReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.benchmark_name() == "KoIvSeedBlock" && !run.error_occurred) ivNanos_ = run.GetAdjustedCPUTime();
    }
  }
  void Finalize() override {
    PairedReporter::Finalize();
    if (ivNanos_ > 0) std::printf("| %-58s | %6.2f | %-13s | %-10s |\n", "IV draw (open, read, close the random device), us", ivNanos_ / 1000, "", "");
  }

 private:
  double ivNanos_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("OPENSSL_ia32cap") == nullptr) {
    if (setenv("OPENSSL_ia32cap", SoftwareOnlyMask, 1) == 0) {
      execv("/proc/self/exe", argv);
    }
    std::perror("re-executing with OPENSSL_ia32cap");
    return 1;
  }
  benchmark::AddCustomContext("OPENSSL_ia32cap", std::getenv("OPENSSL_ia32cap"));
  const int pairs = kobench::takePairsArgument(argc, argv);
  const bool quiet = kobench::takeQuietArgument(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerCells(pairs);
  CryptoReporter reporter(quiet);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
