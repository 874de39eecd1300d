// The private module tarn._core: the entry points of the package beyond Brindle's two, built
// from the same core. parse_size is the one grammar of memory sizes; run runs a script and
// reports instead of raising; last_run_memory gives the heap figures of this module's last run.

#include <cstddef>
#include <string_view>

#include "lib/boundary.h"
#include "lib/host_run.h"
#include "lib/run_script.h"
#include "utils/memory.h"

namespace tarn {

namespace {

bool initialised = false;
// The figures of the last run this module made, (0, 0) before the first.
MemoryFigures last_memory;

// A memory size from an int (positive) or a str in memory::parse_size's grammar; false with
// a ValueError or TypeError set otherwise.
bool size_argument(PyObject* obj, std::size_t& size) {
    if (PyUnicode_Check(obj)) {
        // Through bytes: the 3.8 stable ABI has no direct UTF-8 view of a str.
        PyRef utf8(PyUnicode_AsUTF8String(obj));
        if (!utf8) return false;
        char* text = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(utf8.get(), &text, &len) < 0) return false;
        size = memory::parse_size(std::string_view(text, static_cast<std::size_t>(len)));
        if (size == 0) {
            PyErr_Format(PyExc_ValueError,
                         "invalid memory size '%U' (expected a positive number of bytes with an optional "
                         "K, M or G suffix)",
                         obj);
            return false;
        }
        return true;
    }
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    size = PyLong_AsSize_t(index.get());
    if (size == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    if (size == 0) {
        PyErr_SetString(PyExc_ValueError, "memory size must be positive");
        return false;
    }
    return true;
}

PyObject* parse_size(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "parse_size() argument must be str");
        return nullptr;
    }
    std::size_t size = 0;
    if (!size_argument(arg, size)) return nullptr;
    return PyLong_FromSize_t(size);
}

PyObject* last_run_memory(PyObject*, PyObject*) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(last_memory.start),
                         static_cast<Py_ssize_t>(last_memory.end));
}

// run(path, *, memory_limit=None) -> {"error": str | None, "memory": (start, end)}. The
// listing, trace and output go to file descriptor 1 as raw_input writes them; a stop is
// returned, not raised nor written to standard error; an interruption raises the host's
// exception.
PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "memory_limit", nullptr};
    PyObject* path_obj = nullptr;
    PyObject* limit_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|$O:run", const_cast<char**>(keywords),
                                     PyUnicode_FSConverter, &path_obj, &limit_obj))
        return nullptr;
    PyRef path(path_obj);
    RunOptions options;
    if (limit_obj == Py_None)
        options.memory_limit = memory::default_ceiling();
    else if (!size_argument(limit_obj, options.memory_limit))
        return nullptr;
    RunReport report;
    Outcome outcome;
    if (!run_for_python(std::move(path), options, report, outcome, false)) return nullptr;
    last_memory = report.memory;
    if (outcome.kind == Outcome::Interrupted) return outcome_result(outcome);
    PyRef error;
    if (outcome.kind == Outcome::Stopped) {
        error = PyRef(PyUnicode_DecodeUTF8(outcome.message.data(),
                                           static_cast<Py_ssize_t>(outcome.message.size()), "replace"));
    } else {
        Py_INCREF(Py_None);
        error = PyRef(Py_None);
    }
    if (!error) return nullptr;
    return Py_BuildValue("{s:O,s:(nn)}", "error", error.get(), "memory",
                         static_cast<Py_ssize_t>(report.memory.start),
                         static_cast<Py_ssize_t>(report.memory.end));
}

template <class F> PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"parse_size", parse_size, METH_O,
     "parse_size(text, /)\n--\n\nBytes named by a memory size such as '512M'."},
    {"last_run_memory", last_run_memory, METH_NOARGS,
     "last_run_memory()\n--\n\nThe module's heap in use (start, end) around its last run."},
    {"run", as_cfunction(run), METH_VARARGS | METH_KEYWORDS, "run(path, *, memory_limit=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", "", -1, methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "tarn._core may only be initialized once per interpreter process");
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (module) initialised = true;
    return module;
}

} // namespace

} // namespace tarn

PyMODINIT_FUNC PyInit__core() {
    return tarn::guarded([] { return tarn::init_module(); });
}
