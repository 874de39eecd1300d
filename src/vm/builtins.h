#pragma once
// The four global functions a script sees, plus the iterator that `ipairs` hands out. All
// follow the native calling convention: arguments are stack[base .. top), results are pushed
// on top and counted by the return value; arguments are left in place.

#include <cstdint>

namespace tarn {

class ExeState;

std::int32_t lib_print(ExeState& state);
std::int32_t lib_type(ExeState& state);
std::int32_t ipairs(ExeState& state);
std::int32_t ipairs_aux(ExeState& state);
std::int32_t test_new_counter(ExeState& state);

} // namespace tarn
