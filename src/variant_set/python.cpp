#include "variant_set/python.hpp"

#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "python/toolkit.hpp"
#include "variant_set/model.hpp"

namespace kestrune::variant_set::python {
namespace {

using namespace kestrune::python;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

constexpr auto scan_signature = signature("variant_set_scan", required("backgrounds"), required("design"),
                                          required("response"), required("roots"), optional("reml"));
constexpr auto family_signature =
    signature("variant_set_family_scan", required("backgrounds"), required("design"), required("response"),
              required("roots"), required("correlations"), optional("reml"));

constexpr const char* scan_doc =
    "variant_set_scan(backgrounds, design, response, roots, reml=True)\n--\n\n"
    "Fit the null once and score every variant set against it.\n\n"
    "`backgrounds` are the covariance bases carrying everything that is not the\n"
    "variant set. Each entry of `roots` is `Z = G W` for one set: the dosages\n"
    "with their column weights already applied. Returns one record per set.";

constexpr const char* family_doc =
    "variant_set_family_scan(backgrounds, design, response, roots, correlations, reml=True)\n--\n\n"
    "Test each set across a family of assumed effect correlations and combine.";

// The arguments both scans share, extracted in order; the roots stay views, each copied by its
// own test once its shape has passed.
struct Scan {
  std::vector<MatrixView> backgrounds;  // read in place while the null is built
  MatrixView design;                    // the same, copied by the null once it can be kept
  Eigen::VectorXd response;
  std::vector<MatrixView> roots;
};

Fallible<Scan> extract_scan(std::span<const Argument> args) {
  auto backgrounds = view_matrix_list(args[0]);
  if (!backgrounds) return std::unexpected(backgrounds.error());
  auto design = MatrixView::from(args[1]);
  if (!design) return std::unexpected(design.error());
  auto response = copy_vector(args[2]);
  if (!response) return std::unexpected(response.error());
  auto roots = view_matrix_list(args[3]);
  if (!roots) return std::unexpected(roots.error());
  return Scan{std::move(*backgrounds), std::move(*design), std::move(*response), std::move(*roots)};
}

// Builds and fits the null, then tests every root by `test(model, root)` over the pool and
// makes one record per root by `record(outcome)`.
template <class Test, class Record>
Fallible<Owned> scan(Scan arguments, bool reml, Test test, Record record) {
  auto model = VariantSetModel::build(strided_list(arguments.backgrounds), arguments.design.strided(),
                                      arguments.response, reml);
  if (!model) return std::unexpected(Failure(std::move(model.error())));
  const auto outcomes = each_set(
      arguments.roots.size(), [&](std::size_t i) { return arguments.roots[i].strided(); },
      [&](const matrix_scan::Strided& root) { return test(*model, root); });
  if (!outcomes) return std::unexpected(Failure(outcomes.error()));
  return make_list_of(*outcomes, record);
}

Fallible<Owned> floats(std::span<const double> values) { return make_list(values); }

Fallible<Owned> test_record(const Result<VariantSetTest>& test) {
  if (!test) {
    return make_dict(Item{"statistic", make_float(nan)}, Item{"p_value", make_float(nan)},
                     Item{"eigenvalues", floats({})}, Item{"tail_method", make_str("")},
                     Item{"trustworthy", make_bool(false)}, Item{"code", make_str(test.error().message())});
  }
  return make_dict(Item{"statistic", make_float(test->statistic)}, Item{"p_value", make_float(test->p_value)},
                   Item{"eigenvalues", floats(test->eigenvalues)}, Item{"tail_method", make_str(test->tail_method)},
                   Item{"trustworthy", make_bool(test->trustworthy)}, Item{"code", make_str("")});
}

Fallible<Owned> family_record(const Result<VariantSetFamily>& family) {
  if (!family) {
    return make_dict(Item{"p_value", make_float(nan)}, Item{"correlations", floats({})},
                     Item{"strongest_correlation", make_float(nan)}, Item{"p_values", floats({})},
                     Item{"statistics", floats({})}, Item{"trustworthy", make_bool(false)},
                     Item{"code", make_str(family.error().message())});
  }
  std::vector<double> p_values;
  std::vector<double> statistics;
  for (const VariantSetTest& test : family->tests) {
    p_values.push_back(test.p_value);
    statistics.push_back(test.statistic);
  }
  return make_dict(Item{"p_value", make_float(family->p_value)}, Item{"correlations", floats(family->correlations)},
                   Item{"strongest_correlation", make_float(family->strongest_correlation)},
                   Item{"p_values", floats(p_values)}, Item{"statistics", floats(statistics)},
                   Item{"trustworthy", make_bool(family->trustworthy)}, Item{"code", make_str("")});
}

Fallible<Owned> py_variant_set_scan(const Arguments<5>& args) {
  auto arguments = extract_scan(args);
  if (!arguments) return std::unexpected(arguments.error());
  const auto reml = extract_or(args[4], as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  return scan(
      std::move(*arguments), *reml,
      [](const VariantSetModel& model, const matrix_scan::Strided& root) { return model.test(root); }, test_record);
}

Fallible<Owned> py_variant_set_family_scan(const Arguments<6>& args) {
  auto arguments = extract_scan(args);
  if (!arguments) return std::unexpected(arguments.error());
  const auto correlations = extract(args[4], as_float_list);
  if (!correlations) return std::unexpected(correlations.error());
  const auto reml = extract_or(args[5], as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  return scan(
      std::move(*arguments), *reml,
      [&](const VariantSetModel& model, const matrix_scan::Strided& root) {
        return model.test_family(root, *correlations);
      },
      family_record);
}

}  // namespace

PyMethodDef variant_set_scan_method() { return function<scan_signature, py_variant_set_scan>(scan_doc); }

PyMethodDef variant_set_family_scan_method() {
  return function<family_signature, py_variant_set_family_scan>(family_doc);
}

}  // namespace kestrune::variant_set::python
