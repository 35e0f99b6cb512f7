// The buffer transform: sizes, status codes, the padding rules and the
// stored form as any AES-128-CBC implementation reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "crypto/transform.h"
#include "openssl_reference.h"

namespace ko::core {
namespace {

using test::Bytes;

class TransformTest : public ::testing::Test {
 protected:
  // Encodes into a buffer of exactly the required capacity.
  Bytes encode(const Bytes& plain) {
    Bytes out(Transform::requiredOutputSize(plain.size()));
    transform.setOutputBuffer(out.data(), out.size());
    uint64_t length = plain.size();
    TransformStatus status;
    EXPECT_EQ(transform.encodeBuffer(plain.data(), length, status), out.data());
    EXPECT_EQ(status, TransformStatus::Ok);
    out.resize(length);
    return out;
  }

  Bytes decode(const Bytes& stored, TransformStatus expected = TransformStatus::Ok) {
    Bytes out(stored.size() + 8, 0xaa);
    transform.setOutputBuffer(out.data(), out.size());
    uint64_t length = stored.size();
    TransformStatus status;
    uint8_t* result = transform.decodeBuffer(stored.data(), length, status);
    EXPECT_EQ(status, expected);
    EXPECT_EQ(result, expected == TransformStatus::Ok ? out.data() : nullptr);
    if (expected == TransformStatus::Ok) {
      // A lone IV block yields nothing and no terminator.
      if (length != 0) {
        EXPECT_EQ(out[length], 0) << "no terminating zero";
      }
    } else {
      EXPECT_EQ(out, Bytes(out.size(), 0xaa)) << "output written on failure";
    }
    out.resize(length);
    return out;
  }

  Transform transform;
  std::mt19937_64 rng{1234};
};

TEST_F(TransformTest, RequiredOutputSizeCoversIvAndPadding) {
  EXPECT_EQ(Transform::requiredOutputSize(0), 48u);
  EXPECT_EQ(Transform::requiredOutputSize(1), 48u);
  EXPECT_EQ(Transform::requiredOutputSize(15), 48u);
  EXPECT_EQ(Transform::requiredOutputSize(16), 48u);
  EXPECT_EQ(Transform::requiredOutputSize(17), 64u);
  EXPECT_EQ(Transform::requiredOutputSize(32), 80u);
  EXPECT_EQ(Transform::requiredOutputSize(UINT64_MAX - 10), UINT64_MAX) << "size wrapped around";
}

TEST_F(TransformTest, StoredSizesFollowPaddingRule) {
  EXPECT_EQ(encode(Bytes(5, 'x')).size(), 32u);
  EXPECT_EQ(encode(Bytes(16, 'x')).size(), 32u);
  EXPECT_EQ(encode(Bytes(17, 'x')).size(), 48u);
  EXPECT_EQ(encode(Bytes(32, 'x')).size(), 64u);
}

// Whatever a conforming AES-128-CBC makes of the bytes after the first
// block, with the first block as IV, is the zero-padded data.
TEST_F(TransformTest, StoredFormIsStandardCbcBehindIvBlock) {
  for (size_t n : {1, 15, 16, 17, 31, 32, 33, 100, 1000}) {
    const Bytes key = test::randomBytes(rng, 16);
    transform.setKey(key, false);
    const Bytes plain = test::randomBytes(rng, n);
    const Bytes stored = encode(plain);
    const Bytes opened =
        test::opensslAes128(false, key.data(), stored.data(), stored.data() + 16, stored.size() - 16);
    Bytes padded = plain;
    padded.resize(stored.size() - 16, 0);
    EXPECT_EQ(opened, padded) << n << " bytes";
  }
}

TEST_F(TransformTest, ThirtyTwoByteKeyModeUsesFirstSixteenBytes) {
  const Bytes longKey = test::randomBytes(rng, 32);
  transform.setKey(longKey, true);
  const Bytes plain = test::randomBytes(rng, 40, true);
  const Bytes stored = encode(plain);
  const Bytes opened = test::opensslAes128(false, longKey.data(), stored.data(), stored.data() + 16, 48);
  EXPECT_EQ(Bytes(opened.begin(), opened.begin() + 40), plain);
}

// The first stored block is the seed (identifier bytes 0..7, then 6..9
// twice) enciphered with the key: a seed stored raw would still decode.
TEST_F(TransformTest, IvBlockIsTheEncipheredSeed) {
  const auto seedShaped = [](const Bytes& b) {
    return std::equal(b.begin() + 8, b.begin() + 12, b.begin() + 12) &&
           std::equal(b.begin() + 6, b.begin() + 8, b.begin() + 8);
  };
  for (int i = 0; i < 4; ++i) {
    const Bytes key = test::randomBytes(rng, 16);
    transform.setKey(key, false);
    const Bytes stored = encode(test::randomBytes(rng, 20, true));
    const Bytes iv(stored.begin(), stored.begin() + 16);
    EXPECT_FALSE(seedShaped(iv)) << "IV stored unenciphered";
    const Bytes seed = test::opensslAes128(false, key.data(), nullptr, iv.data(), 16);
    ASSERT_EQ(seed.size(), 16u);
    EXPECT_TRUE(seedShaped(seed)) << "deciphered IV is not a seed block";
  }
}

TEST_F(TransformTest, EncodingTwiceDiffersAndBothDecode) {
  const Bytes plain = test::randomBytes(rng, 50, true);
  const Bytes a = encode(plain);
  const Bytes b = encode(plain);
  EXPECT_NE(a, b);
  EXPECT_EQ(decode(a), plain);
  EXPECT_EQ(decode(b), plain);
}

TEST_F(TransformTest, ZeroFreeDataRoundTripsAtEveryLength) {
  for (size_t n = 1; n <= 70; ++n) {
    const Bytes plain = test::randomBytes(rng, n, true);
    ASSERT_EQ(decode(encode(plain)), plain) << n << " bytes";
  }
}

TEST_F(TransformTest, DecodeCutsAtFirstZeroByte) {
  const Bytes plain = {'a', 'b', 0, 'c', 'd'};
  EXPECT_EQ(decode(encode(plain)), (Bytes{'a', 'b'}));
}

// Exactly 16 bytes get no padding, so a tail of a zero byte and a byte c
// reads as c bytes of padding.
TEST_F(TransformTest, SixteenBytesEndingInZeroAndCountLoseThatTail) {
  Bytes plain(16, 'q');
  plain[14] = 0;
  plain[15] = 3;
  EXPECT_EQ(decode(encode(plain)), Bytes(13, 'q'));
}

TEST_F(TransformTest, CapacityOneBelowRequirementIsTooSmall) {
  const Bytes plain(17, 'x');
  Bytes out(Transform::requiredOutputSize(17) - 1, 0xee);
  transform.setOutputBuffer(out.data(), out.size());
  uint64_t length = plain.size();
  TransformStatus status;
  EXPECT_EQ(transform.encodeBuffer(plain.data(), length, status), nullptr);
  EXPECT_EQ(status, TransformStatus::OutputTooSmall);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(out, Bytes(out.size(), 0xee)) << "output written on failure";
}

TEST_F(TransformTest, MissingBufferOrInputIsRefused) {
  const Bytes plain(8, 'x');
  uint64_t length = plain.size();
  TransformStatus status;
  EXPECT_EQ(transform.encodeBuffer(plain.data(), length, status), nullptr);
  EXPECT_EQ(status, TransformStatus::NoOutputBuffer);
  EXPECT_EQ(length, 0u);

  Bytes out(64);
  transform.setOutputBuffer(out.data(), 0);
  length = 32;
  EXPECT_EQ(transform.decodeBuffer(out.data(), length, status), nullptr);
  EXPECT_EQ(status, TransformStatus::NoOutputBuffer);

  transform.setOutputBuffer(out.data(), out.size());
  length = 8;
  EXPECT_EQ(transform.encodeBuffer(nullptr, length, status), nullptr);
  EXPECT_EQ(status, TransformStatus::NoInput);
  length = 0;
  EXPECT_EQ(transform.encodeBuffer(plain.data(), length, status), nullptr);
  EXPECT_EQ(status, TransformStatus::NoInput);
  length = 0;
  EXPECT_EQ(transform.decodeBuffer(plain.data(), length, status), nullptr);
  EXPECT_EQ(status, TransformStatus::NoInput);
  length = 32;
  transform.setOutputBuffer(out.data(), 31);
  EXPECT_EQ(transform.decodeBuffer(out.data(), length, status), nullptr);
  EXPECT_EQ(status, TransformStatus::OutputTooSmall);
  EXPECT_EQ(length, 0u);
}

// A stored form is whole blocks. Shorter or ragged input is refused without
// reading past it (the input vectors are exactly sized for the sanitizer) or
// writing into the output.
TEST_F(TransformTest, RaggedOrShortStoredFormIsRefusedUntouched) {
  for (size_t m : {1, 15, 17, 31, 33, 47}) {
    const Bytes stored = test::randomBytes(rng, m);
    EXPECT_TRUE(decode(stored, TransformStatus::NoInput).empty()) << m << " bytes";
  }
  Bytes out(64, 0xaa);
  const Bytes stored = test::randomBytes(rng, 15);
  uint64_t length = stored.size();
  EXPECT_EQ(transform.decipherInPlace(stored.data(), out.data(), length), TransformStatus::NoInput);
  EXPECT_EQ(out, Bytes(64, 0xaa));
}

TEST_F(TransformTest, LoneIvBlockDecodesToNothing) {
  const Bytes stored = encode(Bytes(5, 'x'));
  EXPECT_TRUE(decode(Bytes(stored.begin(), stored.begin() + 16)).empty());
}

TEST_F(TransformTest, DecipherInPlaceOverItsInputMatchesSeparateOutput) {
  // Lengths that end inside, and after, groups of blocks deciphered together.
  for (size_t n : {77, 130, 1000}) {
    const Bytes plain = test::randomBytes(rng, n, true);
    Bytes stored = encode(plain);
    uint64_t length = stored.size();
    ASSERT_EQ(transform.decipherInPlace(stored.data(), stored.data(), length), TransformStatus::Ok);
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + static_cast<ptrdiff_t>(length)), plain) << n << " bytes";
  }
}

}  // namespace
}  // namespace ko::core
