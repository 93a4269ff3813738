// A kept login in memory, with what was written kept for the tests to read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/network.h"

namespace strikewell::testing {

class FakeLoginStore : public LoginStore {
 public:
  std::optional<std::string> Read(std::string& error) override {
    error = read_error;
    return text;
  }
  bool Write(const std::string& new_text, std::string& error) override {
    writes.push_back(new_text);
    if (!write_error.empty()) {
      error = write_error;
      return false;
    }
    text = new_text;
    return true;
  }
  bool Remove(std::string& error) override {
    if (!write_error.empty()) {
      error = write_error;
      return false;
    }
    text.reset();
    return true;
  }
  std::string Where() override { return "/home/ann/.config/strikewell/ringingroom"; }

  std::optional<std::string> text;  // what is kept
  std::string read_error;           // set: Read fails with it
  std::string write_error;          // set: Write and Remove fail with it
  std::vector<std::string> writes;  // every text written, in order
};

}  // namespace strikewell::testing
