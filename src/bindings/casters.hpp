// Conversions between Python objects and the core's types that pybind11's
// stock casters do not cover with the signatures the module shows.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "../motifs/motif.hpp"

namespace qor::bindings {

// A list of series from any sequence of sequences of numbers.
struct SeriesList {
    std::vector<Series> value;
};

// Python objects that are already built, tagged with the type their
// signature shows.
struct Latin1Str { pybind11::object value; };
struct IndexesDict { pybind11::object value; };
struct AveragesDict { pybind11::object value; };
struct MatchesDict { pybind11::object value; };
struct FrequentDict { pybind11::object value; };

}  // namespace qor::bindings

namespace pybind11::detail {

template <>
struct type_caster<qor::bindings::SeriesList> {
    PYBIND11_TYPE_CASTER(qor::bindings::SeriesList, const_name("List[List[float]]"));

    bool load(handle src, bool convert) {
        make_caster<std::vector<qor::Series>> inner;
        if (!inner.load(src, convert)) return false;
        value.value = cast_op<std::vector<qor::Series>&&>(std::move(inner));
        return true;
    }
    static handle cast(const qor::bindings::SeriesList&, return_value_policy, handle) = delete;
};

#define QOR_OUTPUT_CASTER(Type, Name)                                                    \
    template <>                                                                          \
    struct type_caster<Type> {                                                           \
        PYBIND11_TYPE_CASTER(Type, Name);                                                \
        bool load(handle, bool) { return false; }                                        \
        static handle cast(Type src, return_value_policy, handle) {                      \
            return src.value.release();                                                  \
        }                                                                                \
    };

QOR_OUTPUT_CASTER(qor::bindings::Latin1Str, const_name("str"))
QOR_OUTPUT_CASTER(qor::bindings::IndexesDict, const_name("Dict[int, List[int]]"))
QOR_OUTPUT_CASTER(qor::bindings::AveragesDict, const_name("Dict[int, List[float]]"))
QOR_OUTPUT_CASTER(qor::bindings::MatchesDict, const_name("Dict[int, int]"))
QOR_OUTPUT_CASTER(qor::bindings::FrequentDict,
                  const_name("Dict[str, ") + make_caster<qor::Motif>::name + const_name("]"))

#undef QOR_OUTPUT_CASTER

}  // namespace pybind11::detail
