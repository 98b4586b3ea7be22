#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "../motifs/miner.hpp"
#include "../patterns/pattern_miner.hpp"
#include "../sax/sax.hpp"
#include "casters.hpp"

namespace py = pybind11;
using namespace qor;
using namespace qor::bindings;

namespace {

py::object latin1(const Pattern& p) {
    PyObject* s = PyUnicode_DecodeLatin1(p.data(), static_cast<Py_ssize_t>(p.size()), nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

py::object int_list(const int32_t* first, const int32_t* last) {
    py::list out(last - first);
    for (Py_ssize_t i = 0; first != last; ++first, ++i)
        PyList_SET_ITEM(out.ptr(), i, py::int_(*first).release().ptr());
    return std::move(out);
}

py::object float_list(const double* first, const double* last) {
    py::list out(last - first);
    for (Py_ssize_t i = 0; first != last; ++first, ++i)
        PyList_SET_ITEM(out.ptr(), i, py::float_(*first).release().ptr());
    return std::move(out);
}

py::object indexes_dict(const Motif& m) {
    py::dict out;
    for (std::size_t r = 0; r < m.indexes.size(); ++r)
        out[py::int_(m.indexes.series[r])] = int_list(m.indexes.begin_of(r), m.indexes.end_of(r));
    return std::move(out);
}

py::object averages_dict(const Motif& m) {
    py::dict out;
    if (m.average_occurrences.empty()) return std::move(out);
    const std::size_t len = static_cast<std::size_t>(m.length);
    for (std::size_t r = 0; r < m.indexes.size(); ++r) {
        const double* row = m.average_occurrences.data() + r * len;
        out[py::int_(m.indexes.series[r])] = float_list(row, row + len);
    }
    return std::move(out);
}

py::object matches_dict(const Motif& m) {
    py::dict out;
    for (std::size_t r = 0; r < m.best_matches.size(); ++r)
        out[py::int_(m.indexes.series[r])] = py::int_(m.best_matches[r]);
    return std::move(out);
}

py::object frequent_dict(const PatternMiner& miner) {
    // A copy of the map as it is now: building Python objects can run
    // arbitrary Python code (a collection, a finaliser) that mines again.
    std::vector<Motif> motifs;
    motifs.reserve(miner.frequent.size());
    for (const auto& entry : miner.frequent) motifs.push_back(entry.second);
    py::dict out;
    for (Motif& motif : motifs) {
        py::object key = latin1(motif.pattern);
        out[key] = py::cast(std::move(motif), py::return_value_policy::move);
    }
    return std::move(out);
}

}  // namespace

PYBIND11_MODULE(_qor_cpp, m) {
    py::class_<Motif>(m, "Motif")
        .def_property_readonly("pattern", [](const Motif& s) { return Latin1Str{latin1(s.pattern)}; })
        .def_property_readonly("indexes", [](const Motif& s) { return IndexesDict{indexes_dict(s)}; })
        .def_property_readonly("average_occurrences",
                               [](const Motif& s) { return AveragesDict{averages_dict(s)}; })
        .def_property_readonly("representative", [](const Motif& s) { return s.representative; })
        .def_property_readonly("best_matches", [](const Motif& s) { return MatchesDict{matches_dict(s)}; })
        .def_property_readonly("length", [](const Motif& s) { return s.length; })
        .def_property_readonly("naed", [](const Motif& s) { return s.naed; })
        .def("__repr__", [](const Motif& s) {
            return Latin1Str{py::str("Motif('{}')").format(latin1(s.pattern))};
        });

    py::class_<Miner>(m, "Miner")
        .def(py::init<double, int32_t, int32_t, int32_t, int32_t, double, int32_t>(), py::arg("minsup"),
             py::arg("seglen"), py::arg("alphabet"), py::arg("min_len") = 3, py::arg("max_len") = 0,
             py::arg("max_overlap") = 0.9, py::arg("k") = 0)
        .def("mine", [](Miner& self, SeriesList ts) { return self.mine(ts.value); })
        .def_property_readonly("motifs", [](const Miner& self) { return self.motifs; });

    py::class_<PatternMiner>(m, "PatternMiner")
        .def(py::init<double, int32_t, int32_t, double>(), py::arg("minsup"), py::arg("min_len") = 3,
             py::arg("max_len") = 0, py::arg("max_overlap") = 0.9)
        .def("mine", [](PatternMiner& self, const WordList& words) { self.mine(words.value); })
        .def_property_readonly("frequent", [](const PatternMiner& self) { return FrequentDict{frequent_dict(self)}; });

    m.def("sax", [](const SeriesList& ts, int32_t seglen, int32_t alphabet) { return sax(ts.value, seglen, alphabet); },
          py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));
}
