// The crypto event service: a plugin's buffer enciphered or deciphered in
// place through a crypto record (type 0x8000), so that no plugin holds a key.
//
// Threads: runs on whichever thread submits the record (plugin threads, the
// io thread, the main thread), concurrently with other requests. It shares
// only `deviceKey`, which is fixed before the first request, and takes no
// lock.
#include <string.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "core/dvr_core.h"
#include "crypto/digest.h"
#include "crypto/transform.h"

namespace ko::core {

namespace {

// The operations and results are the SDK's (event.hpp): plugins see the
// same names.
constexpr uint64_t CryptoOpMask = 0xffffff;

constexpr uint64_t WorkMargin = 48;
constexpr uint64_t MaxDataLength = INT32_MAX - WorkMargin;

// The work buffer holds enciphered or plain data for one request; plain data
// is wiped before the memory goes back to the allocator.
class WorkBuffer {
 public:
  explicit WorkBuffer(uint64_t size) noexcept : size_(size), bytes_(new (std::nothrow) uint8_t[size]()) {}
  ~WorkBuffer() {
    if (wipe_ && bytes_) explicit_bzero(bytes_.get(), size_);
  }
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;

  uint8_t* data() const noexcept { return bytes_.get(); }
  uint64_t size() const noexcept { return size_; }
  void wipeOnRelease() noexcept { wipe_ = true; }

 private:
  uint64_t size_;
  std::unique_ptr<uint8_t[]> bytes_;
  bool wipe_ = false;
};

}  // namespace

int32_t DvrCore::onCryptoEvent(EventParms& record) {
  // A record without a buffer, or one that claims more data than its buffer
  // holds, is refused before any byte of it is read.
  if (record.length == 0 || record.data == nullptr) return CryptoNoData;
  const uint64_t operation = record.flags & CryptoOpMask;
  if (operation != CryptoOpEncipher && operation != CryptoOpDecipher) return CryptoBadOperation;
  const uint64_t dataLength = record.body.bodyParam;
  if (operation == CryptoOpDecipher && dataLength == 0) return CryptoNoData;
  if (dataLength > record.length) return CryptoNoData;
  // A result size must fit the positive results; buffers this large never
  // occur on the device.
  if (dataLength > MaxDataLength) return CryptoNoData;

  Transform transform;
  if (!deviceKey.empty()) {
    std::array<uint8_t, Sha256DigestBytes> digest;
    sha256(digest.data(), deviceKey.data(), deviceKey.size());
    transform.setKey(digest, true);
    explicit_bzero(digest.data(), digest.size());
  }

  WorkBuffer work(dataLength + WorkMargin);
  if (work.data() == nullptr) return CryptoOutOfMemory;
  transform.setOutputBuffer(work.data(), work.size());
  auto* buffer = static_cast<uint8_t*>(record.data);

  if (operation == CryptoOpEncipher) {
    // A failure (only for zero bytes of data) shows as an output length of 0
    // and leaves an empty result.
    uint64_t n = dataLength;
    TransformStatus status;
    (void)transform.encodeBuffer(buffer, n, status);
    if (n > record.length) return static_cast<int32_t>(n);
    std::memcpy(buffer, work.data(), n);
    record.body.bodyParam = n;
    record.flags = CryptoOpDecipher;
    return 0;
  }

  uint64_t n = dataLength;
  TransformStatus status;
  work.wipeOnRelease();
  (void)transform.decodeBuffer(buffer, n, status);
  if (n == 0) return CryptoNothingDeciphered;
  if (n > record.length) return static_cast<int32_t>(n);
  record.body.bodyParam = n;
  std::memcpy(buffer, work.data(), n);
  std::memset(buffer + n, 0, record.length - n);
  record.flags = CryptoOpEncipher;
  return 0;
}

}  // namespace ko::core
