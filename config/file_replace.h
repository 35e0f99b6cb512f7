// Safe replacement of configuration files. A new version is written whole to
// "<name>.pending" with synchronous writes and then renamed over the target,
// so the target is always either the old or the new version, and the
// directory is synchronised, so the new one survives a power cut. A reader that
// finds a pending file promotes it when it is a complete XML document and
// discards it otherwise.
//
// Every failure throws std::runtime_error whose text names the file and the
// system's error text; callers catch and log. No locking here: the core
// serialises its writes of core.xml and reads only at start-up.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ko::core {

// Suffix of the side file a new version is written to.
inline constexpr std::string_view PendingSuffix = ".pending";

// The whole content of a regular file.
std::string readWholeFile(std::string_view name);

// Replaces `name` with `bytes`: written and synced to a pending file created
// afresh (whatever stood at the pending name is removed first and never
// written through), renamed over `name`, and the directory synchronised so
// the rename survives a power cut. On a failed write the pending file is
// removed and the target is untouched; on a failed rename the complete
// pending file stays and the next readXmlFile promotes it; a failed directory
// sync is thrown after the target was replaced.
void writeFileReplacing(std::string_view name, const char* bytes, std::size_t length);

// writeFileReplacing for text that starts with an XML declaration; any other
// text is refused with "Failed - not xml content" and no file is touched.
void writeXmlFile(std::string_view name, const char* bytes, std::size_t length);

// The text of `name`, or of its pending file when that holds a complete
// document with a root element (the pending file then replaces `name`, and
// the directory is synchronised; a failure of that sync is stored in
// `syncFailure` when given). A pending file that is a symbolic link or not a
// regular file is never read. Throws when neither gives a well-formed XML
// text.
std::string readXmlFile(std::string_view name, std::string* syncFailure = nullptr);

// Whether `text` starts with the five bytes "<?xml".
bool isXmlContent(std::string_view text) noexcept;

}  // namespace ko::core
