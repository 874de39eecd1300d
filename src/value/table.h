#pragma once
// The language's one data structure: an array part for integer keys from 1 up and a hash
// part for everything else. Where an integer key lives depends on the array part's capacity,
// so the capacity is managed by hand (see table.cpp for the placement rule).

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "value/value.h"

namespace tarn {

class Table final : public Tracked {
public:
    Table(std::size_t narray, std::size_t nhash);

    // Reads: a copy of the stored value, nil when absent.
    Value index(const Value& key) const;
    Value index_array(std::int64_t i) const;
    // Writes (the placement rule for integer keys).
    void new_index(Value key, Value v);
    void new_index_array(std::int64_t i, Value v);
    // Appends values at the end of the array part (SetList).
    void append(Value* first, std::size_t n);

    std::size_t array_len() const { return array_.size(); }
    std::size_t array_capacity() const { return cap_; }
    const Value& array_at(std::size_t pos) const { return array_[pos]; }
    std::size_t hash_len() const { return hash_.size(); }

    void clear_refs() override;

private:
    void grow_to(std::size_t need);
    // Room for n more values at the end of the array part, by the growth policy.
    void reserve_extra(std::size_t n);
    void push(Value v);
    void hash_set(Value key, Value v);

    std::vector<Value> array_;
    std::size_t cap_ = 0; // the capacity the placement rule sees
    std::unordered_map<Value, Value, ValueHash, ValueEq> hash_;
};

inline Table* Value::as_table() const { return static_cast<Table*>(u_.p); }

// A new empty table value (NewTable, the global environment).
Value new_table(std::size_t narray, std::size_t nhash);

// Access through a value that should hold a table; anything else fails with
// "not yet implemented: meta __index" (reads) or "not yet implemented: meta __newindex" (writes).
Value index(const Value& t, const Value& key);
Value index_array(const Value& t, std::int64_t i);
void new_index(const Value& t, Value key, Value v);
void new_index_array(const Value& t, std::int64_t i, Value v);

} // namespace tarn
