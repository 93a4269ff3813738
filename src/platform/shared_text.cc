#include "platform/shared_text.h"

#include <cstdio>

namespace strikewell {

int32_t ConvTime(const std::string& A) {
  const auto c = [&A](size_t k) -> int32_t { return k <= A.size() ? A[k - 1] - '0' : 0; };
  return ((c(1) * 10 + c(2)) * 60 + (c(4) * 10 + c(5))) * 60 + (c(7) * 10 + c(8));
}

int32_t SecondsBetween(int32_t earlier, int32_t later) {
  return ((later - earlier) % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay;
}

std::string Fixed8(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%8.2f", static_cast<double>(static_cast<float>(value)));
  return text;
}

std::string Printable(std::string_view text) {
  constexpr size_t kShown = 40;
  std::string shown;
  for (size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto ch = static_cast<unsigned char>(text[i]);
    shown += ch > ' ' && ch < 127 ? static_cast<char>(ch) : '?';
  }
  if (text.size() > kShown) shown += "...";
  return shown;
}

}  // namespace strikewell
