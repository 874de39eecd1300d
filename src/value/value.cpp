// Construction of string values, equality and hashing (which must agree: equal values hash
// alike, 3 and 3.0 included), the plain and quoted printed forms, the float layout and the
// lossy UTF-8 decoding used whenever string bytes are shown.

#include "value/value.h"

#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <random>
#include <system_error>

#include "utils/fatal.h"
#include "utils/memory.h"
#include "utils/run.h"
#include "value/table.h"

namespace tarn {

namespace {

// Seeded once per process so that no script can rely on hash values or craft keys that
// collide on purpose.
std::uint64_t make_seed() {
    std::uint64_t s = 0;
    try {
        std::random_device rd;
        s = (std::uint64_t{rd()} << 32) ^ rd();
    } catch (...) {
        // No entropy source: the clock still keeps runs apart.
    }
    s ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return s | 1;
}

} // namespace

const std::uint64_t hash_seed = make_seed();

namespace {

// The finaliser of MurmurHash3: every input bit affects every output bit.
inline std::uint64_t fmix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

inline std::uint64_t hash_word(std::uint64_t w) { return fmix(w ^ hash_seed); }

inline std::uint64_t load64(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Length first, then the bytes eight at a time; the tail is zero-padded, which cannot make
// two different strings collide systematically because the length is mixed in.
std::uint64_t hash_bytes(std::string_view s) {
    const std::uint64_t c1 = 0x87c37b91114253d5ULL;
    const std::uint64_t c2 = 0x4cf5ad432745937fULL;
    std::uint64_t h = hash_seed ^ (s.size() * c2);
    const char* p = s.data();
    std::size_t n = s.size();
    auto mix = [&](std::uint64_t k) {
        k *= c1;
        k = std::rotl(k, 31);
        k *= c2;
        h ^= k;
        h = std::rotl(h, 27) * 5 + 0x52dce729;
    };
    for (; n >= 8; n -= 8, p += 8) mix(load64(p));
    if (n > 0) {
        std::uint64_t k = 0;
        std::memcpy(&k, p, n);
        mix(k);
    }
    return fmix(h);
}

// A string's hash as its record keeps it: 32 bits, never 0, which marks "not yet computed".
std::uint32_t bytes_hash(std::string_view s) { return static_cast<std::uint32_t>(hash_bytes(s)) | 1u; }

void append_identity(std::uint64_t id, std::string& out) {
    char buf[2 + 16] = {'0', 'x'};
    auto r = std::to_chars(buf + 2, buf + sizeof buf, id, 16);
    out.append(buf, r.ptr);
}

void append_int(std::int64_t i, std::string& out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, i);
    out.append(buf, r.ptr);
}

inline bool is_cont(unsigned char c) { return (c & 0xC0) == 0x80; }

constexpr char replacement[] = "\xEF\xBF\xBD";

} // namespace

Value Value::string_uninit(std::size_t len) {
    if (len <= short_max) {
        Value v;
        v.kind_ = Kind::ShortString;
        v.short_len_ = static_cast<std::uint8_t>(len);
        return v;
    }
    if (len <= middle_max) {
        auto* m = new (Run::active()->pool().allocate(MiddleStr::bytes_for(len))) MiddleStr;
        m->small = static_cast<std::uint8_t>(len);
        return shared(Kind::MiddleString, m);
    }
    if (len > SIZE_MAX - sizeof(LongStr)) throw OutOfMemory();
    const std::size_t size = LongStr::bytes_for(len);
    void* block = size <= Pool::max_block ? Run::active()->pool().allocate(size) : Run::active()->allocate_big(size);
    return shared(Kind::LongString, new (block) LongStr(len));
}

Value Value::string(std::string_view bytes) {
    Value v = string_uninit(bytes.size());
    if (!bytes.empty()) std::memcpy(v.fill_bytes(), bytes.data(), bytes.size());
    return v;
}

void free_string(Shared* s) {
    if (s->kind == ObjKind::MiddleStr) {
        Run::active()->pool().free(s, MiddleStr::bytes_for(s->small));
        return;
    }
    const std::size_t size = LongStr::bytes_for(static_cast<LongStr*>(s)->len);
    if (size <= Pool::max_block)
        Run::active()->pool().free(s, size);
    else
        Run::active()->free_big(s);
}

std::int64_t float_to_int_saturating(double f) {
    if (std::isnan(f)) return 0;
    // 2^63 is the first double above the range; -2^63 itself converts exactly.
    if (f >= 0x1p63) return INT64_MAX;
    if (f <= -0x1p63) return INT64_MIN;
    return static_cast<std::int64_t>(f);
}

bool float_exact_int(double f, std::int64_t& out) {
    std::int64_t i = float_to_int_saturating(f);
    if (static_cast<double>(i) != f) return false;
    out = i;
    return true;
}

bool operator==(const Value& a, const Value& b) {
    if (a.kind_ != b.kind_) {
        if (a.kind_ == Kind::Integer && b.kind_ == Kind::Float) {
            std::int64_t i;
            return float_exact_int(b.u_.f, i) && i == a.u_.i;
        }
        if (a.kind_ == Kind::Float && b.kind_ == Kind::Integer) {
            std::int64_t i;
            return float_exact_int(a.u_.f, i) && i == b.u_.i;
        }
        // Strings of different representations have different lengths.
        return false;
    }
    switch (a.kind_) {
    case Kind::Nil:
        return true;
    case Kind::Boolean:
        return a.u_.b == b.u_.b;
    case Kind::Integer:
        return a.u_.i == b.u_.i;
    case Kind::Float:
        return a.u_.f == b.u_.f;
    case Kind::ShortString:
        // Unused bytes of a short string are always zero, so the whole record compares.
        return std::memcmp(&a, &b, sizeof(Value)) == 0;
    case Kind::MiddleString:
    case Kind::LongString:
        return a.u_.p == b.u_.p || (a.hash() == b.hash() && a.as_string() == b.as_string());
    case Kind::NativeFunction:
        return a.u_.fn == b.u_.fn;
    default:
        return a.u_.p == b.u_.p;
    }
}

std::size_t Value::hash() const {
    switch (kind_) {
    case Kind::Nil:
        return hash_word(0x6e696c);
    case Kind::Boolean:
        return hash_word(u_.b ? 1 : 0);
    case Kind::Integer:
        return hash_word(static_cast<std::uint64_t>(u_.i));
    case Kind::Float: {
        std::int64_t i;
        if (float_exact_int(u_.f, i)) return hash_word(static_cast<std::uint64_t>(i));
        return hash_word(std::bit_cast<std::uint64_t>(u_.f));
    }
    case Kind::ShortString:
        return short_string_hash();
    case Kind::MiddleString:
    case Kind::LongString: {
        auto* str = static_cast<SharedStr*>(u_.p);
        if (str->hash == 0) str->hash = bytes_hash(as_string());
        return str->hash;
    }
    case Kind::NativeFunction:
        return hash_word(reinterpret_cast<std::uintptr_t>(u_.fn));
    default:
        return hash_word(reinterpret_cast<std::uintptr_t>(u_.p));
    }
}

void Value::print_plain(std::string& out) const {
    switch (kind_) {
    case Kind::Nil:
        out += "nil";
        return;
    case Kind::Boolean:
        out += u_.b ? "true" : "false";
        return;
    case Kind::Integer:
        append_int(u_.i, out);
        return;
    case Kind::Float:
        format_float(u_.f, out);
        return;
    case Kind::ShortString:
    case Kind::MiddleString:
    case Kind::LongString:
        append_utf8_lossy(as_string(), out);
        return;
    case Kind::Table:
        out += "table: ";
        append_identity(static_cast<const Identified*>(u_.p)->id, out);
        return;
    case Kind::LuaFunction:
    case Kind::LuaClosure:
        out += "function: ";
        append_identity(static_cast<const Identified*>(u_.p)->id, out);
        return;
    case Kind::NativeFunction:
    case Kind::NativeClosure:
        out += "function";
        return;
    }
}

void Value::print_quoted(std::string& out) const {
    switch (kind_) {
    case Kind::ShortString:
        out += '\'';
        append_utf8_lossy(as_string(), out);
        out += '\'';
        return;
    case Kind::MiddleString:
        out += '"';
        append_utf8_lossy(as_string(), out);
        out += '"';
        return;
    case Kind::LongString:
        out += "'''";
        append_utf8_lossy(as_string(), out);
        out += "'''";
        return;
    case Kind::Table: {
        const Table* t = as_table();
        out += "table:";
        append_int(static_cast<std::int64_t>(t->array_len()), out);
        out += ':';
        append_int(static_cast<std::int64_t>(t->hash_len()), out);
        return;
    }
    case Kind::NativeFunction:
        out += "rust function";
        return;
    case Kind::NativeClosure:
        out += "rust closure";
        return;
    case Kind::LuaFunction:
        out += "Lua function";
        return;
    case Kind::LuaClosure:
        out += "Lua closure";
        return;
    default:
        print_plain(out);
        return;
    }
}

std::int64_t Value::to_int() const {
    switch (kind_) {
    case Kind::Integer:
        return u_.i;
    case Kind::Float:
        return float_to_int_saturating(u_.f);
    case Kind::ShortString:
    case Kind::MiddleString:
    case Kind::LongString:
        fatal("not yet implemented: tonumber");
    default:
        fatal("invalid string Value");
    }
}

void format_float(double f, std::string& out) {
    if (std::isnan(f)) {
        out += "NaN";
        return;
    }
    if (std::isinf(f)) {
        out += f < 0 ? "-inf" : "inf";
        return;
    }
    // Scientific form without a precision gives the shortest digits that read back as f,
    // e.g. "-1.2345e+16"; they are then laid out by magnitude.
    char sci[32];
    auto r = std::to_chars(sci, sci + sizeof sci, f, std::chars_format::scientific);
    const char* p = sci;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[24];
    std::size_t n = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    ++p;
    int exp = 0;
    std::from_chars(*p == '+' ? p + 1 : p, r.ptr, exp);

    if (f == 0 || (exp >= -4 && exp < 16)) {
        if (exp < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp - 1), '0');
            out.append(digits, n);
            return;
        }
        auto int_len = static_cast<std::size_t>(exp) + 1;
        if (n <= int_len) {
            out.append(digits, n);
            out.append(int_len - n, '0');
            out += ".0";
        } else {
            out.append(digits, int_len);
            out += '.';
            out.append(digits + int_len, n - int_len);
        }
        return;
    }
    out += digits[0];
    if (n > 1) {
        out += '.';
        out.append(digits + 1, n - 1);
    }
    out += 'e';
    append_int(exp, out);
}

void append_utf8_lossy(std::string_view bytes, std::string& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = i;
        while (run < n && s[run] < 0x80) ++run;
        if (run > i) {
            out.append(bytes.data() + i, run - i);
            i = run;
            if (i == n) break;
        }
        const unsigned char c = s[i];
        // Expected length and the range allowed for the second byte, which rules out
        // overlong forms, surrogates and code points above U+10FFFF.
        std::size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        // The maximal valid prefix of a sequence is replaced by one U+FFFD as a whole.
        std::size_t k = 1;
        if (i + 1 < n && s[i + 1] >= lo && s[i + 1] <= hi) {
            k = 2;
            while (k < need && i + k < n && is_cont(s[i + k])) ++k;
        }
        if (k == need) {
            out.append(bytes.data() + i, need);
        } else {
            out += replacement;
        }
        i += k;
    }
}

} // namespace tarn
