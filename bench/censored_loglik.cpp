// Times one log-likelihood of a censored or binary trait model, and one full fit, on arrays
// written by bench/bench_censored.py, and prints both with the values they gave.
//
//   censored_loglik tobit <dir> <repeats>
//
// <dir> holds meta.txt ("families size p"), block.f64 (the size x size relationship of every
// family), design.f64 (n x p, row-major), params.f64, and the model's own columns (tobit:
// value.f64, censoring.i64, limit.f64). Every .f64/.i64 file is raw native-endian 8-byte data.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "tobit/model.hpp"

namespace {

template <class T>
std::vector<T> read_raw(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const auto bytes = static_cast<std::size_t>(in.tellg());
  std::vector<T> data(bytes / sizeof(T));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(bytes));
  return data;
}

struct Sample {
  Eigen::MatrixXd relationship;
  Eigen::MatrixXd design;
  std::vector<double> params;
};

Sample read_sample(const std::string& dir) {
  std::ifstream meta(dir + "/meta.txt");
  Eigen::Index families = 0, size = 0, p = 0;
  meta >> families >> size >> p;
  const Eigen::Index n = families * size;
  const std::vector<double> block = read_raw<double>(dir + "/block.f64");
  const std::vector<double> design = read_raw<double>(dir + "/design.f64");
  Sample sample{Eigen::MatrixXd::Zero(n, n), Eigen::MatrixXd(n, p), read_raw<double>(dir + "/params.f64")};
  for (Eigen::Index f = 0; f < families; ++f)
    for (Eigen::Index i = 0; i < size; ++i)
      for (Eigen::Index j = 0; j < size; ++j) sample.relationship(f * size + i, f * size + j) = block[i * size + j];
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < p; ++j) sample.design(i, j) = design[i * p + j];
  return sample;
}

template <class F>
double seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int tobit(const std::string& dir, int repeats) {
  using namespace kestrune::tobit;
  const Sample sample = read_sample(dir);
  const auto codes = censoring_from(read_raw<std::int64_t>(dir + "/censoring.i64"));
  const auto model = TobitModel::build(sample.relationship, read_raw<double>(dir + "/value.f64"), *codes,
                                       read_raw<double>(dir + "/limit.f64"), sample.design);
  if (!model) {
    std::cerr << model.error().message() << "\n";
    return 1;
  }
  const std::span<const double> beta(sample.params.begin() + 2, sample.params.end());
  std::optional<double> loglik;
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    best = std::min(best, seconds([&] { loglik = model->loglik(sample.params[0], sample.params[1], beta); }));
  }
  kestrune::Result<TobitFit> fit = kestrune::fail("none");
  const double fit_seconds = seconds([&] { fit = model->fit_holding(std::nullopt); });
  std::printf("{\"loglik\": %.17g, \"seconds\": %.6g, \"fit_seconds\": %.6g, \"fit_loglik\": %.17g}\n",
              loglik.value_or(NAN), best, fit_seconds, fit ? fit->loglik : NAN);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: censored_loglik tobit <dir> <repeats>\n";
    return 2;
  }
  const std::string model = argv[1];
  const int repeats = std::stoi(argv[3]);
  if (model == "tobit") return tobit(argv[2], repeats);
  std::cerr << "unknown model " << model << "\n";
  return 2;
}
