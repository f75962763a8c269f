// Times one log-likelihood of a censored or binary trait model, and one full fit, on arrays
// written by bench/bench_censored.py, and prints both with the values they gave.
//
//   censored_loglik tobit|liability|mixed <dir> <repeats>
//
// <dir> holds meta.txt ("families size p"), block.f64 (the size x size relationship of every
// family), design.f64 (n x p, row-major), params.f64, and the model's own columns (tobit:
// value.f64, censoring.i64, limit.f64; liability: status.f64; mixed: value.f64 for a continuous
// first trait and censoring.i64 for a binary second one). Every .f64/.i64 file is raw
// native-endian 8-byte data.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "liability/threshold.hpp"
#include "mixed_bivariate/model.hpp"
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

// Times `loglik` (best of `repeats`) and `fit` once, and prints both with their values.
template <class Loglik, class Fit>
int report(int repeats, Loglik loglik, Fit fit) {
  std::optional<double> value;
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) best = std::min(best, seconds([&] { value = loglik(); }));
  double fit_loglik = NAN;
  const double fit_seconds = seconds([&] { fit_loglik = fit(); });
  std::printf("{\"loglik\": %.17g, \"seconds\": %.6g, \"fit_seconds\": %.6g, \"fit_loglik\": %.17g}\n",
              value.value_or(NAN), best, fit_seconds, fit_loglik);
  return 0;
}

int refused(const kestrune::Error& error) {
  std::cerr << error.message() << "\n";
  return 1;
}

int tobit(const std::string& dir, int repeats) {
  using namespace kestrune::tobit;
  const Sample sample = read_sample(dir);
  const auto codes = censoring_from(read_raw<std::int64_t>(dir + "/censoring.i64"));
  const auto model = TobitModel::build(sample.relationship, read_raw<double>(dir + "/value.f64"), *codes,
                                       read_raw<double>(dir + "/limit.f64"), sample.design);
  if (!model) return refused(model.error());
  const std::span<const double> beta(sample.params.begin() + 2, sample.params.end());
  return report(
      repeats, [&] { return model->loglik(sample.params[0], sample.params[1], beta); },
      [&] {
        const auto fit = model->fit_holding(std::nullopt);
        return fit ? fit->loglik : NAN;
      });
}

int liability(const std::string& dir, int repeats) {
  using namespace kestrune::liability;
  const Sample sample = read_sample(dir);
  const auto model = LiabilityModel::build(sample.relationship, read_raw<double>(dir + "/status.f64"), sample.design);
  if (!model) return refused(model.error());
  const std::span<const double> beta(sample.params.begin() + 1, sample.params.end());
  return report(
      repeats, [&] { return model->loglik(sample.params[0], beta); },
      [&] {
        const auto fit = model->fit_holding(std::nullopt);
        return fit ? fit->loglik : NAN;
      });
}

int mixed(const std::string& dir, int repeats) {
  using namespace kestrune::mixed_bivariate;
  const Sample sample = read_sample(dir);
  const std::vector<double> value = read_raw<double>(dir + "/value.f64");
  const std::size_t n = value.size();
  TraitData first{value, std::vector<Censoring>(n, Censoring::Measured), std::vector<double>(n, 0.0),
                  TraitKind::Continuous};
  TraitData second{std::vector<double>(n, NAN), *kestrune::tobit::censoring_from(read_raw<std::int64_t>(dir + "/censoring.i64")),
                   std::vector<double>(n, 0.0), TraitKind::Binary};
  const auto model = MixedBivariateModel::build(sample.relationship, std::move(first), std::move(second), sample.design);
  if (!model) return refused(model.error());
  const std::vector<double>& t = sample.params;
  const std::size_t p = static_cast<std::size_t>(sample.design.cols());
  const std::span<const double> beta_1(t.begin() + 6, p), beta_2(t.begin() + 6 + static_cast<std::ptrdiff_t>(p), p);
  return report(
      repeats, [&] { return model->loglik({t[0], t[1]}, {t[2], t[3]}, t[4], t[5], beta_1, beta_2); },
      [&] {
        const auto fit = model->fit_holding(std::nullopt);
        return fit ? fit->loglik : NAN;
      });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: censored_loglik tobit|liability|mixed <dir> <repeats>\n";
    return 2;
  }
  const std::string model = argv[1];
  const int repeats = std::stoi(argv[3]);
  if (model == "tobit") return tobit(argv[2], repeats);
  if (model == "liability") return liability(argv[2], repeats);
  if (model == "mixed") return mixed(argv[2], repeats);
  std::cerr << "unknown model " << model << "\n";
  return 2;
}
