// Builders of Python results. Each returns a new reference or the failure with the
// exception set; the composite builders take the results of other builders and pass
// on the first failure among them.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <Eigen/Core>

#include "python/owned.hpp"

namespace kestrune::python {

Fallible<Owned> make_float(double value);
Fallible<Owned> make_int(std::int64_t value);
Fallible<Owned> make_uint(std::uint64_t value);
Fallible<Owned> make_bool(bool value);
Fallible<Owned> make_str(std::string_view utf8);
Fallible<Owned> make_none();

// None for an absent value, else `build(*value)`.
template <class T, class Build>
Fallible<Owned> make_optional(const std::optional<T>& value, Build build) {
  if (!value) return make_none();
  return build(*value);
}

// A list of the built items, in order.
Fallible<Owned> make_list(std::vector<Fallible<Owned>> items);
Fallible<Owned> make_list(std::span<const double> values);
Fallible<Owned> make_list(const Eigen::VectorXd& values);
Fallible<Owned> make_list(std::span<const std::string> values);

// A list with build(x) for each x of `values`.
template <class Range, class Build>
Fallible<Owned> make_list_of(const Range& values, Build build) {
  std::vector<Fallible<Owned>> items;
  for (const auto& value : values) {
    items.push_back(build(value));
    if (!items.back()) break;
  }
  return make_list(std::move(items));
}

// A tuple of the built items, in order: make_tuple(make_float(x), make_str(s)).
Fallible<Owned> make_tuple(std::vector<Fallible<Owned>> items);
template <class... Items>
  requires(std::convertible_to<Items, Fallible<Owned>> && ...)
Fallible<Owned> make_tuple(Items&&... items) {
  std::vector<Fallible<Owned>> all;
  all.reserve(sizeof...(Items));
  (all.emplace_back(std::forward<Items>(items)), ...);
  return make_tuple(std::move(all));
}

// One key of a dict and its built value.
struct Item {
  const char* key;
  Fallible<Owned> value;
};

// A dict whose keys keep the order given: make_dict(Item{"a", ...}, Item{"b", ...}).
Fallible<Owned> make_dict(std::vector<Item> items);
template <class... Items>
  requires(std::same_as<std::remove_cvref_t<Items>, Item> && ...)
Fallible<Owned> make_dict(Items&&... items) {
  std::vector<Item> all;
  all.reserve(sizeof...(Items));
  (all.push_back(std::forward<Items>(items)), ...);
  return make_dict(std::move(all));
}

}  // namespace kestrune::python
