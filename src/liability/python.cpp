#include "liability/python.hpp"

#include "liability/region.hpp"
#include "python/toolkit.hpp"

namespace kestrune::liability::python {
namespace {

using namespace kestrune::python;

constexpr auto region_signature = signature("region_log_probability", required("mean"),
                                            required("sign"), required("covariance"));

constexpr const char* region_doc =
    "region_log_probability(mean, sign, covariance)\n--\n\n"
    "The conditional region log-probability the censored models rest on.\n\n"
    "**Exposed so that it can be checked.** This is the sequential truncation --\n"
    "exact to two coordinates, Mendell-Elston above -- and every censored\n"
    "heritability in the package rests on it. All the evidence for those models\n"
    "was generated on pairs, where this routine's approximate branch never runs,\n"
    "so the only way to learn how it behaves in a large family is to be able to\n"
    "call it beside an independent reference. `checks/sequential_against_ghk`\n"
    "is that reference.\n\n"
    "`mean` is each coordinate's mean **already centred on its own limit**, and\n"
    "`sign` is `1.0` where the value lies above that limit and `-1.0` where it\n"
    "lies below, which is the convention `TobitModel` builds.\n\n"
    "# Errors\n\n"
    "Returns a stable code where the shapes disagree or the region cannot be\n"
    "evaluated.";

Fallible<Owned> py_region_log_probability(const Arguments<3>& args) {
  const auto mean = copy_vector(args[0]);
  if (!mean) return std::unexpected(mean.error());
  const auto sign = copy_vector(args[1]);
  if (!sign) return std::unexpected(sign.error());
  const auto covariance = copy_matrix(args[2]);
  if (!covariance) return std::unexpected(covariance.error());
  const Eigen::Index n = mean->size();
  if (sign->size() != n || covariance->rows() != n || covariance->cols() != n) {
    return std::unexpected(Failure(Error{"REGION_SHAPE_INVALID", {}}));
  }
  const auto value = region_log_probability(
      std::span<const double>(mean->data(), static_cast<std::size_t>(n)),
      std::span<const double>(sign->data(), static_cast<std::size_t>(n)), *covariance);
  if (!value) return std::unexpected(Failure(Error{"REGION_NOT_EVALUABLE", {}}));
  return make_float(*value);
}

}  // namespace

PyMethodDef region_log_probability_method() {
  return function<region_signature, py_region_log_probability>(region_doc);
}

}  // namespace kestrune::liability::python
