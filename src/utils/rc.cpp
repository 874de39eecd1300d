#include "utils/rc.h"

namespace tarn {

namespace {

std::uint64_t last_identity = 0;

} // namespace

Identified::Identified(ObjKind k) : Shared(k), id(++last_identity) {}

void reset_identities() { last_identity = 0; }

} // namespace tarn
