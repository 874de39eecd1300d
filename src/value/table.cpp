// Table storage: the placement rule for integer keys and the hash part.
//
// Invariants:
// - array_[p] holds the value of the integer key p + 1 for p < alen_; nil is stored like any
//   value, and neither part ever shrinks or loses an entry while the table lives.
// - acap_ is the capacity the placement rule sees and only changes by the growth policy below;
//   the array block always holds exactly acap_ values, so no library picks the growth.
// - An integer key i is written to the array part when 1 <= i <= 3 or 4 <= i < 2 * acap_,
//   otherwise to the hash part. The same key may therefore sit in both parts (written to the
//   hash part first, reached by the array part later); the array part is read first, so the
//   hash entry is shadowed for good.
// - Float keys, integral or not, always live in the hash part and never look at the array part;
//   integer keys beyond the array part are looked up in the hash part, where they meet equal
//   floats (which hash alike).
// - The hash part is a chained scatter table with Brent's variation: nsize_ nodes (a power of
//   two), each key reachable along the chain that starts at its main position (its hash modulo
//   nsize_), and a node in use that is not in its own main position is never the start of
//   another key's chain. Entries are never removed (a NaN key is stored anew every time, since
//   it is never found), so a full part simply doubles.

#include "value/table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "utils/fatal.h"
#include "utils/memory.h"
#include "utils/run.h"

namespace tarn {

Table* Table::make(std::size_t narray, std::size_t nhash) {
    Table* t = new (Run::active()->pool().allocate(sizeof(Table))) Table;
    try {
        if (narray > 0) t->grow_to(narray);
        if (nhash > 0) t->resize_hash(std::bit_ceil(nhash));
    } catch (...) {
        t->clear_refs();
        free(t);
        throw;
    }
    return t;
}

void Table::clear_refs() {
    // Take the contents out first: releasing them may free other objects, which must find this
    // table already empty and consistent.
    Value* array = std::exchange(array_, nullptr);
    std::size_t alen = std::exchange(alen_, 0);
    std::size_t acap = std::exchange(acap_, 0);
    Node* node = std::exchange(node_, nullptr);
    std::size_t nsize = std::exchange(nsize_, 0);
    count_ = 0;
    lastfree_ = 0;
    for (std::size_t p = 0; p < alen; ++p) array[p].~Value();
    if (array) Run::active()->free_storage(array, acap * sizeof(Value));
    for (std::size_t k = 0; k < nsize; ++k) {
        if (!node[k].used) continue;
        node[k].key.~Value();
        node[k].val.~Value();
    }
    if (node) Run::active()->free_storage(node, nsize * sizeof(Node));
}

void Table::free(Table* t) {
    t->~Table();
    Run::active()->pool().free(t, sizeof(Table));
}

Value* Table::find_int(std::int64_t i) const {
    const Value key = Value::integer(i);
    return walk(key.hash(), [&](const Value& k) { return k.is_int() ? k.as_int() == i : k == key; });
}

const Value* Table::find_other(const Value& key) const {
    return walk(key.hash(), [&](const Value& k) { return k == key; });
}

Value Table::index_array(std::int64_t i) const {
    if (i >= 1 && static_cast<std::uint64_t>(i) <= alen_) return array_[i - 1];
    const Value* v = find_int(i);
    return v ? *v : Value();
}

Value Table::index(const Value& key) const {
    if (key.is_int()) return index_array(key.as_int());
    const Value* v = find(key);
    return v ? *v : Value();
}

void Table::new_index(Value key, Value v) {
    if (key.is_int()) {
        new_index_array(key.as_int(), std::move(v));
        return;
    }
    hash_set(std::move(key), std::move(v));
}

void Table::new_index_array(std::int64_t i, Value v) {
    // i >= 2 * acap_, written so that it cannot overflow.
    if (i <= 0 || (i >= 4 && static_cast<std::uint64_t>(i) / 2 >= acap_)) {
        hash_set(Value::integer(i), std::move(v));
        return;
    }
    const auto pos = static_cast<std::size_t>(i - 1);
    if (pos < alen_) {
        // The old value is released only once the slot holds the new one.
        Value old = std::exchange(array_[pos], std::move(v));
        return;
    }
    if (pos > alen_) {
        reserve_extra(pos - alen_);
        fill_nil(array_ + alen_, pos - alen_);
        alen_ = pos;
    }
    push(std::move(v));
}

void Table::append(Value* first, std::size_t n) {
    reserve_extra(n);
    for (std::size_t k = 0; k < n; ++k) new (array_ + alen_ + k) Value(std::move(first[k]));
    alen_ += n;
}

void Table::grow_to(std::size_t need) {
    if (need > SIZE_MAX / sizeof(Value)) throw OutOfMemory();
    Run& run = *Run::active();
    const std::size_t size = need * sizeof(Value);
    if (array_ && !Run::pooled_storage(acap_ * sizeof(Value)) && !Run::pooled_storage(size)) {
        // Both blocks from the system: a large one is remapped rather than copied, and its
        // pages are not touched again.
        array_ = static_cast<Value*>(run.resize_big(array_, size));
        acap_ = need;
        return;
    }
    auto* fresh = static_cast<Value*>(run.allocate_storage(size));
    // Values hold no pointers into themselves, so moving them is copying their bytes.
    if (alen_ > 0) std::memcpy(static_cast<void*>(fresh), array_, alen_ * sizeof(Value));
    if (array_) run.free_storage(array_, acap_ * sizeof(Value));
    array_ = fresh;
    acap_ = need;
}

void Table::reserve_extra(std::size_t n) {
    if (acap_ - alen_ >= n) return;
    grow_to(std::max({2 * acap_, alen_ + n, std::size_t{4}}));
}

void Table::push(Value v) {
    if (alen_ == acap_) grow_to(std::max({2 * acap_, alen_ + 1, std::size_t{4}}));
    new (array_ + alen_) Value(std::move(v));
    ++alen_;
}

void Table::hash_set(Value key, Value v) {
    // A NaN key is never found, so every store of one makes a new entry.
    if (Value* slot = const_cast<Value*>(key.is_int() ? find_int(key.as_int()) : find(key))) {
        Value old = std::exchange(*slot, std::move(v));
        return;
    }
    insert(std::move(key), std::move(v));
}

Table::Node* Table::free_node() {
    while (lastfree_ > 0) {
        Node* n = &node_[--lastfree_];
        if (!n->used) return n;
    }
    return nullptr;
}

// Inserts a key known to be absent.
void Table::insert(Value key, Value v) {
    if (count_ == nsize_) resize_hash(nsize_ == 0 ? 1 : std::size_t{nsize_} * 2);
    Node* mp = main_position(key);
    if (mp->used) {
        Node* f = free_node(); // there is one: count_ < nsize_
        Node* other = main_position(mp->key);
        if (other != mp) {
            // The node's key is out of its own main position: move it to the free node and
            // give the new key its main position.
            while (other + other->next != mp) other += other->next;
            other->next = static_cast<std::int32_t>(f - other);
            new (&f->key) Value(std::move(mp->key));
            new (&f->val) Value(std::move(mp->val));
            f->next = mp->next != 0 ? static_cast<std::int32_t>(mp + mp->next - f) : 0;
            f->used = true;
            mp->next = 0;
        } else {
            // The main position holds a key of the same chain: the new key goes to the free
            // node, linked right after it.
            f->next = mp->next != 0 ? static_cast<std::int32_t>(mp + mp->next - f) : 0;
            mp->next = static_cast<std::int32_t>(f - mp);
            mp = f;
        }
    }
    mp->key = std::move(key);
    mp->val = std::move(v);
    mp->used = true;
    ++count_;
}

void Table::resize_hash(std::size_t nodes) {
    if (nodes > (std::size_t{1} << 30)) throw OutOfMemory();
    auto* fresh = static_cast<Node*>(Run::active()->allocate_storage(nodes * sizeof(Node)));
    fill_nil(fresh, nodes); // unused nodes with nil keys and values
    Node* old = std::exchange(node_, fresh);
    std::size_t old_size = std::exchange(nsize_, static_cast<std::uint32_t>(nodes));
    lastfree_ = nsize_;
    count_ = 0;
    for (std::size_t k = 0; k < old_size; ++k) {
        if (!old[k].used) continue;
        insert(std::move(old[k].key), std::move(old[k].val));
    }
    // Everything was moved out: the old nodes hold nils only.
    if (old) Run::active()->free_storage(old, old_size * sizeof(Node));
}

Value new_table(std::size_t narray, std::size_t nhash) {
    return Value::shared(Kind::Table, Table::make(narray, nhash));
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
