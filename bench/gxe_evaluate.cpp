// One GxeModel evaluation with its gradient, timed: the native half of bench_gxe.py.
//
//   gxe_evaluate DIR REPEATS SURFACE REML
//
// SURFACE is the value of gxe::Surface, REML 0 or 1. DIR holds relationship (n x n),
// environment, design (n x p), y and theta (six values); see common.hpp. Prints the objective,
// its gradient and the best time of one evaluation.
#include <algorithm>
#include <optional>
#include <string>

#include "common.hpp"
#include "gxe/surface.hpp"

int main(int argc, char** argv) {
  using namespace kestrune_bench;
  if (argc != 5) {
    std::fprintf(stderr, "usage: gxe_evaluate DIR REPEATS SURFACE REML\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);
  const auto surface = static_cast<kestrune::gxe::Surface>(std::stoi(argv[3]));
  const bool reml = std::stoi(argv[4]) != 0;

  const Eigen::VectorXd y = read_vector(dir, "y");
  const std::vector<double> environment = read_doubles(dir, "environment");
  const auto model = kestrune::gxe::GxeModel::build(surface, read_square(dir, "relationship"), environment,
                                                    read_matrix(dir, "design", y.size()));
  if (!model) return 3;
  const std::vector<double> theta = read_doubles(dir, "theta");
  kestrune::gxe::Theta t{};
  std::copy_n(theta.begin(), std::min(theta.size(), t.size()), t.begin());

  std::optional<kestrune::gxe::Evaluation> evaluation;
  const auto seconds = time_each(repeats, [&] { evaluation = model->evaluate(t, y, reml, true); });
  if (!evaluation) return 4;
  Report().number("seconds", best(seconds)).number("value", evaluation->objective)
      .numbers("gradient", evaluation->gradient).print();
  return 0;
}
