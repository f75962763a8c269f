#include "mixed_bivariate/python.hpp"

#include "mixed_bivariate/model.hpp"
#include "python/toolkit.hpp"

namespace kestrune::mixed_bivariate::python {
namespace {

using namespace kestrune::python;

constexpr auto fit_signature =
    signature("mixed_bivariate_fit", required("relationship"), required("first_kind"), required("first_value"),
              required("first_censoring"), required("first_limit"), required("second_kind"),
              required("second_value"), required("second_censoring"), required("second_limit"),
              required("design"));
constexpr auto test_signature =
    signature("mixed_bivariate_test", required("relationship"), required("first_kind"), required("first_value"),
              required("first_censoring"), required("first_limit"), required("second_kind"),
              required("second_value"), required("second_censoring"), required("second_limit"),
              required("design"), required("coordinate"), required("null"));
constexpr auto interval_signature =
    signature("mixed_bivariate_interval", required("relationship"), required("first_kind"),
              required("first_value"), required("first_censoring"), required("first_limit"),
              required("second_kind"), required("second_value"), required("second_censoring"),
              required("second_limit"), required("design"), required("coordinate"));

constexpr const char* fit_doc =
    "mixed_bivariate_fit(relationship, first_kind, first_value, first_censoring, first_limit, "
    "second_kind, second_value, second_censoring, second_limit, design)\n--\n\n"
    "Fit two traits whose measurements need not be of the same kind.\n\n"
    "A kind is 0 for a continuous trait, 1 for a binary one and 2 for a censored\n"
    "one. A censoring code is 0 where the value was measured, 1 where it lies at\n"
    "or above its limit and 2 where it lies at or below it. For a binary trait 1\n"
    "is a case and 2 a control, and the limit is nought, because the intercept\n"
    "carries the threshold.\n\n"
    "Returns the two heritabilities, the two total variances, the genetic and the\n"
    "residual correlation, the fixed effects of each trait, the log likelihood,\n"
    "whether the search converged, its scaled gradient, and the largest family\n"
    "the region probability had to cover.";

constexpr const char* test_doc =
    "mixed_bivariate_test(relationship, first_kind, first_value, first_censoring, first_limit, "
    "second_kind, second_value, second_censoring, second_limit, design, coordinate, null)\n--\n\n"
    "One correlation of the mixed bivariate model against nought.\n\n"
    "`coordinate` is 4 for the genetic and 5 for the residual correlation, and\n"
    "`null` the value it is held at. The reference is a plain chi-square on one\n"
    "degree of freedom for an interior null, and the even mixture of a point mass\n"
    "at nought and that chi-square where the null is plus or minus one.\n\n"
    "Returns the coordinate's name, the statistic, the p-value, the reference,\n"
    "and the null and full log likelihoods.";

constexpr const char* interval_doc =
    "mixed_bivariate_interval(relationship, first_kind, first_value, first_censoring, first_limit, "
    "second_kind, second_value, second_censoring, second_limit, design, coordinate)\n--\n\n"
    "A 95 per cent profile-likelihood interval for one coordinate.\n\n"
    "`coordinate` is 0 or 1 for the two heritabilities, 4 for the genetic and 5\n"
    "for the residual correlation. The variances have no interval, because a\n"
    "binary trait's is fixed at one.\n\n"
    "Returns the coordinate's name, the estimate, the two ends, whether each end\n"
    "sits on the coordinate's own bound, the level, how many profile fits failed,\n"
    "and two places that are always None.";

// One trait's four arguments, extracted.
struct TraitArguments {
  std::int64_t kind;
  VectorView value;
  CodesView censoring;
  VectorView limit;
};

Fallible<TraitArguments> extract_trait(const Argument& kind, const Argument& value, const Argument& censoring,
                                       const Argument& limit) {
  auto k = extract(kind, as_int64);
  if (!k) return std::unexpected(k.error());
  auto v = VectorView::from(value);
  if (!v) return std::unexpected(v.error());
  auto c = CodesView::from(censoring);
  if (!c) return std::unexpected(c.error());
  auto l = VectorView::from(limit);
  if (!l) return std::unexpected(l.error());
  return TraitArguments{*k, std::move(*v), std::move(*c), std::move(*l)};
}

// The kind (read as unsigned, below 3), then the copies and the censoring conversion.
Fallible<TraitData> trait_from(const TraitArguments& trait) {
  if (static_cast<std::uint64_t>(trait.kind) >= 3) {
    return std::unexpected(Failure(Error{"MIXED_BIVARIATE_TRAIT_KIND_UNKNOWN", {}}));
  }
  std::vector<double> value = trait.value.to_vector();
  auto censoring = tobit::censoring_from(trait.censoring.to_vector());
  if (!censoring) return std::unexpected(Failure(censoring.error()));
  return TraitData{std::move(value), std::move(*censoring), trait.limit.to_vector(),
                   static_cast<TraitKind>(trait.kind)};
}

// The first ten arguments of every entry, extracted in order.
struct Inputs {
  MatrixView relationship;
  TraitArguments first;
  TraitArguments second;
  MatrixView design;
};

template <std::size_t N>
Fallible<Inputs> extract_inputs(const Arguments<N>& args) {
  auto relationship = MatrixView::from(args[0]);
  if (!relationship) return std::unexpected(relationship.error());
  auto first = extract_trait(args[1], args[2], args[3], args[4]);
  if (!first) return std::unexpected(first.error());
  auto second = extract_trait(args[5], args[6], args[7], args[8]);
  if (!second) return std::unexpected(second.error());
  auto design = MatrixView::from(args[9]);
  if (!design) return std::unexpected(design.error());
  return Inputs{std::move(*relationship), std::move(*first), std::move(*second), std::move(*design)};
}

// The two traits in order, and the model (the relationship is read in place, the design copied
// once its shape fits).
Fallible<MixedBivariateModel> build(const Inputs& inputs) {
  auto first = trait_from(inputs.first);
  if (!first) return std::unexpected(first.error());
  auto second = trait_from(inputs.second);
  if (!second) return std::unexpected(second.error());
  auto model = MixedBivariateModel::build(inputs.relationship.strided(), std::move(*first), std::move(*second),
                                          inputs.design.strided());
  if (!model) return std::unexpected(Failure(model.error()));
  return std::move(*model);
}

Fallible<Owned> py_fit(const Arguments<10>& args) {
  const auto inputs = extract_inputs(args);
  if (!inputs) return std::unexpected(inputs.error());
  const auto model = build(*inputs);
  if (!model) return std::unexpected(model.error());
  const auto fit = model->fit_holding(std::nullopt);
  if (!fit) return std::unexpected(Failure(fit.error()));
  return make_tuple(make_list(fit->heritability), make_list(fit->variance), make_float(fit->genetic_correlation),
                    make_float(fit->residual_correlation), make_list(fit->beta_1), make_list(fit->beta_2),
                    make_float(fit->loglik), make_bool(fit->converged), make_float(fit->scaled_gradient),
                    make_uint(fit->largest_family));
}

Fallible<Owned> py_test(const Arguments<12>& args) {
  const auto inputs = extract_inputs(args);
  if (!inputs) return std::unexpected(inputs.error());
  auto coordinate = extract(args[10], as_uint64);
  if (!coordinate) return std::unexpected(coordinate.error());
  auto null = extract(args[11], as_float);
  if (!null) return std::unexpected(null.error());
  const auto model = build(*inputs);
  if (!model) return std::unexpected(model.error());
  const auto test = model->correlation_test(*coordinate, *null);
  if (!test) return std::unexpected(Failure(test.error()));
  return make_tuple(make_str(test->name), make_float(test->statistic), make_float(test->p_value),
                    make_str(test->reference), make_float(test->null_loglik), make_float(test->full_loglik));
}

Fallible<Owned> py_interval(const Arguments<11>& args) {
  const auto inputs = extract_inputs(args);
  if (!inputs) return std::unexpected(inputs.error());
  auto coordinate = extract(args[10], as_uint64);
  if (!coordinate) return std::unexpected(coordinate.error());
  const auto model = build(*inputs);
  if (!model) return std::unexpected(model.error());
  const auto found = model->profile_interval(*coordinate);
  if (!found) return std::unexpected(Failure(found.error()));
  return make_tuple(make_str(*coordinate_name(*coordinate)), make_float(*found->estimate),
                    make_float(found->lower), make_float(found->upper), make_bool(found->lower_limited),
                    make_bool(found->upper_limited), make_float(found->level), make_uint(found->profile_failures),
                    make_none(), make_none());
}

}  // namespace

PyMethodDef mixed_bivariate_fit_method() { return function<fit_signature, py_fit>(fit_doc); }
PyMethodDef mixed_bivariate_test_method() { return function<test_signature, py_test>(test_doc); }
PyMethodDef mixed_bivariate_interval_method() {
  return function<interval_signature, py_interval>(interval_doc);
}

}  // namespace kestrune::mixed_bivariate::python
