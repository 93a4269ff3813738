// Whole files as bytes, for tests that compare what the program wrote exactly
// (CR LF line ends included).
#pragma once

#include <string>

namespace strikewell::testing {

// The file's bytes; "" when it cannot be read.
std::string ReadBytes(const std::string& path);

// Replaces the file with exactly these bytes.
void WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace strikewell::testing
