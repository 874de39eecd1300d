// Converts stops into Python errors: the diagnostic block on standard error and the lazily
// created pyo3_runtime.PanicException type, which lives for the rest of the process once made.
// Nothing here allocates before the interpreter lock is held again, so a run that ran out of
// memory is reported like any other stop.

#include "lib/boundary.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace tarn {

namespace {

constexpr const char* panic_doc = "\n"
                                  "Raised when native code called from Python stops with a fatal error.\n"
                                  "\n"
                                  "Like SystemExit, it derives from BaseException, not from Exception, so\n"
                                  "that it typically propagates all the way up the stack and makes the\n"
                                  "Python interpreter exit.\n";

// Created on the first stop and never released: every stop of the process raises the same type.
PyObject* panic_type = nullptr;

PyObject* get_panic_type() {
    if (!panic_type) {
        panic_type =
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
    }
    return panic_type;
}

// Source paths are recorded relative to the source root by the build; a build that did not map
// them still yields "src/..." by cutting at the last "/src/" component.
std::string_view source_path(const char* file) {
    std::string_view p(file);
    if (p.starts_with("src/")) return p;
    std::size_t i = p.rfind("/src/");
    return i == std::string_view::npos ? p : p.substr(i + 1);
}

void write_stderr(const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(2, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// The heading, then where the stop happened in the script and the calls that led there when
// known, then the message, last.
void write_diagnostic(std::string_view message, const std::source_location* where, const RunReport* report) {
    char head[512];
    int n;
    if (where) {
        std::string_view file = source_path(where->file_name());
        n = std::snprintf(head, sizeof head, "tarn: fatal error at %.*s:%u:%u:\n",
                          static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where->line()),
                          static_cast<unsigned>(where->column()));
    } else {
        n = std::snprintf(head, sizeof head, "tarn: fatal error in native code (no source location):\n");
    }
    if (n > 0) write_stderr(head, std::min(static_cast<std::size_t>(n), sizeof head - 1));
    if (report && !report->location.empty()) {
        write_stderr("at ", 3);
        write_stderr(report->location.data(), report->location.size());
        write_stderr("\n", 1);
    }
    if (report && !report->traceback.empty()) {
        write_stderr("stack traceback:\n", 17);
        for (const StopText& line : report->traceback) {
            write_stderr("\t", 1);
            write_stderr(line.data(), line.size());
            write_stderr("\n", 1);
        }
    }
    write_stderr(message.data(), message.size());
    write_stderr("\n", 1);
}

// Output that a failed write dropped is never lost in silence: a stop for another reason says
// so after its own message.
void note_lost_output(int e) {
    // An interruption or a deadline that gave up a blocked write is the stop's own story.
    if (e == 0 || e == EINTR || e == ETIMEDOUT) return;
    char note[256];
    int n = std::snprintf(note, sizeof note,
                          "tarn: output was lost: failed printing to stdout: %s (os error %d)\n",
                          std::strerror(e), e);
    if (n > 0) write_stderr(note, std::min(static_cast<std::size_t>(n), sizeof note - 1));
}

} // namespace

void report_stop(const Outcome& o, const RunReport* report) {
    if (o.kind != Outcome::Stopped) {
        note_lost_output(o.output_error);
        return;
    }
    write_diagnostic(std::string_view(o.message.data(), o.message.size()), o.located ? &o.where : nullptr, report);
    if (!std::string_view(o.message).starts_with("failed printing to stdout: "))
        note_lost_output(o.output_error);
}

PyObject* outcome_result(const Outcome& o) {
    switch (o.kind) {
    case Outcome::Finished:
        Py_INCREF(Py_None);
        return Py_None;
    case Outcome::Interrupted:
        // The host's poll has set the exception of the signal handler that asked to stop.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    case Outcome::Stopped:
        break;
    }
    PyObject* type = get_panic_type();
    if (!type) return nullptr;
    // Messages quote script strings, which may hold any bytes; never fail on bad UTF-8.
    PyRef text(PyUnicode_DecodeUTF8(o.message.data(), static_cast<Py_ssize_t>(o.message.size()), "replace"));
    if (!text) return nullptr;
    PyRef exc(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!exc) return nullptr;
    PyErr_SetObject(type, exc.get());
    return nullptr;
}

} // namespace tarn
