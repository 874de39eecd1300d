// The dispatch loop in every mode but raw_input's plain trace: the same loop (dispatch.cpp),
// instantiated here so that a module which only traces does not carry the other loops.
#define TARN_DISPATCH_MODES
#include "vm/dispatch.cpp"
