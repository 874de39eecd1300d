#pragma once
// What the interpreter asks of its host while a script runs. The host answers whether the user
// asked the run to stop (Ctrl-C), and lends the thread to its other work at each poll and
// while a system call blocks. The interpreter polls at each flush of the output buffer, which
// fills every few tens of thousands of traced instructions, and at each read of the script.

namespace tarn {

struct Host {
    // True when the run must stop. Also gives the host's other threads a turn.
    bool (*poll)() = nullptr;
    // Bracket a system call that may block (a write to a full pipe), so that the host's other
    // threads run meanwhile.
    void (*blocking_begin)() = nullptr;
    void (*blocking_end)() = nullptr;
};

extern Host host;

// Around a system call that may block. Not RAII on purpose: ending the bracket may end the
// thread when the host is shutting down, and that must not happen inside a destructor.
inline void blocking_begin() {
    if (host.blocking_begin) host.blocking_begin();
}
inline void blocking_end() {
    if (host.blocking_end) host.blocking_end();
}

// Asks the host whether to stop, and throws `Interrupted` when it says so.
void poll_host();

} // namespace tarn
