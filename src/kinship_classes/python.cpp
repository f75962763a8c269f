#include "kinship_classes/python.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kinship_classes/kinship_classes.hpp"
#include "python/toolkit.hpp"
#include "relationship/python.hpp"

namespace kestrune::kinship_classes::python {

namespace py = kestrune::python;
using relationship::Person;

namespace {

using OptionalTexts = std::vector<std::optional<std::string>>;

constexpr auto kinship_classes_signature =
    py::signature("kinship_classes", py::required("ids"), py::required("father"),
                  py::required("mother"), py::required("sex"), py::optional("keep"));

SexTable sex_table(const std::vector<std::string>& ids, OptionalTexts& sex) {
  SexTable sexes;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (sex[i]) sexes.insert_or_assign(ids[i], std::move(*sex[i]));  // a later position wins
  }
  return sexes;
}

// Each matrix is released once its array exists, so that at most one extra matrix is held.
py::Fallible<py::Owned> arrays_of(std::vector<Eigen::MatrixXd> matrices) {
  std::vector<py::Fallible<py::Owned>> arrays;
  for (Eigen::MatrixXd& matrix : matrices) {
    arrays.push_back(relationship::python::symmetric_array(matrix));
    matrix.resize(0, 0);
    if (!arrays.back()) break;
  }
  return py::make_list(std::move(arrays));
}

py::Fallible<py::Owned> kinship_classes_body(const py::Arguments<5>& args) {
  auto columns = relationship::python::pedigree_columns(args[0], args[1], args[2]);
  if (!columns) return std::unexpected(columns.error());
  auto sex = py::extract(args[3], py::as_optional_str_list);
  if (!sex) return std::unexpected(sex.error());
  auto keep = py::extract_optional(args[4], py::as_str_list);
  if (!keep) return std::unexpected(keep.error());

  auto lengths = relationship::python::check_lengths(*columns, sex->size());
  if (!lengths) return std::unexpected(lengths.error());
  const SexTable sexes = sex_table(columns->ids, *sex);
  const std::vector<Person> people = relationship::python::people_of(*columns);
  auto split = KinshipClasses::build(people, sexes, keep->value_or(std::vector<std::string>{}));
  if (!split) return relationship::python::raise_pedigree_error(split.error());

  const std::vector<std::string> row_ids = std::move(split->ids);
  const std::array<std::size_t, 4> counts = split->pair_counts;
  // The arrays first: no further object is built while their failure's exception is set.
  auto arrays = arrays_of(std::move(*split).matrices());
  if (!arrays) return arrays;
  return py::make_tuple(
      std::move(*arrays), py::make_list(std::span(row_ids)),
      py::make_list_of(class_names, [](std::string_view name) { return py::make_str(name); }),
      py::make_list_of(counts, [](std::size_t count) { return py::make_uint(count); }));
}

constexpr const char* kinship_classes_doc =
    "kinship_classes(ids, father, mother, sex, keep=None)\n"
    "--\n"
    "\n"
    "Split the relationship matrix by the kind of parent\u2013offspring tie.\n"
    "\n"
    "Returns the five matrices the model wants \u2014 everything else, then\n"
    "mother\u2013son, mother\u2013daughter, father\u2013son and father\u2013daughter \u2014 with the\n"
    "identifiers their rows are in, the class names, and how many pairs fell\n"
    "in each class.\n"
    "\n"
    "**The pair counts are worth reading before the answer is.** A class's\n"
    "weight is determined by the pairs in it, and these classes are rarely\n"
    "balanced: a sample of adult twins and their parents may hold some four\n"
    "hundred mother\u2013daughter pairs and fewer than forty father\u2013son pairs.";

}  // namespace

PyMethodDef kinship_classes_method() {
  return py::function<kinship_classes_signature, kinship_classes_body>(kinship_classes_doc);
}

}  // namespace kestrune::kinship_classes::python
