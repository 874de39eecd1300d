#pragma once
// The host's say in a run. A run goes on without the host's interpreter lock; the host is asked
// at each flush of the output buffer (which fills every few tens of thousands of traced
// instructions), at each read of the script and after each interrupted system call whether the
// user asked the run to stop (Ctrl-C).

namespace tarn {

// True when the run must stop. `now` is set after a system call came back interrupted by a
// signal, which the host must look at at once; otherwise the host may answer false without
// looking when it looked very recently. Installed by the host; null when there is none.
using HostPoll = bool (*)(bool now);
extern HostPoll host_poll;

// Asks the host whether to stop, and throws `Interrupted` when it says so.
void poll_host(bool now = false);

} // namespace tarn
