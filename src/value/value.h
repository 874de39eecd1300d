#pragma once
// The dynamically typed value: 16 bytes, one kind byte and a payload. Short strings (up to
// 14 bytes) live inside the value; middle strings (15 to 47) and long strings (48 and more) in
// shared records sized to their bytes, which also keep the string's hash once it is needed.
// The representation is a function of the length alone, so string equality is byte equality.
//
// A nil is sixteen zero bytes (the Nil kind is 0 and a nil's payload is zero). Three places rely
// on it, each through `fill_nil` or the zero pages of the system: the value stack, mapped as
// fresh anonymous memory, starts as nils; a table's new array slots and hash nodes are cleared
// in one go; and a short string is built on a nil, so its unused bytes are zero and two equal
// short strings are equal records (compared and hashed as two words).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "utils/rc.h"

namespace tarn {

class ExeState;
class Table;
class NativeClosure;
class LuaClosure;
struct FuncProto;

// Random for each process, so no script can rely on hash values or craft keys that collide on
// purpose.
extern const std::uint64_t hash_seed;

// Ordered so that the string kinds are one range and the shared kinds the range after
// ShortString: `is_string` and `is_shared` are single comparisons.
enum class Kind : std::uint8_t {
    Nil,
    Boolean,
    Integer,
    Float,
    NativeFunction,
    ShortString,
    MiddleString,
    LongString,
    Table,
    NativeClosure,
    // The Lua functions come last (is_lua_function).
    LuaFunction,
    LuaClosure,
};

// A native function takes the execution state and returns how many results it pushed.
using NativeFn = std::int32_t (*)(ExeState&);

static_assert(static_cast<int>(Kind::Nil) == 0, "a nil is sixteen zero bytes");

// Makes the `count` objects at `first` nils, or for a record made only of values and of fields
// whose empty state is zero (a table's hash node), empty, without constructing them one by one.
// Their previous contents, if any, must hold no references.
template <class T> inline void fill_nil(T* first, std::size_t count) {
    std::memset(static_cast<void*>(first), 0, count * sizeof(T));
}

inline constexpr std::size_t short_max = 14;
inline constexpr std::size_t middle_max = 47;

// The shared string records start alike: the header, then the string's hash.
struct SharedStr : Shared {
    explicit SharedStr(ObjKind k) : Shared(k) {}
    std::uint32_t hash = 0; // 0 until first needed
};

// A middle string: the header (its `small` byte is the length), the hash, then the bytes.
struct MiddleStr final : SharedStr {
    MiddleStr() : SharedStr(ObjKind::MiddleStr) {}
    std::size_t size() const { return small; }
    char* data() { return reinterpret_cast<char*>(this + 1); }
    const char* data() const { return reinterpret_cast<const char*>(this + 1); }
    static std::size_t bytes_for(std::size_t len) { return sizeof(MiddleStr) + len; }
};

struct LongStr final : SharedStr {
    explicit LongStr(std::size_t n) : SharedStr(ObjKind::LongStr), len(n) {}
    std::size_t len;
    char* data() { return reinterpret_cast<char*>(this + 1); }
    const char* data() const { return reinterpret_cast<const char*>(this + 1); }
    static std::size_t bytes_for(std::size_t len) { return sizeof(LongStr) + len; }
};

// Frees a string record (its references are already gone).
void free_string(Shared* s);

class Value {
public:
    Value() { fill_nil(this, 1); }
    [[gnu::always_inline]] Value(const Value& o) {
        Words w = o.words();
        put_words(w);
        if (w.shared()) retain(w.pointer());
    }
    Value(Value&& o) noexcept {
        put_words(o.words());
        o.set_tag(Kind::Nil);
    }
    // Assignments store the new value first and release the old one last: releasing may free
    // the object the source lives in (`t = t[1]` when the register held the last reference to
    // t), and nothing needs keeping across it.
    [[gnu::always_inline]] Value& operator=(const Value& o) {
        Words w = o.words();
        if (w.shared()) retain(w.pointer());
        Shared* old = shared_or_null();
        put_words(w);
        if (old) release(old);
        return *this;
    }
    [[gnu::always_inline]] Value& operator=(Value&& o) noexcept {
        if (this != &o) {
            Shared* old = shared_or_null();
            put_words(o.words());
            o.set_tag(Kind::Nil);
            if (old) release(old);
        }
        return *this;
    }
    [[gnu::always_inline]] ~Value() { drop(); }
    // Exchanges two values; their references stay as they are.
    [[gnu::always_inline]] void swap(Value& o) {
        Words mine = words();
        put_words(o.words());
        o.put_words(mine);
    }

    static Value boolean(bool b) {
        Value v;
        v.set_tag(Kind::Boolean);
        v.u_.b = b;
        return v;
    }
    static Value integer(std::int64_t i) {
        Value v;
        v.set_tag(Kind::Integer);
        v.u_.i = i;
        return v;
    }
    static Value number(double f) {
        Value v;
        v.set_tag(Kind::Float);
        v.u_.f = f;
        return v;
    }
    // a .. b for two short strings whose lengths add up to at most short_max, made from their
    // words in registers (the bytes go in after a's, and unused bytes are zero in both).
    static Value short_concat(const Value& a, const Value& b) {
        if constexpr (std::endian::native == std::endian::little) {
            if (b.short_len_ == 0) return a;
            if (a.short_len_ == 0) return b;
            using Bits = unsigned __int128;
            const Words wa = a.words(), wb = b.words();
            const Bits x = Bits{wa.lo} | Bits{wa.hi} << 64;
            const Bits y = Bits{wb.lo} | Bits{wb.hi} << 64;
            const unsigned header = 2; // the kind and length bytes
            Bits r = x | (y >> (8 * header)) << (8 * (header + a.short_len_));
            r = (r & ~(Bits{0xff} << 8)) | Bits{static_cast<std::uint8_t>(a.short_len_ + b.short_len_)} << 8;
            Value v;
            v.put_words({static_cast<std::uint64_t>(r), static_cast<std::uint64_t>(r >> 64)});
            return v;
        } else {
            Value v = string_uninit(a.short_len_ + b.short_len_);
            std::memcpy(v.short_data(), a.short_data(), a.short_len_);
            std::memcpy(v.short_data() + a.short_len_, b.short_data(), b.short_len_);
            return v;
        }
    }
    // Strings: the representation is chosen by length.
    static Value string(std::string_view bytes);
    static Value string(const std::string& bytes) { return string(std::string_view(bytes)); }
    static Value string(const char* s) { return string(std::string_view(s)); }
    // A string of `len` bytes whose contents the caller fills through `fill_bytes` before
    // the value is used or copied (concatenation builds its result in place).
    static Value string_uninit(std::size_t len);
    char* fill_bytes() {
        switch (kind_) {
        case Kind::ShortString:
            return short_data();
        case Kind::MiddleString:
            return static_cast<MiddleStr*>(u_.p)->data();
        default:
            return static_cast<LongStr*>(u_.p)->data();
        }
    }
    static Value native(NativeFn fn) {
        Value v;
        v.set_tag(Kind::NativeFunction);
        v.u_.fn = fn;
        return v;
    }
    // Wrap a shared object of the given kind (Table, NativeClosure, LuaFunction, LuaClosure);
    // the value takes one new reference.
    static Value shared(Kind k, Shared* p) {
        Value v;
        v.set_tag(k);
        v.u_.p = p;
        retain(p);
        return v;
    }

    // Makes the value nil, releasing what it held.
    // Tests the kind before reading the pointer: `drop_to` clears long runs of numbers and nils.
    [[gnu::always_inline]] void clear() {
        if (is_shared()) {
            Shared* p = u_.p;
            set_tag(Kind::Nil);
            release(p);
            return;
        }
        set_tag(Kind::Nil);
    }
    // In-place number stores for the machine's hot paths: the tag word and the payload, written
    // directly rather than through a temporary.
    [[gnu::always_inline]] void set_int(std::int64_t i) {
        Shared* old = shared_or_null();
        set_tag(Kind::Integer);
        u_.i = i;
        if (old) release(old);
    }
    [[gnu::always_inline]] void set_float(double f) {
        Shared* old = shared_or_null();
        set_tag(Kind::Float);
        u_.f = f;
        if (old) release(old);
    }
    // The payload is written whole, as Value::boolean leaves it.
    [[gnu::always_inline]] void set_bool(bool b) {
        Shared* old = shared_or_null();
        set_tag(Kind::Boolean);
        u_.i = b ? 1 : 0;
        if (old) release(old);
    }

    Kind kind() const { return kind_; }
    bool is_nil() const { return kind_ == Kind::Nil; }
    bool is_int() const { return kind_ == Kind::Integer; }
    bool is_float() const { return kind_ == Kind::Float; }
    bool is_number() const { return kind_ == Kind::Integer || kind_ == Kind::Float; }
    bool is_string() const { return kind_ >= Kind::ShortString && kind_ <= Kind::LongString; }
    bool is_table() const { return kind_ == Kind::Table; }
    bool is_shared() const { return kind_ >= Kind::MiddleString; }
    // A Lua function, bare or with its cells (the last two kinds).
    bool is_lua_function() const { return kind_ >= Kind::LuaFunction; }
    // Nil and false are false in a condition; everything else is true.
    bool truthy() const { return kind_ > Kind::Boolean || (kind_ == Kind::Boolean && u_.b); }

    bool as_bool() const { return u_.b; }
    std::int64_t as_int() const { return u_.i; }
    double as_float() const { return u_.f; }
    NativeFn as_native() const { return u_.fn; }
    Shared* as_shared() const { return u_.p; }
    Table* as_table() const;
    std::string_view as_string() const {
        switch (kind_) {
        case Kind::ShortString:
            return {short_data(), short_len_};
        case Kind::MiddleString: {
            auto* m = static_cast<MiddleStr*>(u_.p);
            return {m->data(), m->size()};
        }
        default: {
            auto* l = static_cast<LongStr*>(u_.p);
            return {l->data(), l->len};
        }
        }
    }

    // Equality of the language (also table keys and constant de-duplication).
    friend bool operator==(const Value& a, const Value& b);
    // Equal values hash alike (3 and 3.0 included).
    std::size_t hash() const;
    // The hash of a short string, cheap enough to compute at every field access: equal short
    // strings are equal records, so their two words are a faithful key. The final fold brings
    // the well-mixed high half of the product down to the bits a table indexes with.
    [[gnu::always_inline]] std::size_t short_string_hash() const {
        std::uint64_t w[2];
        std::memcpy(w, this, sizeof w);
        std::uint64_t h = ((w[0] ^ hash_seed) * 0x9e3779b97f4a7c15ULL ^ w[1]) * 0xc2b2ae3d27d4eb4fULL;
        return h ^ (h >> 32);
    }
    // The hash of a string value (any of the three kinds), inline once a shared string keeps
    // its hash.
    [[gnu::always_inline]] std::size_t string_hash() const {
        if (kind_ == Kind::ShortString) return short_string_hash();
        std::uint32_t h = static_cast<const SharedStr*>(u_.p)->hash;
        return h != 0 ? h : hash();
    }
    // For a string value: whether `o` is the same string.
    [[gnu::always_inline]] bool same_string(const Value& o) const {
        if (kind_ != o.kind_) return false;
        if (kind_ == Kind::ShortString) return same_short_string(o);
        return u_.p == o.u_.p || *this == o;
    }
    // Both the same short string: the whole record compares, since unused bytes are zero.
    bool same_short_string(const Value& o) const { return std::memcmp(this, &o, sizeof(Value)) == 0; }

    // The plain form (print) and the quoted form (listing constants, error messages).
    void print_plain(std::string& out) const;
    void print_quoted(std::string& out) const;
    std::string quoted() const {
        std::string s;
        print_quoted(s);
        return s;
    }

    // Conversion to a 64-bit integer (the ipairs control value).
    std::int64_t to_int() const;

private:
    // A value moves as two words through general registers, and every store of a kind writes
    // its whole first word (set_tag): each load of a copy then reads what one earlier store
    // wrote, which the processor forwards from the store. A 16-byte load over a kind byte and a
    // payload stored apart waits until both have reached the cache, on every copy of a number
    // just computed. The empty asm keeps the compiler from joining the two words into one
    // vector move again.
    struct Words {
        std::uint64_t lo, hi;
        // The kind is the first byte of the first word: its low byte on a little-endian machine.
        bool shared() const {
            if constexpr (std::endian::native == std::endian::little)
                return static_cast<std::uint8_t>(lo) >= static_cast<std::uint8_t>(Kind::MiddleString);
            else
                return static_cast<std::uint8_t>(lo >> 56) >= static_cast<std::uint8_t>(Kind::MiddleString);
        }
        Shared* pointer() const { return reinterpret_cast<Shared*>(static_cast<std::uintptr_t>(hi)); }
    };
    [[gnu::always_inline]] Words words() const {
        Words w;
        std::memcpy(&w.lo, this, 8);
        std::memcpy(&w.hi, reinterpret_cast<const char*>(this) + 8, 8);
        __asm__("" : "+r"(w.lo), "+r"(w.hi));
        return w;
    }
    [[gnu::always_inline]] void put_words(Words w) {
        std::memcpy(static_cast<void*>(this), &w.lo, 8);
        std::memcpy(reinterpret_cast<char*>(this) + 8, &w.hi, 8);
    }
    // The kind with the rest of its word zero, as one store.
    [[gnu::always_inline]] void set_tag(Kind k) {
        if constexpr (std::endian::native == std::endian::little) {
            const std::uint64_t word = static_cast<std::uint8_t>(k);
            std::memcpy(static_cast<void*>(this), &word, 8);
        } else {
            kind_ = k;
            short_len_ = 0;
            std::memset(short_head_, 0, sizeof short_head_);
        }
    }
    const char* short_data() const { return reinterpret_cast<const char*>(this) + 2; }
    char* short_data() { return reinterpret_cast<char*>(this) + 2; }
    // What a value about to be overwritten held; rarely a shared object, so the store that
    // lets none go lies on the straight path.
    Shared* shared_or_null() const {
        if (is_shared()) [[unlikely]]
            return u_.p;
        return nullptr;
    }
    [[gnu::always_inline]] void drop() {
        if (is_shared()) release(u_.p);
    }

    Kind kind_;
    std::uint8_t short_len_;
    char short_head_[6]; // first bytes of a short string; it runs on into u_
    union {
        bool b;
        std::int64_t i;
        double f;
        NativeFn fn;
        Shared* p;
    } u_;
};

static_assert(sizeof(Value) == 16, "a value is 16 bytes");

struct ValueHash {
    std::size_t operator()(const Value& v) const { return v.hash(); }
};
struct ValueEq {
    bool operator()(const Value& a, const Value& b) const { return a == b; }
};

// Shortest round-trip digits laid out as the language prints floats (1.0, 1e16, 1.5e-5,
// -0.0, inf, NaN).
void format_float(double f, std::string& out);

// Float-to-integer conversion used throughout: truncation toward zero, saturating at the
// 64-bit bounds, NaN giving 0.
std::int64_t float_to_int_saturating(double f);
// The exact integer value of a float, if it has one (truncation converts back to it).
bool float_exact_int(double f, std::int64_t& out);

// Appends the bytes decoded as UTF-8, each maximal invalid subpart replaced by U+FFFD.
void append_utf8_lossy(std::string_view bytes, std::string& out);

} // namespace tarn
