#include "association/python.hpp"

#include <limits>
#include <string>
#include <utility>

#include "association/model.hpp"
#include "python/toolkit.hpp"

namespace kestrune::association::python {
namespace {

using namespace kestrune::python;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

constexpr auto sweep_signature =
    signature("association_sweep", required("relationship"), required("design"), required("y"),
              required("markers"), optional("variance"), optional("refit_below"));

constexpr const char* sweep_doc =
    "association_sweep(relationship, design, y, markers, variance=\"held\", refit_below=None)\n--\n\n"
    "Sweep many markers through a polygenic model.\n\n"
    "Returns the null heritability, the null log likelihood, one row per marker of\n"
    "effect, standard error, Wald statistic, likelihood ratio, p-value, whether the\n"
    "heritability was refitted and a code, and the covariates' null effects (estimate,\n"
    "standard error, p-value). A marker that cannot be tested comes back with a stable\n"
    "code in place of its numbers rather than stopping the sweep.\n\n"
    "**Wald and the likelihood ratio are the same number under `held`; they differ\n"
    "only under `refitted`, which refits the variance components for every marker and\n"
    "is far slower.**";

std::unexpected<Failure> code(Error error) { return std::unexpected<Failure>(std::move(error)); }

Result<bool> refit_mode(const std::string& variance) {
  if (variance == "held") return false;
  if (variance == "refitted") return true;
  return fail("ASSOCIATION_UNKNOWN_VARIANCE", variance + ", wanted held or refitted");
}

// The marker columns, read from the caller's array a batch at a time: no copy of the
// whole matrix is made. Rows run outermost so that a C-order array is read in order.
MarkerColumns columns_of(const MatrixView& view) {
  return {view.rows(), view.cols(), [&view](Eigen::Index first, Eigen::Ref<Eigen::MatrixXd> batch) {
            for (Eigen::Index i = 0; i < batch.rows(); ++i)
              for (Eigen::Index j = 0; j < batch.cols(); ++j) batch(i, j) = view(i, first + j);
          }};
}

Fallible<Owned> row(const Result<MarkerTest>& result) {
  if (!result) {
    return make_tuple(make_float(nan), make_float(nan), make_float(nan), make_float(nan), make_float(nan),
                      make_bool(false), make_str(result.error().message()));
  }
  const MarkerTest& test = *result;
  return make_tuple(make_float(test.effect), make_float(test.standard_error), make_float(test.wald),
                    make_float(test.likelihood_ratio), make_float(test.p_value), make_bool(test.refitted),
                    make_str(""));
}

Fallible<Owned> covariate(const CovariateEffect& effect) {
  return make_tuple(make_float(effect.estimate), make_float(effect.standard_error), make_float(effect.p_value));
}

Fallible<Owned> py_association_sweep(const Arguments<6>& args) {
  const auto relationship = MatrixView::from(args[0]);
  if (!relationship) return std::unexpected(relationship.error());
  const auto design = MatrixView::from(args[1]);
  if (!design) return std::unexpected(design.error());
  auto y = copy_vector(args[2]);
  if (!y) return std::unexpected(y.error());
  const auto markers = MatrixView::from(args[3]);
  if (!markers) return std::unexpected(markers.error());
  const auto variance = extract_or(args[4], as_str, std::string("held"));
  if (!variance) return std::unexpected(variance.error());
  const auto refit_below = extract_optional(args[5], as_float);
  if (!refit_below) return std::unexpected(refit_below.error());

  auto model = AssociationModel::build(relationship->strided(), design->strided(), *y);
  if (!model) return code(std::move(model.error()));
  const auto refit = refit_mode(*variance);
  if (!refit) return code(refit.error());
  const auto rows = model->sweep_refitting_below(columns_of(*markers), *refit, *refit_below);
  if (!rows) return code(rows.error());
  const auto covariates = model->covariate_effects();
  if (!covariates) return code(covariates.error());
  return make_tuple(make_float(model->null_h2()), make_float(model->null_loglik()), make_list_of(*rows, row),
                    make_list_of(*covariates, covariate));
}

}  // namespace

PyMethodDef association_sweep_method() {
  return function<sweep_signature, py_association_sweep>(sweep_doc);
}

}  // namespace kestrune::association::python
