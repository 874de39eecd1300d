#include "utils/fatal.h"

namespace tarn {

// clang-format off
void fatal(std::string message, std::source_location where) {
    throw Fatal(std::move(message), where);
}

void fatal_at(SourcePos pos, std::string message, std::source_location where) {
    throw Fatal(std::move(message), where, pos);
}
// clang-format on

void fatal_bounds(std::size_t len, std::size_t index, std::source_location where) {
    throw Fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

} // namespace tarn
