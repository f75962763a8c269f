// What the timing programs of bench/ share. Each is run as `<program> DIR REPEATS [MODE]` by a
// Python driver (bench/common.py: run_native), which writes every array into DIR as NAME.f64 or
// NAME.i64: raw native-endian 8-byte values, matrices column-major. A program prints one JSON
// line on stdout, which the driver reads back.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune_bench {

// The whole file; a missing or unreadable file ends the program, since nothing can be timed.
template <class T>
std::vector<T> read_raw(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  const auto bytes = static_cast<std::size_t>(in.tellg());
  std::vector<T> values(bytes / sizeof(T));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
  return values;
}

inline std::vector<double> read_doubles(const std::string& dir, std::string_view name) {
  return read_raw<double>(dir + "/" + std::string(name) + ".f64");
}

inline std::vector<std::int64_t> read_integers(const std::string& dir, std::string_view name) {
  return read_raw<std::int64_t>(dir + "/" + std::string(name) + ".i64");
}

inline Eigen::VectorXd read_vector(const std::string& dir, std::string_view name) {
  const std::vector<double> values = read_doubles(dir, name);
  return Eigen::Map<const Eigen::VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
}

// `rows` rows; the columns follow from the file's length.
inline Eigen::MatrixXd read_matrix(const std::string& dir, std::string_view name, Eigen::Index rows) {
  const std::vector<double> values = read_doubles(dir, name);
  const auto cols = rows == 0 ? Eigen::Index{0} : static_cast<Eigen::Index>(values.size()) / rows;
  return Eigen::Map<const Eigen::MatrixXd>(values.data(), rows, cols);
}

inline Eigen::MatrixXd read_square(const std::string& dir, std::string_view name) {
  const std::vector<double> values = read_doubles(dir, name);
  const auto side = static_cast<Eigen::Index>(std::llround(std::sqrt(static_cast<double>(values.size()))));
  return Eigen::Map<const Eigen::MatrixXd>(values.data(), side, side);
}

// The seconds of each of `repeats` calls of f.
template <class F>
std::vector<double> time_each(int repeats, F&& f) {
  std::vector<double> seconds;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return seconds;
}

inline double best(const std::vector<double>& seconds) {
  return seconds.empty() ? NAN : *std::min_element(seconds.begin(), seconds.end());
}

inline double median(std::vector<double> seconds) {
  if (seconds.empty()) return NAN;
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

// One JSON object on one line; numbers keep all 17 digits, and a non-finite one is written the
// way Python's json module reads it back.
class Report {
 public:
  Report& number(std::string_view key, double value) {
    field(key);
    put(value);
    return *this;
  }
  Report& numbers(std::string_view key, std::span<const double> values) {
    field(key);
    text_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) text_ += ", ";
      put(values[i]);
    }
    text_ += ']';
    return *this;
  }
  void print() const { std::printf("{%s}\n", text_.c_str()); }

 private:
  void field(std::string_view key) {
    if (!text_.empty()) text_ += ", ";
    text_ += '"';
    text_ += key;
    text_ += "\": ";
  }
  void put(double value) {
    if (std::isnan(value)) {
      text_ += "NaN";
    } else if (std::isinf(value)) {
      text_ += value > 0 ? "Infinity" : "-Infinity";
    } else {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.17g", value);
      text_ += buffer;
    }
  }
  std::string text_;
};

}  // namespace kestrune_bench
