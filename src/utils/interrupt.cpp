#include "utils/interrupt.h"

#include "utils/fatal.h"

namespace tarn {

Host host;

void poll_host() {
    if (host.poll && host.poll()) throw Interrupted{};
}

} // namespace tarn
