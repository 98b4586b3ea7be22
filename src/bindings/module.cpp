#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exception>
#include <new>

#include "bindings/casters.hpp"
#include "bindings/instances.hpp"
#include "bindings/objects.hpp"
#include "bindings/released.hpp"
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
    py::object out = new_list(static_cast<std::size_t>(last - first));
    for (std::size_t i = 0; first != last; ++first, ++i) set_item(out, i, int_object(*first));
    return out;
}

py::object float_list(const double* first, const double* last) {
    py::object out = new_list(static_cast<std::size_t>(last - first));
    for (std::size_t i = 0; first != last; ++first, ++i) set_item(out, i, float_object(*first));
    return out;
}

py::object indexes_dict(const Motif& m) {
    py::object out = new_dict();
    for (std::size_t r = 0; r < m.indexes.size(); ++r)
        set_key(out, int_object(m.indexes.series[r]), int_list(m.indexes.begin_of(r), m.indexes.end_of(r)));
    return out;
}

// Rows that the motif computes when they are read are made one at a time,
// straight into their lists; rows from a RowSource come all at once.
py::object averages_dict(const Motif& m) {
    py::object out = new_dict();
    if (!m.has_average_rows()) return out;
    const std::size_t len = static_cast<std::size_t>(m.length);
    if (m.average_occurrences.source()) {
        const std::vector<double> rows = m.average_rows();
        for (std::size_t r = 0; r < m.indexes.size(); ++r)
            set_key(out, int_object(m.indexes.series[r]),
                    float_list(rows.data() + r * len, rows.data() + (r + 1) * len));
        return out;
    }
    std::vector<double> row(len), scratch(len);
    for (std::size_t r = 0; r < m.indexes.size(); ++r) {
        m.average_row(r, row.data(), scratch.data());
        set_key(out, int_object(m.indexes.series[r]), float_list(row.data(), row.data() + len));
    }
    return out;
}

py::object matches_dict(const Motif& m) {
    py::object out = new_dict();
    for (std::size_t r = 0; r < m.best_matches.size(); ++r)
        set_key(out, int_object(m.indexes.series[r]), int_object(m.best_matches[r]));
    return out;
}

// Python lists and dicts of results, built with the GIL held; a signal
// handler that raises meanwhile stops the building.
void check_signals(std::size_t i) {
    if ((i & 1023) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

py::object motif_list(std::vector<Motif>&& motifs) {
    py::object out = new_list(motifs.size());
    for (std::size_t i = 0; i < motifs.size(); ++i) {
        check_signals(i);
        set_item(out, i, instance_of(std::move(motifs[i])));
    }
    return out;
}

py::object word_list(const std::vector<Word>& words) {
    py::object out = new_list(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        check_signals(i);
        const Word& word = words[i];
        py::object letters = new_list(word.size());
        for (std::size_t j = 0; j < word.size(); ++j)
            set_item(letters, j, checked(PyUnicode_FromOrdinal(static_cast<unsigned char>(word[j]))));
        set_item(out, i, std::move(letters));
    }
    return out;
}

py::object frequent_dict(const PatternMiner& miner) {
    // A copy of the map as it is now: building Python objects can run
    // arbitrary Python code (a collection, a finaliser) that mines again.
    std::vector<Motif> motifs;
    motifs.reserve(miner.frequent.size());
    for (const auto& entry : miner.frequent) motifs.push_back(entry.second);
    py::object out = new_dict();
    for (std::size_t i = 0; i < motifs.size(); ++i) {
        check_signals(i);
        py::object key = latin1(motifs[i].pattern);
        set_key(out, key, instance_of(std::move(motifs[i])));
    }
    return out;
}

// Whether a failure of the computation says nothing about its inputs (out
// of memory, stopped): the object that ran it keeps its previous state.
bool resource_failure(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return true;
    } catch (const Stopped&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The mining calls compute on a miner of their own with the same settings,
// so that other Python threads (which may read or mine with `self`
// meanwhile) never see a half-built state. The outcome replaces self's
// state once the GIL is held again and the result is built; after a
// failure of the inputs it does too (the results may be emptied, or
// complete but unselected), but not after running out of memory or being
// stopped.
MotifList mine_unlocked(Miner& self, SeriesList& series) {
    Miner work(self.minsup, self.seglen, self.alphabet, self.min_len, self.max_len, self.max_overlap, self.k);
    bool normalised = false;
    WordsWanted words{self.seglen, self.alphabet, {}};
    Collection& ts = read_series(series, &normalised, &words);
    std::vector<Motif> top;
    const std::exception_ptr error = released([&](Workers& workers) {
        if (words.made)
            top = work.mine_normalised(std::move(ts), std::move(words.words), workers);
        else
            top = normalised ? work.mine_normalised(std::move(ts), workers) : work.mine(std::move(ts), workers);
    });
    if (error) {
        if (!resource_failure(error)) self.motifs = std::move(work.motifs);
        std::rethrow_exception(error);
    }
    MotifList out{motif_list(std::move(top))};
    self.motifs = std::move(work.motifs);
    return out;
}

void mine_unlocked(PatternMiner& self, const std::vector<Word>& words) {
    PatternMiner work(self.minsup, self.min_len, self.max_len, self.max_overlap);
    const std::exception_ptr error = released([&](Workers& workers) { work.mine(words, workers); });
    if (error && resource_failure(error)) std::rethrow_exception(error);
    self = std::move(work);
    if (error) std::rethrow_exception(error);
}

WordsList sax_unlocked(const Collection& ts, int32_t seglen, int32_t alphabet) {
    std::vector<Word> words;
    const std::exception_ptr error = released([&](Workers& workers) { words = sax(ts, seglen, alphabet, workers); });
    if (error) std::rethrow_exception(error);
    return WordsList{word_list(words)};
}

// Motif has no constructor, and no __new__ either: an instance could only
// be made without its record.
void forbid_instances(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_new = nullptr;
    if (PyDict_DelItemString(type->tp_dict, "__new__") != 0) PyErr_Clear();
    PyType_Modified(type);
}

}  // namespace

PYBIND11_MODULE(_qor_cpp, m) {
    prepare_exceptions();  // the importing thread's exception storage, while memory is at hand

    using MotifSelf = Self<const Motif>;
    py::class_<Motif> motif(m, "Motif");
    motif.def_property_readonly("pattern", [](MotifSelf s) { return Latin1Str{latin1(s->pattern)}; })
        .def_property_readonly("indexes", [](MotifSelf s) { return IndexesDict{indexes_dict(*s)}; })
        .def_property_readonly("average_occurrences", [](MotifSelf s) { return AveragesDict{averages_dict(*s)}; })
        .def_property_readonly("representative",
                               [](MotifSelf s) {
                                   const std::vector<double>& r = s->representative;
                                   return FloatList{float_list(r.data(), r.data() + r.size())};
                               })
        .def_property_readonly("best_matches", [](MotifSelf s) { return MatchesDict{matches_dict(*s)}; })
        .def_property_readonly("length", [](MotifSelf s) { return s->length; })
        .def_property_readonly("naed", [](MotifSelf s) { return s->naed; })
        .def("__repr__", [](MotifSelf s) { return Latin1Str{py::str("Motif('{}')").format(latin1(s->pattern))}; });
    forbid_instances(motif);

    py::class_<Miner>(m, "Miner")
        .def(py::init<double, int32_t, int32_t, int32_t, int32_t, double, int32_t>(), py::arg("minsup"),
             py::arg("seglen"), py::arg("alphabet"), py::arg("min_len") = 3, py::arg("max_len") = 0,
             py::arg("max_overlap") = 0.9, py::arg("k") = 0)
        .def("mine", [](Self<Miner> self, SeriesList ts) { return mine_unlocked(*self, ts); })
        .def_property_readonly(
            "motifs", [](Self<const Miner> self) { return MotifList{motif_list(std::vector<Motif>(self->motifs))}; });

    py::class_<PatternMiner>(m, "PatternMiner")
        .def(py::init<double, int32_t, int32_t, double>(), py::arg("minsup"), py::arg("min_len") = 3,
             py::arg("max_len") = 0, py::arg("max_overlap") = 0.9)
        .def("mine", [](Self<PatternMiner> self, const WordList& words) { mine_unlocked(*self, words.value); })
        .def_property_readonly("frequent",
                               [](Self<const PatternMiner> self) { return FrequentDict{frequent_dict(*self)}; });

    m.def(
        "sax",
        [](SeriesList ts, int32_t seglen, int32_t alphabet) { return sax_unlocked(read_series(ts), seglen, alphabet); },
        py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));
}
