// The Python module Brindle: its definition, its two functions and their argument conversion.
// No C++ exception crosses into the interpreter: a run ends in an `Outcome` (src/lib/host_run.h),
// the other entry points are `guarded`.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "lib/boundary.h"
#include "vm/exe_state.h"
#include "lib/host_run.h"
#include "lib/run_script.h"
#include "utils/memory.h"

namespace tarn {

namespace {

// The module may be initialised only once per process, as its interface has always said.
bool initialised = false;

// Re-raises the pending TypeError or OverflowError of an argument conversion with the
// argument's name in front of its message, keeping the original as the cause. Any other
// error, or a failure while rebuilding it, leaves the original error in place.
void prefix_argument_error(const char* name) {
// PyErr_Fetch is deprecated from 3.12 on but is the only way that exists in the 3.8 stable ABI.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef type_ref(type), value_ref(value), tb_ref(tb);
    if (!type || !value ||
        (!PyErr_GivenExceptionMatches(type, PyExc_TypeError) &&
         !PyErr_GivenExceptionMatches(type, PyExc_OverflowError))) {
        PyErr_Restore(type_ref.release(), value_ref.release(), tb_ref.release());
        return;
    }
    PyRef text(PyUnicode_FromFormat("argument '%s': %S", name, value));
    PyRef replaced(text ? PyObject_CallFunctionObjArgs(type, text.get(), nullptr) : nullptr);
    if (!replaced) {
        PyErr_Clear();
        PyErr_Restore(type_ref.release(), value_ref.release(), tb_ref.release());
        return;
    }
    PyException_SetCause(replaced.get(), value_ref.release());
    PyErr_SetObject(type, replaced.get());
#pragma GCC diagnostic pop
}

// An unsigned 64-bit integer from any object with an integer conversion (int, bool, objects
// with __index__); floats and strings are refused rather than truncated or parsed.
bool to_u64(PyObject* obj, const char* name, unsigned long long& result) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    return true;
}

PyObject* sum_as_string(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"a", "b", nullptr};
    PyObject* a = nullptr;
    PyObject* b = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:sum_as_string", const_cast<char**>(keywords), &a, &b))
        return nullptr;
    unsigned long long x = 0;
    unsigned long long y = 0;
    if (!to_u64(a, "a", x) || !to_u64(b, "b", y)) return nullptr;
    // Unsigned arithmetic wraps modulo 2^64, which is the defined result.
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%llu", x + y);
    return PyUnicode_FromStringAndSize(digits, n);
}


PyObject* raw_input(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"prompt", nullptr};
    PyObject* prompt = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:raw_input", const_cast<char**>(keywords), &prompt))
        return nullptr;
    if (!PyUnicode_Check(prompt)) {
        PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(prompt)), "__name__"));
        if (!type_name) return nullptr;
        PyErr_Format(PyExc_TypeError, "argument 'prompt': '%S' object cannot be converted to 'str'",
                     type_name.get());
        return nullptr;
    }
    // The file-system encoding with its error handler, as os.open would use: names that are not
    // valid UTF-8 (listed by os.listdir as surrogate escapes) reach the file they name.
    PyRef path(PyUnicode_EncodeFSDefault(prompt));
    if (!path) return nullptr;
    RunOptions options;
    if (!memory_limit_from_environment(options.memory_limit)) return nullptr;
    RunReport report;
    Outcome outcome;
    if (!run_for_python(std::move(path), options, report, outcome, true)) return nullptr;
    return outcome_result(outcome);
}

template <class F> PyCFunction as_cfunction(F* f) {
    // The C API stores every method as PyCFunction and calls it with the signature its flags
    // name; the detour through void(*)() keeps the cast free of function-type warnings.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"sum_as_string", as_cfunction(sum_as_string), METH_VARARGS | METH_KEYWORDS,
     "sum_as_string(a, b)\n--\n\n"},
    {"raw_input", as_cfunction(raw_input), METH_VARARGS | METH_KEYWORDS, "raw_input(prompt)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "Brindle", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Fills the fresh module with its two functions, in this order.
int brindle(PyObject* module) { return PyModule_AddFunctions(module, methods); }

PyObject* init_module() {
    if (initialised) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules may only be initialized once per interpreter process");
        return nullptr;
    }
    ExeState::link_plain_loop();
    PyRef module(PyModule_Create(&module_def));
    if (!module || brindle(module.get()) < 0) return nullptr;
    initialised = true;
    return module.release();
}

} // namespace

} // namespace tarn

PyMODINIT_FUNC PyInit_Brindle() {
    return tarn::guarded([] { return tarn::init_module(); });
}
