#pragma once
// The language's one data structure: an array part for integer keys from 1 up and a hash part
// for everything else. Where an integer key lives depends on the array part's capacity, so the
// capacity is managed by hand (see table.cpp for the placement rule and the hash part).

#include <cstddef>
#include <cstdint>
#include <new>

#include "value/value.h"

namespace tarn {

class Table final : public Identified {
public:
    // A new table with its count at zero, from the run's pool: array capacity exactly `narray`,
    // room for `nhash` hash entries without growing.
    static Table* make(std::size_t narray, std::size_t nhash);
    // Drops every entry and the storage behind them; the table stays usable and empty.
    void clear_refs();
    // Frees a table whose count reached zero (after clear_refs).
    static void free(Table* t);

    // Reads: a copy of the stored value, nil when absent.
    Value index(const Value& key) const;
    Value index_array(std::int64_t i) const;
    // The stored value for a key that is not an integer, or null.
    const Value* find(const Value& key) const { return key.is_string() ? find_string(key) : find_other(key); }
    // The same for a string key, inline: a short string (the common field name) is hashed and
    // compared as its two words.
    [[gnu::always_inline]] Value* find_string(const Value& key) const {
        // The comparisons are forced inline: left to itself the compiler calls them out of line.
        auto same_short = [&](const Value& k) __attribute__((always_inline)) {
            return k.same_short_string(key);
        };
        auto same = [&](const Value& k) __attribute__((always_inline)) { return k.same_string(key); };
        if (key.kind() == Kind::ShortString) [[likely]]
            return walk(key.short_string_hash(), same_short);
        return walk(key.string_hash(), same);
    }
    // The same with the key's hash known (a constant's, made once).
    [[gnu::always_inline]] Value* find_string(const Value& key, std::size_t hash) const {
        auto same_short = [&](const Value& k) __attribute__((always_inline)) {
            return k.same_short_string(key);
        };
        auto same = [&](const Value& k) __attribute__((always_inline)) { return k.same_string(key); };
        if (key.kind() == Kind::ShortString) [[likely]]
            return walk(hash, same_short);
        return walk(hash, same);
    }
    // Writes (the placement rule for integer keys).
    void new_index(Value key, Value v);
    void new_index_array(std::int64_t i, Value v);
    // Appends values at the end of the array part (SetList), moving them out of `first`.
    void append(Value* first, std::size_t n);

    // The array slot of the integer key i, or null when i is not in the array part.
    [[gnu::always_inline]] Value* array_slot(std::int64_t i) const {
        return static_cast<std::uint64_t>(i) - 1 < alen_ ? array_ + (i - 1) : nullptr;
    }

    // The array part's quick cases of storing v under the integer key i: replacing a value,
    // or appending one where there is room (which the placement rule always allows). False
    // when neither applies and the general store must run.
    [[gnu::always_inline]] bool store_in_array(std::int64_t i, const Value& v) {
        const std::uint64_t pos = static_cast<std::uint64_t>(i) - 1;
        if (pos < alen_) [[likely]] {
            array_[pos] = v;
            return true;
        }
        if (pos == alen_ && alen_ < acap_) {
            new (array_ + alen_) Value(v);
            ++alen_;
            return true;
        }
        return false;
    }

    std::size_t array_len() const { return alen_; }
    std::size_t array_capacity() const { return acap_; }
    const Value& array_at(std::size_t pos) const { return array_[pos]; }
    std::size_t hash_len() const { return count_; }

private:
    struct Node {
        Value key;
        Value val;
        std::int32_t next; // offset of the next node of the chain, 0 at its end
        bool used;
    };

    Table() : Identified(ObjKind::Table) {}
    void grow_to(std::size_t need);
    // Room for n more values at the end of the array part, by the growth policy.
    void reserve_extra(std::size_t n);
    void push(Value v);
    Value* find_int(std::int64_t i) const;
    const Value* find_other(const Value& key) const;
    void hash_set(Value key, Value v);
    void insert(Value key, Value v);
    Node* main_position(const Value& key) const { return &node_[key.hash() & (nsize_ - 1)]; }
    // The value of the key found along the chain of the main position for `hash` by `same`.
    template <class Same> [[gnu::always_inline]] Value* walk(std::size_t hash, Same same) const {
        if (nsize_ == 0) return nullptr;
        Node* n = &node_[hash & (nsize_ - 1)];
        if (!n->used) return nullptr;
        for (;;) {
            if (same(n->key)) return &n->val;
            if (n->next == 0) return nullptr;
            n += n->next;
        }
    }
    Node* free_node();
    void resize_hash(std::size_t nodes);

    Value* array_ = nullptr;
    std::size_t alen_ = 0;
    std::size_t acap_ = 0; // the capacity the placement rule sees
    Node* node_ = nullptr;
    std::uint32_t nsize_ = 0;    // nodes in the hash part: 0 or a power of two
    std::uint32_t count_ = 0;    // nodes in use
    std::uint32_t lastfree_ = 0; // every node at or above it is in use
};

// A new empty table value (NewTable, the global environment).
Value new_table(std::size_t narray, std::size_t nhash);

// Access through a value that should hold a table; anything else fails with
// "not yet implemented: meta __index" (reads) or "not yet implemented: meta __newindex" (writes).
Value index(const Value& t, const Value& key);
Value index_array(const Value& t, std::int64_t i);
void new_index(const Value& t, Value key, Value v);
void new_index_array(const Value& t, std::int64_t i, Value v);

inline Table* Value::as_table() const { return static_cast<Table*>(u_.p); }

} // namespace tarn
