// Replacing a small text file in one step, so that a crash, a power cut or a full
// disk leaves either the old contents or the new ones, never a file cut short.
#pragma once

#include <optional>
#include <string>

namespace strikewell {

// Writes text to a file beside path (path + ".tmp") and renames it over path. The
// system's reason when that fails (the old file then stays as it was), or nothing.
std::optional<std::string> ReplaceFileWith(const std::string& path, const std::string& text);

}  // namespace strikewell
