#pragma once
// A compiled function. Built by the compiler, never changed once `finish` has run: from then
// on every instruction's trace line ("  [pc]\tForm\n") is ready, so the dispatch loop only
// copies bytes, and every operand has been checked once, so the loop checks none. It also
// knows where it came from: its name as written, its source range and each instruction's line.

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

// What the dispatch loop runs: an instruction with its prepared trace line.
struct Instr {
    ByteCode code;
    std::uint32_t len; // bytes of the trace line
    const char* text;  // the trace line, followed by padding (see Output::line_slack)
};
static_assert(sizeof(Instr) == 16);

// The tag of the entry that follows a function's last instruction: running into it stops with
// the bounds message, as running past the code does. Never printed.
inline constexpr Op op_past_end = Op::PastEnd;
static_assert(static_cast<int>(op_past_end) == op_count);

struct FuncProto final : Identified {
    // On the run's list of prototypes for as long as it lives (see Run::discard).
    FuncProto();
    ~FuncProto();
    FuncProto* run_prev = nullptr;
    FuncProto* run_next = nullptr;

    std::vector<Value> constants;
    // The hash of each string constant (0 for the others), made by `finish`, so that a field
    // access by a constant name does not hash the name again.
    std::vector<std::size_t> const_hashes;
    std::vector<UpIndex> upindexes;
    std::vector<ByteCode> byte_codes;
    // The source line of each instruction, parallel to byte_codes.
    std::vector<std::uint32_t> lines;
    // As written: "fib", "t.m", "t:m", "main chunk", or "function <CHUNK:LINE>".
    std::string name;
    std::string chunk_name;       // the script's path as given, or the name of a text
    std::uint32_t first_line = 0; // of `function` (1 for the main chunk)
    std::uint32_t last_line = 0;  // of `end` (of the end of the script for the main chunk)
    std::size_t nparam = 0;
    bool has_varargs = false;

    // The code as the machine runs it: byte_codes with their trace lines, and an op_past_end
    // entry after them. The lines live in trace_text.
    std::vector<Instr> instrs;
    std::string trace_text;
    // The same with "\t; line N" before each line's end, prepared only for an annotated run
    // (empty otherwise); the loop picks one table when it enters the function.
    std::vector<Instr> annotated_instrs;
    std::string annotated_text;
    // For a profiled run: the place of this function in listing order, how often each
    // instruction ran (parallel to instrs) and how often the function was entered.
    std::uint32_t listing_index = 0;
    std::vector<std::uint64_t> counts;
    std::uint64_t calls = 0;
    // Registers the code may touch: every register an instruction names, reads or writes lies
    // below it, so the machine reserves it once when the function is entered.
    std::size_t max_stack = 0;

    // Checks every constant, upvalue and jump operand against what the function has (a
    // failure is a fault of the compiler, stopped here rather than trusted at run time), and
    // prepares max_stack, and instrs with the trace lines (and the annotated ones when asked)
    // unless `prepare` made them. Called once, when the function is complete.
    void finish(bool annotate = false);
    // Prepares instrs and the trace lines (and the annotated ones when asked) alone, so that
    // the listing can be copied from them before `finish` checks the code.
    void prepare(bool annotate);
    // The listing: constants, upindexes and the numbered instructions; annotated, a header
    // line "; function NAME (CHUNK:FIRST-LAST)" first and each instruction's line after it.
    void print_listing(std::string& out, bool annotate = false) const;
    // "fib (fib.lua:1-7)": how annotated listings and traces name the function.
    std::string describe() const;
};

} // namespace tarn
