// The device key: the provisioned file whose text keys the crypto service
// (through its SHA-256 digest) instead of the built-in key. It is read once,
// by Init on the main thread before the change of user, and only trusted when
// nobody but root could have written or read it.
#pragma once

#include <cstddef>
#include <string>

namespace ko::core {

// Where the key is looked for: "/etc/dvrcore/device.key" unless the
// integrator chose another absolute path at build time
// (-DKO_DEVICE_KEY_FILE=..., for a factory partition). Deliberately no
// runtime option: a set-user-ID core must not let its caller choose the key.
const char* deviceKeyFile() noexcept;

// A key file larger than this is refused: keys are tens of bytes, and a
// path that names a partition or a log by mistake must not be read whole.
inline constexpr size_t MaxDeviceKeyBytes = 4096;

enum class DeviceKeyStatus {
  Loaded,    // `key` holds the text
  Missing,   // no such file: the built-in key serves
  Refused,   // the file is there but not to be trusted; `reason` says why
  ReadError  // the file could not be opened or read; `reason` is the error text
};

struct DeviceKeyOutcome {
  DeviceKeyStatus status = DeviceKeyStatus::Missing;
  std::string reason;
};

// Reads the key at `path` into `key` (emptied first): the file's bytes less
// one final line break. The file must be a regular file, not a symbolic
// link, owned by root, without any group or other permission, and neither
// empty (after the line break) nor above MaxDeviceKeyBytes. `key` is the only
// place the text is stored: it is read into its storage directly, so no other
// copy is left behind. On any status but Loaded `key` is empty.
[[nodiscard]] DeviceKeyOutcome readDeviceKey(const char* path, std::string& key);

// Overwrites every byte of `secret`'s storage, then empties it.
void wipeSecret(std::string& secret) noexcept;

}  // namespace ko::core
