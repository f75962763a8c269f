// One DiscreteGxeModel evaluation with its gradient, timed: the native half of
// bench_discrete_gxe.py.
//
//   discrete_gxe_evaluate DIR REPEATS REML
//
// REML is 0 or 1. DIR holds relationship (n x n), environment, design (n x p), y and
// parameters (g1, g2, e1, e2, rho); see common.hpp. Prints the objective, its five derivatives
// and the best time of one evaluation.
#include <algorithm>
#include <optional>
#include <string>

#include "common.hpp"
#include "discrete_gxe/model.hpp"

int main(int argc, char** argv) {
  using namespace kestrune_bench;
  if (argc != 4) {
    std::fprintf(stderr, "usage: discrete_gxe_evaluate DIR REPEATS REML\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);
  const bool reml = std::stoi(argv[3]) != 0;

  const Eigen::VectorXd y = read_vector(dir, "y");
  const auto model = kestrune::discrete_gxe::DiscreteGxeModel::build_expecting(
      read_square(dir, "relationship"), read_vector(dir, "environment"), read_matrix(dir, "design", y.size()),
      std::nullopt);
  if (!model) return 3;
  const std::vector<double> parameters = read_doubles(dir, "parameters");
  kestrune::discrete_gxe::Parameters at{};
  std::copy_n(parameters.begin(), std::min(parameters.size(), at.size()), at.begin());

  std::optional<kestrune::discrete_gxe::Evaluation> evaluation;
  const auto seconds = time_each(repeats, [&] { evaluation = model->evaluate(at, y, reml, true); });
  if (!evaluation) return 4;
  Report().number("seconds", best(seconds)).number("value", evaluation->objective)
      .numbers("gradient", evaluation->gradient).print();
  return 0;
}
