#pragma once
// The host installs a poll function that tells whether the user asked the run to stop
// (Ctrl-C). The machine calls it every few thousand loop iterations and calls; when it
// returns true the machine throws `Interrupted`.

namespace tarn {

using InterruptPoll = bool (*)();
extern InterruptPoll interrupt_poll;

} // namespace tarn
