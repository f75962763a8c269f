#include "relationship/python.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/toolkit.hpp"

namespace kestrune::relationship::python {

namespace py = kestrune::python;

py::Fallible<py::Owned> symmetric_array(const Eigen::MatrixXd& matrix) {
  // A symmetric matrix's column-major storage is also its row-major order, so the array is
  // filled by one contiguous copy instead of a strided transpose.
  const auto size = static_cast<std::size_t>(matrix.size());
  return py::make_array(std::span<const double>(matrix.data(), size), matrix.rows(), matrix.cols());
}

py::Fallible<PedigreeColumns> pedigree_columns(const py::Argument& ids, const py::Argument& father,
                                               const py::Argument& mother) {
  auto id_list = py::extract(ids, py::as_str_list);
  if (!id_list) return std::unexpected(id_list.error());
  auto fathers = py::extract(father, py::as_optional_str_list);
  if (!fathers) return std::unexpected(fathers.error());
  auto mothers = py::extract(mother, py::as_optional_str_list);
  if (!mothers) return std::unexpected(mothers.error());
  return PedigreeColumns{std::move(*id_list), std::move(*fathers), std::move(*mothers)};
}

py::Fallible<void> check_lengths(const PedigreeColumns& columns, std::size_t further) {
  const std::size_t n = columns.ids.size();
  if (columns.father.size() != n || columns.mother.size() != n || further != n) {
    return std::unexpected(py::Failure(Error{"PEDIGREE_LENGTH_MISMATCH", {}}));
  }
  return {};
}

std::vector<Person> people_of(PedigreeColumns& columns,
                              std::vector<std::optional<std::string>>* twin) {
  std::vector<Person> people(columns.ids.size());
  for (std::size_t i = 0; i < people.size(); ++i) {
    people[i] = Person{columns.ids[i], std::move(columns.father[i]), std::move(columns.mother[i]),
                       twin ? std::move((*twin)[i]) : std::nullopt};
  }
  return people;
}

py::Fallible<py::Owned> raise_pedigree_error(const PedigreeError& error) {
  auto message = py::make_str(error.code());
  if (!message) return std::unexpected(message.error());
  PyErr_SetObject(PyExc_ValueError, message->get());
  return py::raised();
}

namespace {

constexpr auto relationship_signature =
    py::signature("relationship", py::required("ids"), py::required("father"),
                  py::required("mother"), py::optional("mz_twin"), py::optional("keep"));

py::Fallible<py::Owned> relationship_body(const py::Arguments<5>& args) {
  auto columns = pedigree_columns(args[0], args[1], args[2]);
  if (!columns) return std::unexpected(columns.error());
  auto twin = py::extract_optional(args[3], py::as_optional_str_list);
  if (!twin) return std::unexpected(twin.error());
  auto keep = py::extract_optional(args[4], py::as_str_list);
  if (!keep) return std::unexpected(keep.error());

  // Without twin labels there is no further column to compare.
  auto lengths = check_lengths(*columns, *twin ? (*twin)->size() : columns->ids.size());
  if (!lengths) return std::unexpected(lengths.error());
  const std::vector<Person> people = people_of(*columns, *twin ? &**twin : nullptr);
  const auto planned = plan(people, keep->value_or(std::vector<std::string>{}));
  if (!planned) return raise_pedigree_error(planned.error());

  // The matrix is written straight into the returned array: one n x n buffer in all.
  const auto k = static_cast<Eigen::Index>(planned->ids.size());
  auto matrix = py::make_array_filled(k, k, [&](std::span<double> out) {
    tabulate(*planned, people, Eigen::Map<Eigen::MatrixXd>(out.data(), k, k));
  });
  if (!matrix) return matrix;
  return py::make_tuple(std::move(*matrix), py::make_list(std::span(planned->ids)));
}

constexpr const char* relationship_doc =
    "relationship(ids, father, mother, mz_twin=None, keep=None)\n"
    "--\n"
    "\n"
    "Build the additive relationship matrix from a pedigree held in memory.\n"
    "\n"
    "Returns the matrix and the identifiers its rows are in so the caller can\n"
    "align the response and design before passing the numerical arrays to\n"
    "`prepare`.";

}  // namespace

PyMethodDef relationship_method() {
  return py::function<relationship_signature, relationship_body>(relationship_doc);
}

}  // namespace kestrune::relationship::python
