// Readable names for value-parameterised test cases.
#pragma once

#include <charconv>
#include <string>

namespace kestrune_test {

// A double as a test-name fragment: -1.5e-07 -> minus_1p5e_minus_07, since gtest
// allows only letters, digits and underscores.
inline std::string name_of(double v) {
  char buf[32];
  const char* const end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  std::string out;
  for (const char* p = buf; p != end; ++p) {
    switch (*p) {
      case '-': out += p == buf ? "minus_" : "_minus_"; break;
      case '.': out += 'p'; break;
      case '+': break;
      default: out += *p;
    }
  }
  return out;
}

}  // namespace kestrune_test
