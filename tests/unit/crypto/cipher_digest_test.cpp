// The core's own AES-128 and SHA-256 against the published vectors and
// against OpenSSL on random inputs.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/block_cipher.h"
#include "crypto/digest.h"
#include "openssl_reference.h"

namespace ko::core {
namespace {

using test::Bytes;
using test::fromHex;

class BlockCipherTest : public ::testing::Test {
 protected:
  const Bytes key = fromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes plain = fromHex("00112233445566778899aabbccddeeff");
  const Bytes cipher = fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
};

TEST_F(BlockCipherTest, PublishedVectorEnciphersAndDeciphers) {
  BlockCipher::KeySchedule enc;
  BlockCipher::KeySchedule dec;
  ASSERT_EQ(BlockCipher::expandEncipherKey128(key.data(), enc), 0);
  ASSERT_EQ(BlockCipher::expandDecipherKey128(key.data(), dec), 0);
  EXPECT_EQ(enc.rounds, 10);
  EXPECT_EQ(dec.rounds, 10);
  Bytes out(16);
  BlockCipher::encipherBlock(plain.data(), out.data(), enc);
  EXPECT_EQ(out, cipher);
  BlockCipher::decipherBlock(cipher.data(), out.data(), dec);
  EXPECT_EQ(out, plain);
}

TEST_F(BlockCipherTest, InPlaceMatchesSeparateOutput) {
  BlockCipher::KeySchedule enc;
  BlockCipher::KeySchedule dec;
  BlockCipher::expandEncipherKey128(key.data(), enc);
  BlockCipher::expandDecipherKey128(key.data(), dec);
  Bytes block = plain;
  BlockCipher::encipherBlock(block.data(), block.data(), enc);
  EXPECT_EQ(block, cipher);
  BlockCipher::decipherBlock(block.data(), block.data(), dec);
  EXPECT_EQ(block, plain);
}

TEST_F(BlockCipherTest, AgreesWithOpensslOnRandomKeysAndBlocks) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 4000; ++i) {
    const Bytes k = test::randomBytes(rng, 16);
    const Bytes block = test::randomBytes(rng, 16);
    BlockCipher::KeySchedule enc;
    BlockCipher::KeySchedule dec;
    BlockCipher::expandEncipherKey128(k.data(), enc);
    BlockCipher::expandDecipherKey128(k.data(), dec);
    Bytes ours(16);
    BlockCipher::encipherBlock(block.data(), ours.data(), enc);
    ASSERT_EQ(ours, test::opensslAes128(true, k.data(), nullptr, block.data(), 16)) << "key " << i;
    BlockCipher::decipherBlock(block.data(), ours.data(), dec);
    ASSERT_EQ(ours, test::opensslAes128(false, k.data(), nullptr, block.data(), 16)) << "key " << i;
  }
}

Bytes digestOf(const Bytes& data) {
  Bytes out(32);
  sha256(out.data(), data.data(), data.size());
  return out;
}

TEST(DigestTest, PublishedDigestsOfEmptyAndAbc) {
  EXPECT_EQ(digestOf({}), fromHex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  EXPECT_EQ(digestOf({'a', 'b', 'c'}), fromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

// 55 bytes leave exactly room for the length in the last block, 56 need an
// extra block, 64 fill one block before any padding.
TEST(DigestTest, PaddingBoundariesGiveStandardDigests) {
  EXPECT_EQ(digestOf(Bytes(55, 'a')), fromHex("9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"));
  EXPECT_EQ(digestOf(Bytes(56, 'a')), fromHex("b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"));
  EXPECT_EQ(digestOf(Bytes(64, 'a')), fromHex("ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"));
  for (size_t n : {55, 56, 63, 64, 65, 119, 120, 128}) {
    const Bytes data(n, static_cast<uint8_t>(n));
    EXPECT_EQ(digestOf(data), test::opensslSha256(data.data(), data.size())) << n << " bytes";
  }
}

TEST(DigestTest, PiecewiseUpdatesEqualOneCall) {
  std::mt19937_64 rng(7);
  const Bytes data = test::randomBytes(rng, 1000);
  const Bytes whole = digestOf(data);
  for (size_t piece : {1, 63, 64, 65}) {
    Sha256Context context;
    sha256Init(context);
    for (size_t at = 0; at < data.size(); at += piece) {
      sha256Update(context, data.data() + at, std::min(piece, data.size() - at));
    }
    Bytes out(32);
    sha256Final(context, out.data());
    EXPECT_EQ(out, whole) << "pieces of " << piece;
  }
}

TEST(DigestTest, AgreesWithOpensslOnRandomLengths) {
  std::mt19937_64 rng(99);
  for (size_t n = 0; n <= 5000; n += (n < 300 ? 1 : 37)) {
    const Bytes data = test::randomBytes(rng, n);
    ASSERT_EQ(digestOf(data), test::opensslSha256(data.data(), data.size())) << n << " bytes";
  }
}

}  // namespace
}  // namespace ko::core
