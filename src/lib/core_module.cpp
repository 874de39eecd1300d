// The private module tarn._core: the entry points of the package beyond Brindle's two, built
// from the same core. parse_size is the one grammar of memory sizes; run runs a script and
// reports instead of raising; last_run_memory gives the heap figures of this module's last run.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lib/boundary.h"
#include "vm/exe_state.h"
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

// A non-negative whole number or None (0); false with a Python error otherwise.
bool count_argument(PyObject* obj, const char* name, std::uint64_t& value) {
    if (obj == Py_None) {
        value = 0;
        return true;
    }
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative integer or None", name);
        return false;
    }
    return true;
}

PyObject* text_object(const StopText& t) {
    return PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "replace");
}

// Adds `value` (a new reference, or null after an error) to `dict` under `key`.
bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef v(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

bool count_into(PyObject* dict, PyObject* key, std::uint64_t n) {
    PyRef old(PyDict_GetItem(dict, key));
    std::uint64_t total = n;
    if (old.get()) {
        Py_INCREF(old.get());
        total += PyLong_AsUnsignedLongLong(old.get());
    }
    PyRef v(PyLong_FromUnsignedLongLong(total));
    return v && PyDict_SetItem(dict, key, v.get()) == 0;
}

// The profile as the package documents it: total, functions with their instructions, and the
// counts by source line and by opcode.
PyObject* profile_object(const RunReport& report) {
    PyRef profile(PyDict_New());
    PyRef functions(PyList_New(0));
    PyRef lines(PyDict_New());
    PyRef opcodes(PyDict_New());
    if (!profile || !functions || !lines || !opcodes) return nullptr;
    std::uint64_t total = 0;
    for (const ProfileFunction& f : report.functions) {
        PyRef instrs(PyList_New(0));
        if (!instrs) return nullptr;
        for (std::size_t pc = 0; pc < f.instrs.size(); ++pc) {
            const ProfileInstr& i = f.instrs[pc];
            PyRef entry(Py_BuildValue("{s:n,s:N,s:I,s:K}", "index", static_cast<Py_ssize_t>(pc), "text",
                                      text_object(i.text), "line", static_cast<unsigned>(i.line), "count",
                                      static_cast<unsigned long long>(i.count)));
            if (!entry || PyList_Append(instrs.get(), entry.get()) < 0) return nullptr;
            total += i.count;
            if (i.count == 0) continue;
            PyRef line_key(PyUnicode_FromFormat("%u", static_cast<unsigned>(i.line)));
            std::size_t paren = std::string_view(i.text.data(), i.text.size()).find('(');
            PyRef op_key(PyUnicode_FromStringAndSize(
                i.text.data(), static_cast<Py_ssize_t>(paren == std::string_view::npos ? i.text.size() : paren)));
            if (!line_key || !op_key || !count_into(lines.get(), line_key.get(), i.count) ||
                !count_into(opcodes.get(), op_key.get(), i.count))
                return nullptr;
        }
        PyRef function(Py_BuildValue("{s:N,s:I,s:I,s:K,s:O}", "name", text_object(f.name), "first_line",
                                     static_cast<unsigned>(f.first_line), "last_line",
                                     static_cast<unsigned>(f.last_line), "calls",
                                     static_cast<unsigned long long>(f.calls), "instructions", instrs.get()));
        if (!function || PyList_Append(functions.get(), function.get()) < 0) return nullptr;
    }
    if (!put(profile.get(), "total", PyLong_FromUnsignedLongLong(total)) ||
        PyDict_SetItemString(profile.get(), "functions", functions.get()) < 0 ||
        PyDict_SetItemString(profile.get(), "lines", lines.get()) < 0 ||
        PyDict_SetItemString(profile.get(), "opcodes", opcodes.get()) < 0)
        return nullptr;
    return profile.release();
}

PyObject* result_object(const Outcome& outcome, const RunReport& report, const RunOptions& options) {
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    PyObject* error = Py_None;
    PyRef message;
    if (outcome.kind == Outcome::Stopped) {
        message = PyRef(text_object(outcome.message));
        if (!message) return nullptr;
        error = message.get();
    }
    if (PyDict_SetItemString(result.get(), "error", error) < 0) return nullptr;
    PyObject* location = Py_None;
    PyRef location_text;
    if (outcome.kind == Outcome::Stopped && !report.location.empty()) {
        location_text = PyRef(text_object(report.location));
        if (!location_text) return nullptr;
        location = location_text.get();
    }
    if (PyDict_SetItemString(result.get(), "location", location) < 0) return nullptr;
    PyRef traceback(PyList_New(0));
    if (!traceback) return nullptr;
    if (outcome.kind == Outcome::Stopped) {
        for (const StopText& line : report.traceback) {
            PyRef t(text_object(line));
            if (!t || PyList_Append(traceback.get(), t.get()) < 0) return nullptr;
        }
    }
    if (PyDict_SetItemString(result.get(), "traceback", traceback.get()) < 0) return nullptr;
    if (options.metered) {
        if (!put(result.get(), "instructions", PyLong_FromUnsignedLongLong(report.instructions))) return nullptr;
    } else if (PyDict_SetItemString(result.get(), "instructions", Py_None) < 0) {
        return nullptr;
    }
    if (report.profiled && options.profile) {
        if (!put(result.get(), "profile", profile_object(report))) return nullptr;
    } else if (PyDict_SetItemString(result.get(), "profile", Py_None) < 0) {
        return nullptr;
    }
    if (options.steps != 0) {
        PyRef steps(PyList_New(0));
        if (!steps) return nullptr;
        for (const auto& st : report.steps) {
            PyRef step(Py_BuildValue("[KKK]", static_cast<unsigned long long>(st[0]),
                                     static_cast<unsigned long long>(st[1]), static_cast<unsigned long long>(st[2])));
            if (!step || PyList_Append(steps.get(), step.get()) < 0) return nullptr;
        }
        if (PyDict_SetItemString(result.get(), "steps", steps.get()) < 0) return nullptr;
    } else if (PyDict_SetItemString(result.get(), "steps", Py_None) < 0) {
        return nullptr;
    }
    // The errno of the first failed write to standard output (0: none): output was lost.
    if (!put(result.get(), "output_error", PyLong_FromLong(outcome.output_error != 0 ? outcome.output_error
                                                                                      : report.output_error)))
        return nullptr;
    if (!put(result.get(), "memory",
             Py_BuildValue("(nn)", static_cast<Py_ssize_t>(report.memory.start),
                           static_cast<Py_ssize_t>(report.memory.end))))
        return nullptr;
    return result.release();
}

// run(script, *, text=None, mode="trace", annotate=False, skip_shebang=False, memory_limit=None,
//     max_instructions=None, timeout=None, max_output=None, metered=True, profile=False,
//     steps=0, diagnostics=False) -> dict
// `script` is the path of the script file, or the script's name when `text` (str or bytes)
// holds it. The listing, trace and output go to file descriptor 1; a stop is returned, not
// raised (written to standard error too with `diagnostics`); an interruption raises the host's
// exception.
PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"script", "text", "mode", "annotate", "skip_shebang", "memory_limit",
                                     "max_instructions", "timeout", "max_output", "metered", "profile",
                                     "steps", "diagnostics", nullptr};
    PyObject* path_obj = nullptr;
    PyObject* text_obj = Py_None;
    const char* mode = "trace";
    int annotate = 0, skip_shebang = 0, metered = 1, profile = 0, diagnostics = 0;
    PyObject* limit_obj = Py_None;
    PyObject* instr_obj = Py_None;
    PyObject* timeout_obj = Py_None;
    PyObject* output_obj = Py_None;
    Py_ssize_t steps = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|$OsppOOOOppnp:run", const_cast<char**>(keywords),
                                     PyUnicode_FSConverter, &path_obj, &text_obj, &mode, &annotate,
                                     &skip_shebang, &limit_obj, &instr_obj, &timeout_obj, &output_obj, &metered,
                                     &profile, &steps, &diagnostics))
        return nullptr;
    PyRef path(path_obj);
    RunOptions options;
    std::string_view m(mode);
    if (m == "trace")
        options.mode = RunOptions::Mode::Trace;
    else if (m == "list")
        options.mode = RunOptions::Mode::List;
    else if (m == "quiet")
        options.mode = RunOptions::Mode::Quiet;
    else {
        PyErr_Format(PyExc_ValueError, "mode must be 'trace', 'list' or 'quiet', not '%s'", mode);
        return nullptr;
    }
    PyRef text;
    if (text_obj != Py_None) {
        if (PyUnicode_Check(text_obj)) {
            text = PyRef(PyUnicode_AsEncodedString(text_obj, "utf-8", "surrogateescape"));
        } else if (PyBytes_Check(text_obj)) {
            Py_INCREF(text_obj);
            text = PyRef(text_obj);
        } else {
            PyErr_SetString(PyExc_TypeError, "text must be str or bytes");
            return nullptr;
        }
        if (!text) return nullptr;
    }
    options.annotate = annotate != 0;
    options.skip_shebang = skip_shebang != 0;
    options.metered = metered != 0 || profile != 0;
    options.profile = profile != 0;
    if (steps < 0) {
        PyErr_SetString(PyExc_ValueError, "steps must not be negative");
        return nullptr;
    }
    options.steps = static_cast<std::size_t>(steps);
    if (limit_obj == Py_None) {
        if (!memory_limit_from_environment(options.memory_limit)) return nullptr;
    } else if (!size_argument(limit_obj, options.memory_limit)) {
        return nullptr;
    }
    if (!count_argument(instr_obj, "max_instructions", options.max_instructions) ||
        !count_argument(output_obj, "max_output", options.max_output))
        return nullptr;
    if ((instr_obj != Py_None && options.max_instructions == 0) ||
        (output_obj != Py_None && options.max_output == 0)) {
        PyErr_SetString(PyExc_ValueError, "limits must be positive (None for no limit)");
        return nullptr;
    }
    if (timeout_obj != Py_None) {
        options.timeout = PyFloat_AsDouble(timeout_obj);
        if (options.timeout == -1.0 && PyErr_Occurred()) return nullptr;
        if (!(options.timeout > 0)) {
            PyErr_SetString(PyExc_ValueError, "timeout must be a positive number of seconds or None");
            return nullptr;
        }
    }
    if (options.max_instructions != 0) options.metered = true;
    RunReport report;
    Outcome outcome;
    if (!run_for_python(std::move(path), options, report, outcome, diagnostics != 0, std::move(text)))
        return nullptr;
    last_memory = report.memory;
    if (outcome.kind == Outcome::Interrupted) return outcome_result(outcome);
    return result_object(outcome, report, options);
}

template <class F> PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"parse_size", parse_size, METH_O,
     "parse_size(text, /)\n--\n\nBytes named by a memory size such as '512M'."},
    {"last_run_memory", last_run_memory, METH_NOARGS,
     "last_run_memory()\n--\n\nThe module's heap in use (start, end) around its last run."},
    {"run", as_cfunction(run), METH_VARARGS | METH_KEYWORDS,
     "run(script, *, text=None, mode='trace', annotate=False, skip_shebang=False, memory_limit=None, "
     "max_instructions=None, timeout=None, max_output=None, metered=True, profile=False, steps=0, "
     "diagnostics=False)\n--\n\n"},
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
    ExeState::link_mode_loops();
    PyObject* module = PyModule_Create(&module_def);
    if (module) initialised = true;
    return module;
}

} // namespace

} // namespace tarn

PyMODINIT_FUNC PyInit__core() {
    return tarn::guarded([] { return tarn::init_module(); });
}
