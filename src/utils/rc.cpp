#include "utils/rc.h"

#include "utils/run.h"

namespace tarn {

Identified::Identified(ObjKind k) : Shared(k), id(Run::active()->next_identity()) {}

void destroy(Shared* p) noexcept { Run::active()->destroy(p); }

} // namespace tarn
