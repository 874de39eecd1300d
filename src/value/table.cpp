// Table storage and the placement rule for integer keys.
//
// Invariants:
// - array_[p] holds the value of the integer key p + 1; nil is stored like any value, and
//   neither part ever shrinks or loses an entry while the table lives.
// - cap_ is the capacity the placement rule sees and only changes by the growth policy below;
//   array_.capacity() == cap_ at all times, so the vector never picks its own growth.
// - An integer key i is written to the array part when 1 <= i <= 3 or 4 <= i < 2 * cap_,
//   otherwise to the hash part. The same key may therefore sit in both parts (written to the
//   hash part first, reached by the array part later); the array part is read first, so the
//   hash entry is shadowed for good.
// - Float keys, integral or not, always live in the hash part and never look at the array part;
//   integer keys beyond the array part are looked up in the hash part, where they meet equal
//   floats.

#include "value/table.h"

#include <algorithm>
#include <utility>

#include "utils/fatal.h"

namespace tarn {

Table::Table(std::size_t narray, std::size_t nhash) : cap_(narray) {
    array_.reserve(narray);
    if (nhash > 0) hash_.reserve(nhash);
}

Value Table::index_array(std::int64_t i) const {
    if (i >= 1 && static_cast<std::uint64_t>(i) <= array_.size()) {
        return array_[static_cast<std::size_t>(i - 1)];
    }
    if (hash_.empty()) return Value();
    auto it = hash_.find(Value::integer(i));
    return it == hash_.end() ? Value() : it->second;
}

Value Table::index(const Value& key) const {
    if (key.is_int()) return index_array(key.as_int());
    if (hash_.empty()) return Value();
    auto it = hash_.find(key);
    return it == hash_.end() ? Value() : it->second;
}

void Table::new_index(Value key, Value v) {
    if (key.is_int()) {
        new_index_array(key.as_int(), std::move(v));
        return;
    }
    hash_set(std::move(key), std::move(v));
}

void Table::new_index_array(std::int64_t i, Value v) {
    // i >= 2 * cap_, written so that it cannot overflow.
    if (i <= 0 || (i >= 4 && static_cast<std::uint64_t>(i) / 2 >= cap_)) {
        hash_set(Value::integer(i), std::move(v));
        return;
    }
    const auto pos = static_cast<std::size_t>(i - 1);
    if (pos < array_.size()) {
        // The old value is released only once the slot holds the new one.
        Value old = std::exchange(array_[pos], std::move(v));
        return;
    }
    if (pos > array_.size()) {
        reserve_extra(pos - array_.size());
        array_.resize(pos);
    }
    push(std::move(v));
}

void Table::append(Value* first, std::size_t n) {
    reserve_extra(n);
    for (std::size_t k = 0; k < n; ++k) array_.push_back(std::move(first[k]));
}

void Table::clear_refs() {
    // Move the contents out first: releasing them may run arbitrary destructors, which must
    // find this table already empty and consistent.
    auto array = std::move(array_);
    auto hash = std::move(hash_);
    array_ = std::vector<Value>();
    hash_.clear();
    cap_ = 0;
}

void Table::grow_to(std::size_t need) {
    array_.reserve(need);
    cap_ = need;
}

void Table::reserve_extra(std::size_t n) {
    const std::size_t len = array_.size();
    if (cap_ - len >= n) return;
    grow_to(std::max({2 * cap_, len + n, std::size_t{4}}));
}

void Table::push(Value v) {
    if (array_.size() == cap_) grow_to(std::max({2 * cap_, array_.size() + 1, std::size_t{4}}));
    array_.push_back(std::move(v));
}

void Table::hash_set(Value key, Value v) {
    auto [it, fresh] = hash_.try_emplace(std::move(key), std::move(v));
    if (!fresh) {
        Value old = std::exchange(it->second, std::move(v));
    }
}

Value new_table(std::size_t narray, std::size_t nhash) {
    return Value::shared(Kind::Table, new Table(narray, nhash));
}

Value index(const Value& t, const Value& key) {
    if (!t.is_table()) fatal("not yet implemented: meta __index");
    return t.as_table()->index(key);
}

Value index_array(const Value& t, std::int64_t i) {
    if (!t.is_table()) fatal("not yet implemented: meta __index");
    return t.as_table()->index_array(i);
}

void new_index(const Value& t, Value key, Value v) {
    if (!t.is_table()) fatal("not yet implemented: meta __newindex");
    t.as_table()->new_index(std::move(key), std::move(v));
}

void new_index_array(const Value& t, std::int64_t i, Value v) {
    if (!t.is_table()) fatal("not yet implemented: meta __newindex");
    t.as_table()->new_index_array(i, std::move(v));
}

} // namespace tarn
