// Runs are serialised by the package's lock tarn._run_lock, which a second caller waits for without
// holding the interpreter lock; the run itself goes on without the interpreter lock.

#include "lib/host_run.h"

#include "utils/memory.h"

#include <cstdlib>
#include <pthread.h>
#include <new>
#include <string>

namespace tarn {

namespace {

// A Python signal handler run from the interrupt poll could start another run while one is
// active; the end-of-run sweep of the inner run would then free the outer run's objects.
bool running = false;

// A child made by fork has only the thread that forked: a run another thread was in does not
// go on there, so the child starts without one (its objects are simply never freed there).
void forget_runs_in_child() {
    running = false;
    Run::forget_after_fork();
}

class RunningFlag {
public:
    RunningFlag() { running = true; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;
    ~RunningFlag() { running = false; }
};

// Python's other threads keep running meanwhile; the interpreter lock is taken back only to
// poll for signals (the run spaces its polls out). `context` is the run's saved thread state.
bool poll_python(void* context, bool) {
    auto& saved = *static_cast<PyThreadState**>(context);
    // Taking the lock back ends this thread when Python is shutting down (a daemon thread):
    // the unwinding that follows is let through to the thread's start.
    PyEval_RestoreThread(saved);
    bool stop = PyErr_CheckSignals() != 0;
    saved = PyEval_SaveThread();
    return stop;
}

// The package's lock, fetched on first use and kept for the life of the process. Null when the
// module was loaded without its package; runs are then only kept from nesting. No C++ static
// guard here: the import lets other threads run, and one of them may come here too.
PyObject* run_lock() {
    static PyObject* lock = nullptr;
    if (lock) return lock;
    PyRef package(PyImport_ImportModule("tarn"));
    PyObject* l = package ? PyObject_GetAttrString(package.get(), "_run_lock") : nullptr;
    if (!l) PyErr_Clear();
    if (lock)
        Py_XDECREF(l);
    else
        lock = l;
    return lock;
}

// Releases the run lock without disturbing the error the call is about to return.
void release_run_lock(PyObject* lock) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyRef done(PyObject_CallMethod(lock, "release", nullptr));
    if (!done) PyErr_Clear();
    PyErr_Restore(type, value, tb);
#pragma GCC diagnostic pop
}

class HeldLock {
public:
    explicit HeldLock(PyObject* lock) : lock_(lock) {}
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    ~HeldLock() {
        // Not while the run goes on without the interpreter lock: the only way out from there
        // that ends here is the unwinding of a thread that Python's shutdown ends, which must
        // not call into Python.
        if (lock_ && !running_without_python_) release_run_lock(lock_);
    }
    void set_running_without_python(bool without) { running_without_python_ = without; }

private:
    PyObject* lock_;
    bool running_without_python_ = false;
};

} // namespace

bool memory_limit_from_environment(std::size_t& limit) {
    const char* text = std::getenv("TARN_MEMORY_LIMIT");
    if (!text || !*text) {
        limit = memory::default_ceiling();
        return true;
    }
    std::size_t value = memory::parse_size(text);
    if (value == 0) {
        PyErr_Format(PyExc_ValueError,
                     "TARN_MEMORY_LIMIT: invalid memory size '%s' (expected a positive number of bytes "
                     "with an optional K, M or G suffix)",
                     text);
        return false;
    }
    limit = value;
    return true;
}

bool run_for_python(PyRef path, RunOptions& options, RunReport& report, Outcome& outcome, bool report_stops,
                    PyRef text) {
    char* bytes = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(path.get(), &bytes, &len) < 0) return false;
    char* text_bytes = nullptr;
    Py_ssize_t text_len = 0;
    if (text && PyBytes_AsStringAndSize(text.get(), &text_bytes, &text_len) < 0) return false;
    PyObject* lock = run_lock();
    if (lock) {
        PyRef acquired(PyObject_CallMethod(lock, "acquire", nullptr));
        if (!acquired) return false;
    }
    HeldLock held(lock);
    static const bool fork_handler = ::pthread_atfork(nullptr, nullptr, forget_runs_in_child) == 0;
    (void)fork_handler;
    // The lock is re-entrant: a Python signal handler run from a poll of this very run gets it.
    if (running) {
        PyErr_SetString(PyExc_RuntimeError, "raw_input cannot be called while a script is running");
        return false;
    }
    // Copied only now that no other run is going on: the copy comes from the counted heap, and a
    // run's memory figures must see nothing but its own allocations.
    try {
        options.path.assign(bytes, static_cast<std::size_t>(len));
        if (text) {
            options.from_text = true;
            options.text.assign(text_bytes, static_cast<std::size_t>(text_len));
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    path = PyRef();
    text = PyRef();
    RunningFlag flag;
    held.set_running_without_python(true);
    PyThreadState* saved = PyEval_SaveThread();
    options.host = HostHook{poll_python, &saved};
    outcome = contained([&] { run_script(options, report); }, report.output_error);
    if (report_stops && outcome.kind != Outcome::Finished) report_stop(outcome, &report);
    PyEval_RestoreThread(saved);
    held.set_running_without_python(false);
    return true;
}

} // namespace tarn
