// Running core computations without the GIL, and stopping them on Ctrl-C.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <exception>

#include "core/parallel.hpp"

namespace qor::bindings {

// Runs f(workers) without the GIL, on a team of `threads` threads (0: the
// default count) made here while the GIL is held (the default reads
// QOR_NUM_THREADS, which other Python threads may be changing), and returns what f threw, if anything. On the main
// thread the team polls for signals: it takes the GIL back for a moment and runs PyErr_CheckSignals, and when a handler
// raises (Ctrl-C's raises KeyboardInterrupt), the computation stops and that exception is raised here instead of any
// result. A signal that arrives after the last poll is taken the same way before the result is used.
//
// The GIL is taken back by plain calls rather than by destructors: a thread
// that asks for it while the interpreter shuts down is ended by a forced
// unwind, which must pass through no noexcept frame (and no handler that
// would touch Python objects). Only the main thread polls, and it is never
// ended that way.
// The threads of a call that asks for `threads`: at most kMaxThreads, and
// for 0 the default count (thread_count).
inline unsigned engine_threads(unsigned threads) {
    return threads > 0 ? std::min(threads, kMaxThreads) : thread_count();
}

template <typename F>
std::exception_ptr released(F&& f, unsigned threads = 0) {
    namespace py = pybind11;
    (void)std::uncaught_exceptions();  // this thread's exception storage, before memory runs short
    Workers workers(engine_threads(threads));
    PyThreadState* state = nullptr;
    PyObject* raised = nullptr;
    if (_PyOS_IsMainThread()) {
        workers.set_poll([&state, &raised] {
            PyEval_RestoreThread(state);
            const bool stop = PyErr_CheckSignals() != 0;
            if (stop) raised = PyErr_GetRaisedException();
            state = PyEval_SaveThread();
            return stop;
        });
    }
    std::exception_ptr error;
    state = PyEval_SaveThread();
    try {
        f(workers);
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (raised) {
        PyErr_SetRaisedException(raised);
        throw py::error_already_set();
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    return error;
}

}  // namespace qor::bindings
