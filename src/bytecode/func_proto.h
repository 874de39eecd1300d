#pragma once
// A compiled function. Built by the compiler, never changed once `finish` has run: from then
// on every instruction's trace line ("  [pc]\tForm\n") is ready, so the dispatch loop only
// copies bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bytecode/bytecode.h"
#include "value/value.h"

namespace tarn {

// Where a closure finds one of its upvalue cells, seen from the function that creates it.
struct UpIndex {
    enum Where : std::uint8_t { Local, Upvalue } where;
    std::size_t index;
};

struct FuncProto final : Shared {
    std::vector<Value> constants;
    std::vector<UpIndex> upindexes;
    std::vector<ByteCode> byte_codes;
    std::size_t nparam = 0;
    bool has_varargs = false;

    // Trace line of instruction pc: trace_text[trace_offsets[pc] .. trace_offsets[pc + 1]).
    std::string trace_text;
    std::vector<std::uint32_t> trace_offsets;

    // Prepares the trace lines; called once when the function is complete.
    void finish();
    // The listing: constants, upindexes and the numbered instructions.
    void print_listing(std::string& out) const;
};

} // namespace tarn
