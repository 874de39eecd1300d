#pragma once
// Stores a value at an index of a growable array, extending it with default values (nil)
// when the index lies beyond the end. Every register write of the machine goes through it.

#include <cstddef>
#include <utility>
#include <vector>

namespace tarn {

template <class T> void set_vec(std::vector<T>& v, std::size_t index, T value) {
    if (index < v.size()) {
        v[index] = std::move(value);
        return;
    }
    if (index > v.size()) v.resize(index);
    v.push_back(std::move(value));
}

} // namespace tarn
