#include "autoregressive/python.hpp"

#include <utility>
#include <vector>

#include "autoregressive/model.hpp"
#include "python/toolkit.hpp"

namespace kestrune::autoregressive::python {
namespace {

using namespace kestrune::python;

constexpr auto fit_signature = signature("autoregressive_fit", required("fixed"), required("row"), required("column"),
                                         required("design"), required("y"), optional("reml"));

constexpr const char* fit_doc =
    "autoregressive_fit(fixed, row, column, design, y, reml=True)\n--\n\n"
    "Fit one trait with fixed components and a separable autoregressive grid.\n\n"
    "`row` and `column` are the cell coordinates of each person, as whole\n"
    "numbers of cells. The grid's spacing lives in how the caller made them, so\n"
    "the two rates that come back are correlations *per cell* and mean nothing\n"
    "without the cell size that produced them.";

constexpr auto cells_signature = signature("autoregressive_cells", required("row"), required("column"));

constexpr const char* cells_doc =
    "autoregressive_cells(row, column)\n--\n\n"
    "How many distinct cells a set of coordinates holds.\n\n"
    "Worth having on its own: a grid so fine that almost every person is alone\n"
    "in a cell has nothing to say about neighbours, and a grid so coarse that\n"
    "everybody shares one cell has nothing to say at all. This is how a caller\n"
    "checks before paying for a fit.";

constexpr auto as_coordinates = as_list<as_int64>;

Fallible<Owned> fit_record(const AutoregressiveFit& fit) {
  return make_tuple(make_list(fit.coefficients), make_list(fit.proportions), make_float(fit.total),
                    make_tuple(make_float(fit.rho_row), make_float(fit.rho_col), make_float(fit.half_distance_row),
                               make_float(fit.half_distance_col)),
                    make_float(fit.loglik), make_bool(fit.converged), make_bool(fit.polished),
                    make_float(fit.scaled_gradient), make_list(fit.beta), make_list(fit.beta_se));
}

Fallible<Owned> fit_body(const Arguments<6>& args) {
  auto fixed = view_matrix_list(args[0]);
  if (!fixed) return std::unexpected(fixed.error());
  auto row = extract(args[1], as_coordinates);
  if (!row) return std::unexpected(row.error());
  auto column = extract(args[2], as_coordinates);
  if (!column) return std::unexpected(column.error());
  auto design = MatrixView::from(args[3]);
  if (!design) return std::unexpected(design.error());
  auto y = copy_vector(args[4]);
  if (!y) return std::unexpected(y.error());
  auto reml = extract_or(args[5], as_bool, true);
  if (!reml) return std::unexpected(reml.error());

  // The matrices are read in place; the model copies what it keeps once its checks have passed.
  auto model = AutoregressiveModel::build(strided_list(*fixed), *row, *column, design->strided());
  if (!model) return std::unexpected(Failure(model.error()));
  auto fit = model->fit(*y, *reml);
  if (!fit) return std::unexpected(Failure(fit.error()));
  return fit_record(*fit);
}

Fallible<Owned> cells_body(const Arguments<2>& args) {
  auto row = extract(args[0], as_coordinates);
  if (!row) return std::unexpected(row.error());
  auto column = extract(args[1], as_coordinates);
  if (!column) return std::unexpected(column.error());
  if (row->size() != column->size()) return std::unexpected(Failure(Error{cells_wrong_length, std::nullopt}));
  return make_int(static_cast<std::int64_t>(distinct_cells(*row, *column).rows.size()));
}

}  // namespace

PyMethodDef autoregressive_fit_method() { return function<fit_signature, fit_body>(fit_doc); }
PyMethodDef autoregressive_cells_method() { return function<cells_signature, cells_body>(cells_doc); }

}  // namespace kestrune::autoregressive::python
