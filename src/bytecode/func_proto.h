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

struct FuncProto final : Identified {
    FuncProto() : Identified(ObjKind::FuncProto) {}

    std::vector<Value> constants;
    std::vector<UpIndex> upindexes;
    std::vector<ByteCode> byte_codes;
    std::size_t nparam = 0;
    bool has_varargs = false;

    // Trace line of instruction pc: trace_text[trace_offsets[pc] .. trace_offsets[pc + 1]),
    // followed by at least Output::line_slack bytes of padding.
    std::string trace_text;
    std::vector<std::uint32_t> trace_offsets;
    // Registers the code may touch: every register an instruction names, reads or writes lies
    // below it, so the machine reserves it once when the function is entered.
    std::size_t max_stack = 0;

    // Prepares the trace lines and max_stack; called once when the function is complete.
    void finish();
    // The listing: constants, upindexes and the numbered instructions.
    void print_listing(std::string& out) const;
};

} // namespace tarn
