#include "gxe/python.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "gxe/surface.hpp"
#include "python/interval.hpp"
#include "python/test_record.hpp"
#include "python/toolkit.hpp"

namespace kestrune::gxe::python {
namespace {

using namespace kestrune::python;

constexpr const char* fit_doc =
    "gxe_fit(relationship, environment, design, y, surface, grid, shape=1.0, reml=True)\n--\n\n"
    "Fit one trait with a genotype-by-environment surface.\n"
    "\n"
    "**The reported quantities come back evaluated on `grid`**, rather than as\n"
    "surface coefficients for the caller to expand. The two surfaces mean the\n"
    "same things by heritability and by genetic correlation but say them in\n"
    "quite different coordinates, and a caller that rebuilt either from the\n"
    "parameters would have to know which surface it was holding. The genetic\n"
    "correlations come back as a flattened square, in the grid's own order.";

constexpr const char* test_doc =
    "gxe_test(relationship, environment, design, y, surface, null, shape=1.0, reml=True)\n--\n\n"
    "Test a genotype-by-environment null.\n"
    "\n"
    "`null` is `interaction` for a genetic covariance that does not involve\n"
    "the environment at all, or `correlation` for one where the genetic\n"
    "variance may change but the genetic effects at any two environments are\n"
    "the same effects.";

constexpr const char* interval_doc =
    "gxe_interval(relationship, environment, design, y, surface, quantity, first, second=0.0, shape=1.0, "
    "reml=True)\n--\n\n"
    "A 95 per cent profile-likelihood interval for one reported quantity.\n"
    "\n"
    "`quantity` is `heritability`, which uses `first` as the environment, or\n"
    "`correlation`, which uses both.";

constexpr auto fit_signature =
    signature("gxe_fit", required("relationship"), required("environment"), required("design"), required("y"),
              required("surface"), required("grid"), optional("shape"), optional("reml"));
constexpr auto test_signature =
    signature("gxe_test", required("relationship"), required("environment"), required("design"), required("y"),
              required("surface"), required("null"), optional("shape"), optional("reml"));
constexpr auto interval_signature =
    signature("gxe_interval", required("relationship"), required("environment"), required("design"),
              required("y"), required("surface"), required("quantity"), required("first"), optional("second"),
              optional("shape"), optional("reml"));

template <class T>
std::unexpected<Failure> failure(Result<T>& result) {
  return std::unexpected(Failure(std::move(result.error())));
}

// The arguments every entry opens with: the relationship, as large as the sample squared, and the
// design read in place while the model is built, which copies what it keeps once its checks
// pass; the others copied.
struct Common {
  MatrixView relationship;
  std::vector<double> environment;
  MatrixView design;
  Eigen::VectorXd y;
  std::string surface;
};

template <std::size_t N>
Fallible<Common> common(const Arguments<N>& args) {
  auto relationship = MatrixView::from(args[0]);
  if (!relationship) return std::unexpected(relationship.error());
  auto environment = extract(args[1], as_float_list);
  if (!environment) return std::unexpected(environment.error());
  auto design = MatrixView::from(args[2]);
  if (!design) return std::unexpected(design.error());
  auto y = copy_vector(args[3]);
  if (!y) return std::unexpected(y.error());
  auto surface = extract(args[4], as_str);
  if (!surface) return std::unexpected(surface.error());
  return Common{std::move(*relationship), std::move(*environment), std::move(*design), std::move(*y),
                std::move(*surface)};
}

// `shape` and `reml`, the two arguments every entry closes with, from position `at` on.
struct Options {
  double shape;
  bool reml;
};

template <std::size_t N>
Fallible<Options> trailing(const Arguments<N>& args, std::size_t at) {
  auto shape = extract_or(args[at], as_float, 1.0);
  if (!shape) return std::unexpected(shape.error());
  auto reml = extract_or(args[at + 1], as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  return Options{*shape, *reml};
}

// The surface is named before the model is built, so its errors come first.
Fallible<GxeModel> build(const Common& common, double shape) {
  auto surface = name_surface(common.surface, shape);
  if (!surface) return failure(surface);
  auto model = GxeModel::build(*surface, common.relationship.strided(), common.environment, common.design.strided());
  if (!model) return failure(model);
  return std::move(*model);
}

Fallible<Owned> gxe_fit(const Arguments<8>& args) {
  auto inputs = common(args);
  if (!inputs) return std::unexpected(inputs.error());
  auto grid = extract(args[5], as_float_list);
  if (!grid) return std::unexpected(grid.error());
  auto options = trailing(args, 6);
  if (!options) return std::unexpected(options.error());

  auto model = build(*inputs, options->shape);
  if (!model) return std::unexpected(model.error());
  auto fit = model->fit_holding(inputs->y, options->reml, {});
  if (!fit) return failure(fit);
  const GridReport report = report_on_grid(*fit, *grid);
  // A fit that reports a number that is not finite has not converged, on the caller's grid too.
  const auto finite = [](const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  const bool converged = fit->converged && finite(report.genetic_variance) && finite(report.residual_variance) &&
                         finite(report.heritability) && finite(report.correlation);
  return make_tuple(make_list(fit->parameters), make_float(fit->loglik), make_bool(converged),
                    make_bool(fit->polished), make_float(fit->scaled_gradient),
                    make_list(fit->beta), make_list(fit->beta_se),
                    make_list(report.genetic_variance), make_list(report.residual_variance),
                    make_list(report.heritability), make_list(report.correlation));
}

Fallible<Owned> gxe_test(const Arguments<8>& args) {
  auto inputs = common(args);
  if (!inputs) return std::unexpected(inputs.error());
  auto null = extract(args[5], as_str);
  if (!null) return std::unexpected(null.error());
  auto options = trailing(args, 6);
  if (!options) return std::unexpected(options.error());

  auto model = build(*inputs, options->shape);
  if (!model) return std::unexpected(model.error());
  const bool reml = options->reml;
  Result<GxeTestRecord> test = [&]() -> Result<GxeTestRecord> {
    if (*null == "variance") return model->variance_test(inputs->y, reml);
    if (*null == "interaction") return model->interaction_test(inputs->y, reml);
    if (*null == "correlation") return model->correlation_test(inputs->y, reml);
    return fail("GXE_UNKNOWN_NULL", *null + ", wanted interaction, correlation or variance");
  }();
  if (!test) return failure(test);
  return make_test_tuple(test->statistic, test->p_value, test->reference, test->null_loglik, test->full_loglik);
}

Fallible<Owned> gxe_interval(const Arguments<10>& args) {
  auto inputs = common(args);
  if (!inputs) return std::unexpected(inputs.error());
  auto quantity = extract(args[5], as_str);
  if (!quantity) return std::unexpected(quantity.error());
  auto first = extract(args[6], as_float);
  if (!first) return std::unexpected(first.error());
  auto second = extract_or(args[7], as_float, 0.0);
  if (!second) return std::unexpected(second.error());
  auto options = trailing(args, 8);
  if (!options) return std::unexpected(options.error());

  auto model = build(*inputs, options->shape);
  if (!model) return std::unexpected(model.error());
  GxeQuantity held{GxeQuantity::Kind::Heritability, *first};
  if (*quantity == "correlation") {
    held = GxeQuantity{GxeQuantity::Kind::Correlation, *first, *second};
  } else if (*quantity != "heritability") {
    return std::unexpected(
        Failure(Error{"GXE_UNKNOWN_QUANTITY", *quantity + ", wanted heritability or correlation"}));
  }
  auto interval = model->profile_interval(inputs->y, options->reml, held);
  if (!interval) return failure(interval);
  return make_interval_tuple(*interval);
}

}  // namespace

PyMethodDef gxe_fit_method() { return function<fit_signature, gxe_fit>(fit_doc); }
PyMethodDef gxe_test_method() { return function<test_signature, gxe_test>(test_doc); }
PyMethodDef gxe_interval_method() { return function<interval_signature, gxe_interval>(interval_doc); }

}  // namespace kestrune::gxe::python
