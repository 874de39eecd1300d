// print, type, ipairs with its iterator, and new_counter with the counter closures it makes.

#include "vm/builtins.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "utils/fatal.h"
#include "utils/output.h"
#include "utils/run.h"
#include "value/table.h"
#include "vm/exe_state.h"
#include "vm/native.h"

namespace tarn {

namespace {

const char* type_name(Kind k) {
    switch (k) {
    case Kind::Nil:
        return "nil";
    case Kind::Boolean:
        return "boolean";
    case Kind::Integer:
    case Kind::Float:
        return "number";
    case Kind::ShortString:
    case Kind::MiddleString:
    case Kind::LongString:
        return "string";
    case Kind::Table:
        return "table";
    default:
        return "function";
    }
}

// Its state is a 32-bit counter that wraps around at the 32-bit limits.
std::int32_t counter(NativeClosure& self, ExeState& state) {
    auto count = static_cast<std::int32_t>(static_cast<std::uint32_t>(self.state) + 1u);
    self.state = count;
    char line[32];
    int n = std::snprintf(line, sizeof line, "counter: %d\n", count);
    state.run().output().write(line, static_cast<std::size_t>(n));
    return 0;
}

} // namespace

std::int32_t lib_print(ExeState& state) {
    std::string& text = state.scratch;
    text.clear();
    for (std::size_t i = state.base; i < state.top(); ++i) {
        if (i != state.base) text += '\t';
        state.at(i).print_plain(text);
    }
    text += '\n';
    state.run().output().write(text);
    return 0;
}

std::int32_t lib_type(ExeState& state) {
    Value name = Value::string(std::string_view(type_name(state.at(state.base).kind())));
    state.push(std::move(name));
    return 1;
}

// The iterator goes first, so that without an argument it is the iterator that becomes the
// state, and the first step then fails with "ipairs non-table".
std::int32_t ipairs(ExeState& state) {
    state.push(Value::native(ipairs_aux));
    Value subject = state.at(state.base);
    state.push(std::move(subject));
    state.push(Value::integer(0));
    return 3;
}

std::int32_t ipairs_aux(ExeState& state) {
    const Value& subject = state.at(state.base);
    if (!subject.is_table()) fatal("ipairs non-table");
    const Table* table = subject.as_table();
    std::int64_t i = state.at(state.base + 1).to_int();
    if (i < 0 || static_cast<std::uint64_t>(i) >= table->array_len()) return 0;
    Value element = table->array_at(static_cast<std::size_t>(i));
    state.push(Value::integer(i + 1));
    state.push(std::move(element));
    return 2;
}

std::int32_t test_new_counter(ExeState& state) {
    state.push(Value::shared(Kind::NativeClosure, NativeClosure::make(counter)));
    return 1;
}

} // namespace tarn
