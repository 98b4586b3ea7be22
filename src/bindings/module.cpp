#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exception>

#include "bindings/casters.hpp"
#include "patterns/pattern_miner.hpp"
#include "pipeline/miner.hpp"
#include "sax/sax.hpp"

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
    for (Py_ssize_t i = 0; first != last; ++first, ++i) PyList_SET_ITEM(out.ptr(), i, py::int_(*first).release().ptr());
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

// Rows that the motif computes when they are read are made one at a time,
// straight into their lists.
py::object averages_dict(const Motif& m) {
    py::dict out;
    if (!m.has_average_rows()) return std::move(out);
    const std::size_t len = static_cast<std::size_t>(m.length);
    std::vector<double> row(len), scratch(len);
    for (std::size_t r = 0; r < m.indexes.size(); ++r) {
        m.average_row(r, row.data(), scratch.data());
        out[py::int_(m.indexes.series[r])] = float_list(row.data(), row.data() + len);
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

// Runs f() without the GIL and returns what it threw, if anything. The GIL
// is taken back by a plain call rather than by a destructor: a thread that
// asks for it while the interpreter shuts down is ended by a forced unwind,
// which must pass through no noexcept frame (and no handler that would
// touch Python objects).
template <typename F>
std::exception_ptr without_gil(F&& f) {
    std::exception_ptr error;
    PyThreadState* state = PyEval_SaveThread();
    try {
        f();
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    return error;
}

// The mining calls compute on a miner of their own with the same settings,
// so that other Python threads (which may read or mine with `self`
// meanwhile) never see a half-built state. The outcome replaces self's
// state once the GIL is held again, also when mining fails part way (a
// failure may leave the results emptied, or complete but unselected).
// The thread team is made while the GIL is held: it reads QOR_NUM_THREADS,
// which other Python threads may be changing.
std::vector<Motif> mine_unlocked(Miner& self, Collection&& ts) {
    Miner work(self.minsup, self.seglen, self.alphabet, self.min_len, self.max_len, self.max_overlap, self.k);
    std::vector<Motif> top;
    Workers workers;
    const std::exception_ptr error = without_gil([&] { top = work.mine(std::move(ts), workers); });
    self.motifs = std::move(work.motifs);
    if (error) std::rethrow_exception(error);
    return top;
}

void mine_unlocked(PatternMiner& self, const std::vector<Word>& words) {
    PatternMiner work(self.minsup, self.min_len, self.max_len, self.max_overlap);
    Workers workers;
    const std::exception_ptr error = without_gil([&] { work.mine(words, workers); });
    self = std::move(work);
    if (error) std::rethrow_exception(error);
}

std::vector<Word> sax_unlocked(const Collection& ts, int32_t seglen, int32_t alphabet) {
    std::vector<Word> words;
    Workers workers;
    const std::exception_ptr error = without_gil([&] { words = sax(ts, seglen, alphabet, workers); });
    if (error) std::rethrow_exception(error);
    return words;
}

}  // namespace

PYBIND11_MODULE(_qor_cpp, m) {
    py::class_<Motif>(m, "Motif")
        .def_property_readonly("pattern", [](const Motif& s) { return Latin1Str{latin1(s.pattern)}; })
        .def_property_readonly("indexes", [](const Motif& s) { return IndexesDict{indexes_dict(s)}; })
        .def_property_readonly("average_occurrences", [](const Motif& s) { return AveragesDict{averages_dict(s)}; })
        .def_property_readonly("representative", [](const Motif& s) { return s.representative; })
        .def_property_readonly("best_matches", [](const Motif& s) { return MatchesDict{matches_dict(s)}; })
        .def_property_readonly("length", [](const Motif& s) { return s.length; })
        .def_property_readonly("naed", [](const Motif& s) { return s.naed; })
        .def("__repr__", [](const Motif& s) { return Latin1Str{py::str("Motif('{}')").format(latin1(s.pattern))}; });

    py::class_<Miner>(m, "Miner")
        .def(py::init<double, int32_t, int32_t, int32_t, int32_t, double, int32_t>(), py::arg("minsup"),
             py::arg("seglen"), py::arg("alphabet"), py::arg("min_len") = 3, py::arg("max_len") = 0,
             py::arg("max_overlap") = 0.9, py::arg("k") = 0)
        .def("mine", [](Miner& self, SeriesList ts) { return mine_unlocked(self, std::move(ts.value)); })
        .def_property_readonly("motifs", [](const Miner& self) { return self.motifs; });

    py::class_<PatternMiner>(m, "PatternMiner")
        .def(py::init<double, int32_t, int32_t, double>(), py::arg("minsup"), py::arg("min_len") = 3,
             py::arg("max_len") = 0, py::arg("max_overlap") = 0.9)
        .def("mine", [](PatternMiner& self, const WordList& words) { mine_unlocked(self, words.value); })
        .def_property_readonly("frequent", [](const PatternMiner& self) { return FrequentDict{frequent_dict(self)}; });

    m.def(
        "sax",
        [](const SeriesList& ts, int32_t seglen, int32_t alphabet) { return sax_unlocked(ts.value, seglen, alphabet); },
        py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));
}
