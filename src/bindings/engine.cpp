// _qor_engine: the steps of Miner.mine on parts of a collection, NumPy
// arrays in and out, for qor.distributed; and the readers of qor.mine's
// input and of motifs' representatives. The motifs it returns are
// _qor_cpp.Motif objects.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bindings/casters.hpp"
#include "bindings/engine_arrays.hpp"
#include "bindings/engine_inputs.hpp"
#include "bindings/instances.hpp"
#include "bindings/released.hpp"
#include "pipeline/partitioned.hpp"
#include "sax/sax.hpp"

namespace py = pybind11;
using namespace qor;
using namespace qor::bindings;
using namespace qor::bindings::engine;

namespace {

// The rows' scales that discretise(scales=True) gave, an (n, 2) float64
// array of means and standard deviations, or None.
std::optional<std::vector<RowScale>> scales_of(const py::object& scales) {
    if (scales.is_none()) return std::nullopt;
    const auto a = py::cast<Array<double>>(scales);
    if (a.ndim() != 2 || a.shape(1) != 2) throw std::invalid_argument("scales: expected an (n, 2) array");
    std::vector<RowScale> out(static_cast<std::size_t>(a.shape(0)));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = {a.data()[2 * i], a.data()[2 * i + 1]};
    return out;
}

// A partition's series, read as the engine's calls read theirs: a
// C-contiguous 2-D float64 array is z-normalised as it is read (on
// `threads` threads, 0: the default count, without the GIL: a Dask
// worker's event loop goes on meanwhile), anything else by normalise().
// With `scales` (scales_of), the series are normalised with those, found
// when the partition was discretised: the same values, in one pass, and,
// where prepare() allows, on demand while the statistics read them (each
// block of series is then still in the cache when it is read). An array is
// then read where it is, held until the chunk goes: it must not change
// meanwhile.
class Chunk {
public:
    Collection ts;

    // With `words`, an array's words are made as it is normalised (unless
    // words->keep_rows, ts then keeps the shape only: its samples are not
    // written, and the chunk serves for nothing but the words).
    Chunk(const py::object& chunk, unsigned threads, WordsWanted* words = nullptr,
          const py::object& row_scales = py::none())
        : scales_(scales_of(row_scales)) {
        if (!scales_) {
            if (!pybind11::detail::load_series(chunk, ts, engine_threads(threads), &normalised_, words, true))
                throw py::type_error("chunk: expected a sequence of series of real numbers");
            return;
        }
        auto rows = std::make_unique<pybind11::detail::Float64Buffer>(chunk, 2);
        if (*rows) {
            ts.assign_rows(static_cast<std::size_t>(rows->shape(0)), static_cast<std::size_t>(rows->shape(1)));
            source_ = rows->data();
            array_ = std::move(rows);
        } else {
            rows.reset();
            if (!pybind11::detail::load_series(chunk, ts, engine_threads(threads)))
                throw py::type_error("chunk: expected a sequence of series of real numbers");
            source_ = ts.samples() ? ts.row(0) : nullptr;  // normalised in place
        }
        if (scales_->size() != ts.size()) throw std::invalid_argument("scales: expected one per series");
        // A range's series go to a buffer that the next range reuses: it is
        // still in the cache when the statistics read it, and ts's own block
        // is never written.
        write_rows_ = [this](std::size_t first, std::size_t last) -> const double* {
            const std::size_t samples = ts.start(last) - ts.start(first);
            if (window_.size() < samples) window_.resize(samples);
            znormalize(ts, source_, scales_->data(), first, last, window_.data());
            return window_.data();
        };
    }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;

    Collection& normalise(Workers& workers) {
        if (!normalised_) {
            if (scales_)
                znormalize(ts, source_, scales_->data(), workers);
            else
                znormalize(ts, workers);
        }
        normalised_ = true;
        return ts;
    }
    // What one pass of the statistics over ts calls to have its series
    // normalised as it comes to them, or null once every series is. The
    // same on any number of threads: the statistics of a partition run on
    // one, and normalising it all first, into fresh memory, costs them more
    // than the threads save.
    const PrepareSeries* prepare(Workers& workers) {
        if (scales_ && !normalised_) return &write_rows_;
        normalise(workers);
        return nullptr;
    }
    std::vector<Word> words(int32_t seglen, int32_t alphabet, Workers& workers, RowScale* row_scales = nullptr) {
        if (normalised_) return sax(ts, seglen, alphabet, workers);
        std::vector<Word> out = znormalize_and_sax(ts, seglen, alphabet, workers, row_scales);
        normalised_ = true;
        return out;
    }

private:
    bool normalised_ = false;
    std::optional<std::vector<RowScale>> scales_;
    std::unique_ptr<pybind11::detail::Float64Buffer> array_;  // the source, when it is an array
    const double* source_ = nullptr;
    PrepareSeries write_rows_;
    Values window_;  // the series write_rows_ wrote last
};

// Average rows computed, when a motif's are read, by a Python callable
// fetch(motif) that returns them as one float64 array (qor.distributed: on
// the cluster that holds the series).
class PythonRowSource : public RowSource {
public:
    explicit PythonRowSource(py::object fetch) : fetch_(std::move(fetch)) {}
    PythonRowSource(const PythonRowSource&) = delete;
    PythonRowSource& operator=(const PythonRowSource&) = delete;
    ~PythonRowSource() override {
        // The last motif may go on any thread; the callable needs the GIL to
        // go, and leaks rather than crash once the interpreter is gone.
        if (!Py_IsInitialized()) {
            fetch_.release();
            return;
        }
        py::gil_scoped_acquire gil;
        fetch_ = py::object();
    }

    const py::object& fetch() const { return fetch_; }

    std::vector<double> rows(const Motif& m) const override {
        py::gil_scoped_acquire gil;
        // A copy (its occurrences; the rest is shared), so that nothing the
        // callable keeps can outlive the motif it points to.
        const py::object out = fetch_(py::cast(m, py::return_value_policy::copy));
        const Array<double> a = py::cast<Array<double>>(out);
        return std::vector<double>(a.data(), a.data() + a.size());
    }

private:
    py::object fetch_;
};

// Runs f(workers) with the GIL released, as the calls of _qor_cpp do: on a
// Dask worker the event loop keeps running meanwhile, and on the main
// thread of a client Ctrl-C stops the computation.
template <typename F>
void unlocked(F&& f, unsigned threads = 0) {
    if (const std::exception_ptr error = released(f, threads)) std::rethrow_exception(error);
}

}  // namespace

PYBIND11_MODULE(_qor_engine, m) {
    // The motifs returned are instances of _qor_cpp's Motif class.
    py::module_::import("_qor_cpp");
    // pybind11 looks NumPy's C API up once, on first use, in a static that
    // holds other threads back while they hold the GIL: look it up now,
    // while the import runs on one thread, not in the first of several
    // concurrent calls (a deadlock on a multi-threaded Dask worker).
    Array<double>(std::vector<py::ssize_t>{0});

    m.def("check_alphabet", [](int32_t alphabet) { check_alphabet(alphabet); }, py::arg("alphabet"));

    // Lists and tuples of lists and tuples of numbers, read as Miner.mine
    // reads them, into one float64 array and each series' end in it; None
    // for anything else, or samples that are no numbers (the caller says why).
    m.def("collect", &collect_rows, py::arg("series"));
    m.def("float_rows", &float_rows, py::arg("series"));
    m.def("blanked_rows", &blanked_rows, py::arg("samples"), py::arg("ends"));

    // The rows of plain ASCII text (qor.load's common case), or None for
    // qor.load's own reader to take.
    m.def("text_rows", &text_rows, py::arg("text"), py::arg("delimiter"), py::arg("label_column"), py::arg("longest"));

    m.def(
        "discretise",
        [](const py::object& chunk, int32_t seglen, int32_t alphabet, unsigned threads, bool scales) {
            WordsWanted wanted{seglen, alphabet, {}};
            wanted.want_scales = scales;
            wanted.keep_rows = false;  // the words are all this call keeps
            Chunk part(chunk, threads, &wanted);
            std::vector<Word> words = std::move(wanted.words);
            if (!wanted.made) {
                const double nan = std::numeric_limits<double>::quiet_NaN();
                if (scales) wanted.scales.assign(part.ts.size(), {nan, nan});
                unlocked(
                    [&](Workers& workers) {
                        words = part.words(seglen, alphabet, workers, scales ? wanted.scales.data() : nullptr);
                    },
                    threads);
            }
            std::vector<int8_t> symbols;
            std::vector<int64_t> ends;
            ends.reserve(words.size());
            for (const Word& w : words) {
                symbols.insert(symbols.end(), w.begin(), w.end());
                ends.push_back(static_cast<int64_t>(symbols.size()));
            }
            if (!scales) return py::make_tuple(to_array(symbols), to_array(ends));
            Array<double> scale(std::vector<py::ssize_t>{static_cast<py::ssize_t>(part.ts.size()), 2});
            for (std::size_t i = 0; i < part.ts.size(); ++i) {
                scale.mutable_data()[2 * i] = wanted.scales[i].mean;
                scale.mutable_data()[2 * i + 1] = wanted.scales[i].sd;
            }
            return py::make_tuple(to_array(symbols), to_array(ends), scale);
        },
        py::arg("chunk"), py::arg("seglen"), py::arg("alphabet"), py::arg("threads") = 0, py::arg("scales") = false);

    m.def(
        "average_rows",
        [](const py::object& chunk, const py::tuple& occ, unsigned threads, const py::object& scales) {
            Chunk part(chunk, threads, nullptr, scales);
            const PartOccurrences& o = occurrences_of(occ);
            Array<double> rows(std::vector<py::ssize_t>{static_cast<py::ssize_t>(o.row_values())});
            double* out = rows.mutable_data();
            unlocked([&](Workers& workers) { average_rows(part.ts, o, out, part.prepare(workers)); }, threads);
            return rows;
        },
        py::arg("chunk"), py::arg("occurrences"), py::arg("threads") = 0, py::arg("scales") = py::none());

    m.def(
        "occurrences",
        [](const std::vector<const Motif*>& motifs, int32_t first, int32_t last) {
            for (const Motif* m : motifs)
                if (m == nullptr) throw py::type_error("occurrences: expected motifs, not None");
            return occurrences_tuple(occurrences_in(motifs, first, last));
        },
        py::arg("motifs"), py::arg("first"), py::arg("last"));

    // The callable that computes a motif's average rows (Plan.finish), or
    // None: which mining a motif comes from.
    m.def(
        "row_source",
        [](const Motif& motif) -> py::object {
            if (const auto* s = dynamic_cast<const PythonRowSource*>(motif.average_occurrences.source()))
                return s->fetch();
            return py::none();
        },
        py::arg("motif"));

    // qor.relative_naed of each motif, without reading their representatives
    // as lists of Python floats.
    m.def("relative_naeds", &relative_naeds_of, py::arg("motifs"));
    m.def("average_table", &average_table, py::arg("motif"));

    m.def(
        "best_matches",
        [](const py::object& chunk, const py::tuple& occ, const py::tuple& reps, unsigned threads,
           const py::object& scales) {
            Chunk part(chunk, threads, nullptr, scales);
            const std::vector<int64_t> offset = to_vector<int64_t>(reps[0]);
            const std::vector<double> values = to_vector<double>(reps[1]);
            const PartOccurrences& o = occurrences_of(occ);  // last: no Python code runs after it
            if (offset.size() != o.runs()) throw std::invalid_argument("representatives: one offset per run");
            for (std::size_t k = 0; k < o.runs(); ++k)
                if (offset[k] < 0 ||
                    static_cast<std::size_t>(offset[k]) + static_cast<std::size_t>(std::max(o.run_length[k], 0)) >
                        values.size())
                    throw std::invalid_argument("representatives: an offset out of range");
            const auto n = std::vector<py::ssize_t>{static_cast<py::ssize_t>(o.size())};
            Array<double> distance(n);
            Array<int32_t> start(n);
            double* d = distance.mutable_data();
            int32_t* at = start.mutable_data();
            unlocked(
                [&](Workers& workers) {
                    const PrepareSeries* prepare = part.prepare(workers);
                    best_matches(part.ts, o, offset.data(), values.data(), d, at, prepare);
                },
                threads);
            return py::make_tuple(distance, start);
        },
        py::arg("chunk"), py::arg("occurrences"), py::arg("representatives"), py::arg("threads") = 0,
        py::arg("scales") = py::none());

    // A partition's normalised series, held for the steps that read them
    // (in a worker's memory between tasks); pickled as two arrays.
    // Methods take Self, which refuses an instance whose state was never set
    // (Normalised.__new__ alone makes one: unpickling needs __new__).
    using NormalisedSelf = Self<const Collection>;
    py::class_<Collection>(m, "Normalised")
        .def("__len__", [](NormalisedSelf ts) { return ts->size(); })
        .def("__sizeof__", [](NormalisedSelf ts) { return ts->samples() * sizeof(double) + ts->size() * 8; })
        .def(py::pickle(
            [](NormalisedSelf self) {
                const Collection& ts = *self;
                std::vector<int64_t> ends(ts.size());
                for (std::size_t i = 0; i < ts.size(); ++i) ends[i] = static_cast<int64_t>(ts.start(i) + ts.length(i));
                return py::make_tuple(to_array(ts.samples() ? ts.row(0) : nullptr, ts.samples()), to_array(ends));
            },
            [](const py::tuple& state) {
                if (state.size() != 2) throw std::invalid_argument("Normalised: expected (samples, ends)");
                const auto samples = py::cast<Array<double>>(state[0]);
                const auto ends = py::cast<Array<int64_t>>(state[1]);
                Collection ts;
                ts.reserve(static_cast<std::size_t>(ends.size()), static_cast<std::size_t>(samples.size()));
                int64_t start = 0;
                for (py::ssize_t i = 0; i < ends.size(); ++i) {
                    const int64_t end = ends.data()[i];
                    if (end < start || end > samples.size()) throw std::invalid_argument("row ends out of range");
                    ts.add_row(samples.data() + start, static_cast<std::size_t>(end - start));
                    start = end;
                }
                if (start != samples.size()) throw std::invalid_argument("row ends out of range");
                return ts;
            }));

    m.def(
        "normalise",
        [](const py::object& chunk, unsigned threads, const py::object& scales) {
            Chunk part(chunk, threads, nullptr, scales);
            unlocked([&](Workers& workers) { part.normalise(workers); }, threads);
            return std::move(part.ts);
        },
        py::arg("chunk"), py::arg("threads") = 0, py::arg("scales") = py::none());

    // `data`: a partition's Normalised series, or the series themselves.
    m.def(
        "add_average_rows",
        [](const py::object& data, const py::tuple& occ, const Array<int64_t>& offsets, const Array<double>& sums,
           const Array<double>& counts, unsigned threads, const py::object& scales) {
            check_size(counts, static_cast<std::size_t>(sums.size()), "representative counts");
            std::optional<Chunk> part;
            const Collection* held = nullptr;
            if (py::isinstance<Collection>(data))
                held = &*py::cast<NormalisedSelf>(data);
            else
                part.emplace(data, threads, nullptr, scales);
            std::vector<double> sum(sums.data(), sums.data() + sums.size());
            std::vector<double> count(counts.data(), counts.data() + counts.size());
            const std::vector<int64_t> offset(offsets.data(), offsets.data() + offsets.size());
            const PartOccurrences& o = occurrences_of(occ);  // last: no Python code runs after it
            unlocked(
                [&](Workers& workers) {
                    const PrepareSeries* prepare = part ? part->prepare(workers) : nullptr;
                    add_average_rows(part ? part->ts : *held, o, offset, sum.size(), sum.data(), count.data(), prepare);
                },
                threads);
            return py::make_tuple(to_array(sum), to_array(count));
        },
        py::arg("data"), py::arg("occurrences"), py::arg("offsets"), py::arg("sums"), py::arg("counts"),
        py::arg("threads") = 0, py::arg("scales") = py::none());

    m.def(
        "representatives",
        [](const Array<int64_t>& offsets, const Array<int64_t>& rows, const Array<double>& sums,
           const Array<double>& counts) {
            const std::vector<int64_t> offset(offsets.data(), offsets.data() + offsets.size());
            const std::vector<int64_t> row(rows.data(), rows.data() + rows.size());
            const std::size_t n = offset.empty() ? 0 : static_cast<std::size_t>(std::max<int64_t>(offset.back(), 0));
            if (static_cast<std::size_t>(sums.size()) < n || sums.ndim() != 1)
                throw std::invalid_argument("representative sums: fewer values than the offsets reach");
            check_size(counts, static_cast<std::size_t>(sums.size()), "representative counts");
            return to_array(representatives_from_sums(offset, row, sums.data(), counts.data()));
        },
        py::arg("offsets"), py::arg("rows"), py::arg("sums"), py::arg("counts"));

    py::class_<PartitionedMiner>(m, "Plan")
        .def(py::init([](double minsup, int32_t seglen, int32_t alphabet, int32_t min_len, int32_t max_len,
                         double max_overlap, int32_t k) {
                 check_alphabet(alphabet);
                 return PartitionedMiner(minsup, seglen, alphabet, min_len, max_len, max_overlap, k);
             }),
             py::arg("minsup"), py::arg("seglen"), py::arg("alphabet"), py::arg("min_len"), py::arg("max_len"),
             py::arg("max_overlap"), py::arg("k"))
        .def("add_words",
             [](PartitionedMiner& self, const Array<int8_t>& symbols, const Array<int64_t>& ends) {
                 // The ends are checked and kept here, with the GIL held: the
                 // caller's array may change once it is released.
                 std::vector<std::size_t> end_at(static_cast<std::size_t>(ends.size()));
                 int64_t start = 0;
                 for (std::size_t i = 0; i < end_at.size(); ++i) {
                     const int64_t end = ends.data()[i];
                     if (end < start || end > symbols.size()) throw std::invalid_argument("word ends out of range");
                     end_at[i] = static_cast<std::size_t>(start = end);
                 }
                 // The copy and the check of the letters run without the GIL: the
                 // client's event loop (and the scheduler, in a local cluster)
                 // goes on meanwhile. A Plan is used by one thread at a time.
                 const char* letters = reinterpret_cast<const char*>(symbols.data());
                 unlocked([&](Workers&) { self.add_words(letters, end_at.data(), end_at.size()); }, 1);
             })
        .def("search",
             [](PartitionedMiner& self) {
                 std::size_t found = 0;
                 unlocked([&](Workers& workers) { found = self.search(workers); });
                 return found;
             })
        .def(
            "occurrences",
            [](const PartitionedMiner& self, int32_t first, int32_t last, std::size_t motif_first,
               std::optional<std::size_t> motif_last) {
                PartOccurrences o;
                unlocked(
                    [&](Workers&) {
                        o = self.occurrences(first, last, motif_first,
                                             motif_last.value_or(static_cast<std::size_t>(-1)));
                    },
                    1);
                return occurrences_tuple(o);
            },
            py::arg("first"), py::arg("last"), py::arg("motif_first") = 0, py::arg("motif_last") = py::none())
        .def("motif_rows", [](const PartitionedMiner& self) { return to_array(self.motif_rows()); })
        .def("sum_offsets", [](const PartitionedMiner& self) { return to_array(self.sum_offsets()); })
        .def("finish_representatives",
             [](PartitionedMiner& self, const Array<double>& sum, const Array<double>& count) {
                 const std::size_t n = static_cast<std::size_t>(self.sum_offsets().back());
                 check_size(sum, n, "representative sums");
                 check_size(count, n, "representative counts");
                 self.finish_representatives(sum.data(), count.data());
             })
        .def("representative_values",
             [](const PartitionedMiner& self) { return to_array(self.representative_values()); })
        .def("add_best_matches",
             [](PartitionedMiner& self, const py::tuple& occ, const Array<double>& distance,
                const Array<int32_t>& start) {
                 const PartOccurrences& o = runs_of(occ);
                 check_size(distance, o.size(), "distances");
                 check_size(start, o.size(), "best matches");
                 unlocked([&](Workers&) { self.add_best_matches(o, distance.data(), start.data()); }, 1);
             })
        .def(
            "finish",
            [](PartitionedMiner& self, const py::object& fetch) {
                std::shared_ptr<const RowSource> source;
                if (!fetch.is_none()) source = std::make_shared<PythonRowSource>(fetch);
                return self.finish(std::move(source));
            },
            py::arg("fetch") = py::none())
        .def_property_readonly("motifs", [](const PartitionedMiner& self) { return self.motifs(); });
}
