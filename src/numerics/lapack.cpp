#include "numerics/lapack.hpp"

#include <charconv>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

namespace kestrune::lapack {
namespace {

// A positive decimal integer, the whole text and nothing else; anything else (zero, a
// sign other than '+', trailing text, a value beyond int) leaves the default in place.
std::optional<int> positive_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int value = 0;
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(text.data(), last, value);
  if (text.empty() || ec != std::errc{} || end != last || value <= 0) return std::nullopt;
  return value;
}

}  // namespace

void configure_threads() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    if (text == nullptr) return;
    if (const auto count = positive_count(text)) openblas_set_num_threads(*count);
  });
}

}  // namespace kestrune::lapack
