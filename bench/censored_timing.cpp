// Times one log-likelihood of a censored or binary trait model, and one full fit: the native
// half of bench_censored.py. Prints both times with the values they gave.
//
//   censored_timing DIR REPEATS tobit|liability|mixed
//
// DIR holds block (the size x size relationship of every family), design (n x p), params and
// the model's own columns (tobit: value, censoring (int64), limit; liability: status; mixed:
// value for a continuous first trait and censoring (int64) for a binary second one); see
// common.hpp.
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "liability/threshold.hpp"
#include "mixed_bivariate/model.hpp"
#include "tobit/model.hpp"

namespace {

using namespace kestrune_bench;

struct Sample {
  Eigen::MatrixXd relationship;
  Eigen::MatrixXd design;
  std::vector<double> params;
};

// Every family has the same relationship block; the people come family by family.
Sample read_sample(const std::string& dir, Eigen::Index n) {
  const Eigen::MatrixXd block = read_square(dir, "block");
  const Eigen::Index size = block.rows();
  Sample sample{Eigen::MatrixXd::Zero(n, n), read_matrix(dir, "design", n), read_doubles(dir, "params")};
  for (Eigen::Index start = 0; start + size <= n; start += size)
    sample.relationship.block(start, start, size, size) = block;
  return sample;
}

// Times `loglik` (best of `repeats`) and `fit` once, and prints both with their values.
template <class Loglik, class Fit>
int report(int repeats, Loglik loglik, Fit fit) {
  std::optional<double> value;
  const double loglik_seconds = best(time_each(repeats, [&] { value = loglik(); }));
  double fit_loglik = NAN;
  const double fit_seconds = best(time_each(1, [&] { fit_loglik = fit(); }));
  Report().number("loglik", value.value_or(NAN)).number("seconds", loglik_seconds)
      .number("fit_seconds", fit_seconds).number("fit_loglik", fit_loglik).print();
  return 0;
}

int refused(const kestrune::Error& error) {
  std::cerr << error.message() << "\n";
  return 1;
}

int tobit(const std::string& dir, int repeats) {
  using namespace kestrune::tobit;
  const std::vector<double> value = read_doubles(dir, "value");
  const Sample sample = read_sample(dir, static_cast<Eigen::Index>(value.size()));
  const auto codes = censoring_from(read_integers(dir, "censoring"));
  const auto model = TobitModel::build(sample.relationship, value, *codes, read_doubles(dir, "limit"), sample.design);
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
  const std::vector<double> status = read_doubles(dir, "status");
  const Sample sample = read_sample(dir, static_cast<Eigen::Index>(status.size()));
  const auto model = LiabilityModel::build(sample.relationship, status, sample.design);
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
  const std::vector<double> value = read_doubles(dir, "value");
  const std::size_t n = value.size();
  const Sample sample = read_sample(dir, static_cast<Eigen::Index>(n));
  TraitData first{value, std::vector<Censoring>(n, Censoring::Measured), std::vector<double>(n, 0.0),
                  TraitKind::Continuous};
  TraitData second{std::vector<double>(n, NAN), *kestrune::tobit::censoring_from(read_integers(dir, "censoring")),
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
    std::cerr << "usage: censored_timing DIR REPEATS tobit|liability|mixed\n";
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);
  const std::string model = argv[3];
  if (model == "tobit") return tobit(dir, repeats);
  if (model == "liability") return liability(dir, repeats);
  if (model == "mixed") return mixed(dir, repeats);
  std::cerr << "unknown model " << model << "\n";
  return 2;
}
