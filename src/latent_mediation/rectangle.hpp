// The log probability that a normal vector lies in a rectangle, by a method chosen from the
// dimension and the model's quasi-Monte-Carlo setting. Every method is deterministic: the
// same inputs give the same bits.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "latent_mediation/model.hpp"

namespace kestrune::latent_mediation {

// The integration methods, in ascending byte order of their names.
enum class Method : std::uint8_t {
  bivariate_quadrature,
  bivariate_tail_quadrature,
  deterministic_genz_halton,
  empty_rectangle,
  no_discrete_observation,
  sequential_truncation,
  univariate_exact,
};

std::string_view method_name(Method method);

// The bit of a method in a set of methods, and the names of a set in ascending byte order.
constexpr std::uint8_t method_bit(Method method) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(method)); }
std::vector<std::string_view> method_names(std::uint8_t methods);

struct RectangleProbability {
  double log_probability;  // at most 0; -infinity for an impossible rectangle
  Method method;
  double batch_range;  // 0 but for the quasi-Monte-Carlo method
};

// ln P(lower < X < upper) for X with the distribution's mean and covariance, coordinate by
// coordinate; infinite ends are allowed. The distribution's factor is used when present.
Result<RectangleProbability> log_rectangle_probability(std::span<const double> lower, std::span<const double> upper,
                                                       const ConditionalDistribution& distribution,
                                                       std::uint64_t qmc_points);

}  // namespace kestrune::latent_mediation
