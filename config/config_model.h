// The configuration model's free functions and names: the file the core
// configuration lives in and the reading of module log thresholds. The
// DvrCore members that load and publish the model are in config_model.cpp.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/xml_writer.h"

namespace ko::core {

// The core configuration file, relative to the working directory.
inline std::string coreXmlPath = "core.xml";
inline constexpr const char* ProductXmlPath = "product.xml";

// Reads the `LogLevel` of every `Plugin` under the `Module` elements at
// Kora/Modules/Module into `logLevels`, limited to -1..100. True when at
// least one threshold changed.
bool applyModuleLevels(const XmlNode& document, std::array<std::atomic<int32_t>, 256>& logLevels);

// An optional "-" then decimal digits, anything after the digits ignored;
// nothing when there are no digits or the value leaves the 32-bit range.
std::optional<int32_t> parseDecimal32(std::string_view text) noexcept;

// The window tests that make a configuration record a modules delta.
bool looksLikeModulesDelta(const char* payload, std::size_t length) noexcept;

}  // namespace ko::core
