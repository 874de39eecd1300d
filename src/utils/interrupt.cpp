#include "utils/interrupt.h"

#include "utils/fatal.h"

namespace tarn {

HostPoll host_poll = nullptr;

void poll_host(bool now) {
    if (host_poll && host_poll(now)) throw Interrupted{};
}

} // namespace tarn
