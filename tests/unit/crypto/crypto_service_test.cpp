// Crypto records submitted to the real core object: results, record updates,
// the key choice, and refusal of records that misdescribe their buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "core/dvr_core.h"
#include "crypto/digest.h"
#include "crypto/transform.h"
#include "openssl_reference.h"

namespace ko::core {
namespace {

using test::Bytes;

constexpr uint64_t Encipher = 2;
constexpr uint64_t Decipher = 1024;

class CryptoServiceTest : public ::testing::Test {
 protected:
  // A record over `buffer`, whose capacity is its size.
  EventParms request(Bytes& buffer, uint64_t dataLength, uint64_t operation) {
    auto record = makeEvent(EventTypeCrypto, EventClassLive | operation, 0x00420000u, buffer.data(),
                            static_cast<uint32_t>(buffer.size()));
    record.body.bodyParam = dataLength;
    return record;
  }

  // `plain` in a buffer with `spare` bytes of room after it.
  static Bytes withRoom(const Bytes& plain, size_t spare) {
    Bytes buffer = plain;
    buffer.resize(plain.size() + spare, 0x5a);
    return buffer;
  }

  DvrCore core{"/nonexistent/dvrcore"};
  std::mt19937_64 rng{42};
};

TEST_F(CryptoServiceTest, EncipheredSizesFollowPaddingRule) {
  for (auto [n, stored] : {std::pair{5u, 32u}, {16u, 32u}, {17u, 48u}, {32u, 64u}}) {
    Bytes buffer = withRoom(test::randomBytes(rng, n, true), 48);
    auto record = request(buffer, n, Encipher);
    ASSERT_EQ(core.submitEvent(record), 0) << n << " bytes";
    EXPECT_EQ(record.body.bodyParam, stored) << n << " bytes";
    EXPECT_EQ(record.flags, Decipher) << "class bits survived";
  }
}

TEST_F(CryptoServiceTest, RoundTripRestoresDataAndZeroesTheRest) {
  const Bytes plain = test::randomBytes(rng, 37, true);
  Bytes buffer = withRoom(plain, 40);
  auto record = request(buffer, plain.size(), Encipher);
  ASSERT_EQ(core.submitEvent(record), 0);
  EXPECT_NE(Bytes(buffer.begin(), buffer.begin() + 37), plain);
  record.flags |= EventClassLive;
  ASSERT_EQ(core.submitEvent(record), 0);
  EXPECT_EQ(record.flags, Encipher);
  ASSERT_EQ(record.body.bodyParam, plain.size());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 37), plain);
  EXPECT_EQ(Bytes(buffer.begin() + 37, buffer.end()), Bytes(40, 0)) << "rest of the buffer not zeroed";
}

TEST_F(CryptoServiceTest, TooSmallBufferReturnsNeededSizeAndChangesNothing) {
  Bytes buffer = withRoom(Bytes(5, 'x'), 15);  // length 20
  const Bytes before = buffer;
  auto record = request(buffer, 5, Encipher);
  const EventParms original = record;
  EXPECT_EQ(core.submitEvent(record), 32);
  EXPECT_EQ(std::memcmp(&record, &original, sizeof record), 0);
  EXPECT_EQ(buffer, before);
}

TEST_F(CryptoServiceTest, EncipheringNothingSucceedsEmpty) {
  Bytes buffer(8, 'x');
  auto record = request(buffer, 0, Encipher);
  EXPECT_EQ(core.submitEvent(record), 0);
  EXPECT_EQ(record.body.bodyParam, 0u);
  EXPECT_EQ(record.flags, Decipher);
  EXPECT_EQ(buffer, Bytes(8, 'x'));
}

TEST_F(CryptoServiceTest, TwoEncipheringsDifferAndBothDecipher) {
  const Bytes plain = test::randomBytes(rng, 20, true);
  Bytes a = withRoom(plain, 32);
  Bytes b = withRoom(plain, 32);
  auto ra = request(a, 20, Encipher);
  auto rb = request(b, 20, Encipher);
  ASSERT_EQ(core.submitEvent(ra), 0);
  ASSERT_EQ(core.submitEvent(rb), 0);
  EXPECT_NE(a, b);
  ASSERT_EQ(core.submitEvent(ra), 0);
  ASSERT_EQ(core.submitEvent(rb), 0);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 20), plain);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 20), plain);
}

class CryptoServiceRefusalTest : public CryptoServiceTest {
 protected:
  // Submits and checks that neither record nor buffer changed.
  int32_t submitUnchanged(EventParms record, const Bytes& buffer) {
    const Bytes before = buffer;
    const EventParms original = record;
    const int32_t result = core.submitEvent(record);
    EXPECT_EQ(std::memcmp(&record, &original, sizeof record), 0) << "record changed";
    EXPECT_EQ(buffer, before) << "buffer changed";
    return result;
  }
};

TEST_F(CryptoServiceRefusalTest, UnknownOperationIsRefused) {
  Bytes buffer(64, 'x');
  EXPECT_EQ(submitUnchanged(request(buffer, 8, 3), buffer), -1);
  EXPECT_EQ(submitUnchanged(request(buffer, 8, 0), buffer), -1);
}

TEST_F(CryptoServiceRefusalTest, EmptyBufferIsRefusedForEitherOperation) {
  Bytes buffer(64, 'x');
  for (uint64_t op : {Encipher, Decipher, uint64_t{3}}) {
    auto record = request(buffer, 8, op);
    record.length = 0;
    EXPECT_EQ(submitUnchanged(record, buffer), -2);
  }
  auto record = request(buffer, 0, Decipher);
  EXPECT_EQ(submitUnchanged(record, buffer), -2);
}

// The buffer is exactly `length` bytes on the heap, so the sanitizer sees
// any read of the bytes the record only claims.
TEST_F(CryptoServiceRefusalTest, DataClaimedBeyondBufferIsRefusedUnread) {
  Bytes buffer(40, 'x');
  EXPECT_EQ(submitUnchanged(request(buffer, 41, Encipher), buffer), -2);
  EXPECT_EQ(submitUnchanged(request(buffer, 4096, Decipher), buffer), -2);
}

TEST_F(CryptoServiceRefusalTest, RaggedOrShortCipherTextYieldsNoData) {
  Bytes buffer = test::randomBytes(rng, 64);
  for (uint64_t m : {1, 15, 16, 17, 33, 63}) {
    EXPECT_EQ(submitUnchanged(request(buffer, m, Decipher), buffer), -13) << m << " bytes";
  }
}

TEST_F(CryptoServiceTest, EmptyDeviceKeyUsesDefaultKey) {
  const Bytes plain = test::randomBytes(rng, 30, true);
  Bytes buffer = withRoom(plain, 32);
  auto record = request(buffer, plain.size(), Encipher);
  ASSERT_EQ(core.submitEvent(record), 0);

  Transform byDefault;
  Bytes out(record.body.bodyParam);
  byDefault.setOutputBuffer(out.data(), out.size());
  uint64_t length = record.body.bodyParam;
  TransformStatus status;
  ASSERT_NE(byDefault.decodeBuffer(buffer.data(), length, status), nullptr);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<ptrdiff_t>(length)), plain);
}

TEST_F(CryptoServiceTest, DeviceKeyDigestKeysTheCipher) {
  core.deviceKey = "KO-CAM-00:1b:2c:3d:4e:5f";
  Bytes digest(32);
  sha256(digest.data(), core.deviceKey.data(), core.deviceKey.size());

  const Bytes plain = test::randomBytes(rng, 45, true);
  Bytes buffer = withRoom(plain, 32);
  auto record = request(buffer, plain.size(), Encipher);
  ASSERT_EQ(core.submitEvent(record), 0);
  ASSERT_EQ(record.body.bodyParam, 64u);
  const Bytes opened = test::opensslAes128(false, digest.data(), buffer.data(), buffer.data() + 16, 48);
  EXPECT_EQ(Bytes(opened.begin(), opened.begin() + 45), plain);

  ASSERT_EQ(core.submitEvent(record), 0);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 45), plain);
}

}  // namespace
}  // namespace ko::core
