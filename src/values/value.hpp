// The dynamic value of the VM.
//
// A `Value` is a 16-byte record: a one-byte tag and an 8-byte payload. Scalars
// (`Bool`, `Int`, `Float`) live inline; `String`, `URL`, `Function`, `Array`
// and `Dict` point to an immutable heap payload with an atomic reference
// count, so copying a register costs at most one atomic increment.
//
// Payloads are never changed while shared. The copy-on-write accessors
// (`mutable_items`, `mutable_entries`, `mutable_text`) hand out the payload
// for in-place change only when this value is its sole holder, and copy it
// first otherwise; nobody else can observe the difference.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel {

enum class ValueType : uint8_t {
    Empty = 0,
    Bool = 1,
    Int = 2,
    Float = 3,
    String = 4,
    Function = 5,
    URL = 6,
    Array = 7,
    Dict = 8,
    Unknown = 9,
};

// Lowercase type name ("int"), used in messages that name a type.
std::string_view type_name(ValueType type);
// Capitalised debug name ("Int"), used in debug forms and operand messages.
std::string_view debug_name(ValueType type);
// Type identifiers 0..6 select the tag of the same number; anything else is Unknown.
constexpr ValueType type_from_id(uint16_t id) { return id <= 6 ? static_cast<ValueType>(id) : ValueType::Unknown; }

struct FunctionRef {
    uint64_t chunk_index = 0;
    uint64_t arity = 0;
    std::string name;
    bool operator==(const FunctionRef&) const = default;
};

class DictMap;
class Value;

// Common header of every heap payload.
struct Payload {
    std::atomic<uint32_t> refs{1};
};
struct StringObject : Payload {
    std::string text;
    explicit StringObject(std::string t) : text(std::move(t)) {}
};
struct FunctionObject : Payload {
    FunctionRef ref;
    explicit FunctionObject(FunctionRef r) : ref(std::move(r)) {}
};
struct ArrayObject;
struct DictObject;

class Value {
public:
    Value() noexcept : tag_(ValueType::Empty) { bits_ = 0; }
    Value(const Value& other) noexcept : tag_(other.tag_) {
        bits_ = other.bits_;
        if (is_heap()) payload_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    Value(Value&& other) noexcept : tag_(other.tag_) {
        bits_ = other.bits_;
        other.tag_ = ValueType::Empty;
    }
    Value& operator=(const Value& other) noexcept {
        Value copy(other);
        swap(copy);
        return *this;
    }
    Value& operator=(Value&& other) noexcept {
        Value taken(std::move(other));
        swap(taken);
        return *this;
    }
    ~Value() {
        if (is_heap()) release();
    }
    void swap(Value& other) noexcept {
        std::swap(tag_, other.tag_);
        std::swap(bits_, other.bits_);
    }

    static Value boolean(bool b) noexcept {
        Value v;
        v.tag_ = ValueType::Bool;
        v.bool_ = b;
        return v;
    }
    static Value integer(int64_t i) noexcept {
        Value v;
        v.tag_ = ValueType::Int;
        v.int_ = i;
        return v;
    }
    static Value number(double f) noexcept {
        Value v;
        v.tag_ = ValueType::Float;
        v.float_ = f;
        return v;
    }
    static Value string(std::string text);
    static Value url(std::string text);
    static Value function(FunctionRef ref);
    static Value array(std::vector<Value> items);
    static Value dict(DictMap map);
    static Value dict();

    // Overwrite with a scalar in place, releasing a payload held before.
    void set_int(int64_t i) noexcept {
        if (is_heap()) release();
        tag_ = ValueType::Int;
        int_ = i;
    }
    void set_float(double f) noexcept {
        if (is_heap()) release();
        tag_ = ValueType::Float;
        float_ = f;
    }
    void set_bool(bool b) noexcept {
        if (is_heap()) release();
        tag_ = ValueType::Bool;
        bits_ = b ? 1 : 0;  // the same bytes as bool_ = b over zeroed bits, in one store
    }

    // A new payload for a value that holds an Int (a Float) already: its
    // tag stays, and it owns nothing to release.
    void replace_int(int64_t i) noexcept { int_ = i; }
    void replace_float(double f) noexcept { float_ = f; }

    ValueType type() const { return tag_; }
    bool is(ValueType t) const { return tag_ == t; }
    bool is_heap() const { return tag_ >= ValueType::String; }

    bool as_bool() const { return bool_; }
    int64_t as_int() const { return int_; }
    double as_float() const { return float_; }
    // Text of a String or URL.
    std::string_view text() const { return static_cast<const StringObject*>(payload_)->text; }
    const StringObject* string_object() const { return static_cast<const StringObject*>(payload_); }
    const FunctionRef& function_ref() const { return static_cast<const FunctionObject*>(payload_)->ref; }
    const std::vector<Value>& items() const;
    const DictMap& entries() const;
    // The same payload object (for identity shortcuts in equality).
    const void* payload() const { return payload_; }

    // Copies N values as one block into raw (unconstructed or already
    // destroyed) slots, then takes one reference per heap payload copied.
    template <size_t N>
    static void copy_block(Value* destination, const Value* source) noexcept;
    // Moves N values as one block into raw slots; the source slots are raw
    // afterwards (their ownership went with the bytes).
    template <size_t N>
    static void relocate_block(Value* destination, Value* source) noexcept;
    // Releases the N values at `destination` and moves the raw values at
    // `source` in (the source slots are raw afterwards).
    template <size_t N>
    static void replace_block(Value* destination, Value* source) noexcept;

    // True when this value is the only holder of its heap payload.
    bool is_unique() const { return payload_->refs.load(std::memory_order_acquire) == 1; }
    // Copy-on-write access to a container or string payload.
    std::vector<Value>& mutable_items() {
        if (!is_unique()) unshare();
        return unique_items();
    }
    DictMap& mutable_entries() {
        if (!is_unique()) unshare();
        return unique_entries();
    }
    std::string& mutable_text() {
        if (!is_unique()) unshare();
        return static_cast<StringObject*>(payload_)->text;
    }

private:
    friend class ValueFactory;
    void release() noexcept;
    void add_reference() const noexcept;
    // Replaces a shared payload with a private copy of it.
    void unshare();
    std::vector<Value>& unique_items();
    DictMap& unique_entries();

    // Heap tags (String..Dict, 4..8) are exactly the tags with a bit above
    // the low two set, so OR-ing eight tags and masking tells whether any of
    // eight values holds a payload: one cheap pass over a block that usually
    // holds only scalars.
    static constexpr uint8_t kHeapTagBits = 0xFC;
    static bool group_has_heap(const Value* group) noexcept {
        uint8_t bits = 0;
        for (size_t i = 0; i < 8; ++i) bits |= static_cast<uint8_t>(group[i].tag_);
        return (bits & kHeapTagBits) != 0;
    }

    ValueType tag_;
    union {
        bool bool_;
        int64_t int_;
        double float_;
        Payload* payload_;
        uint64_t bits_;
    };
};

static_assert(sizeof(Value) == 16, "Value must stay a 16-byte record");

template <size_t N>
void Value::copy_block(Value* destination, const Value* source) noexcept {
    static_assert(N % 8 == 0);
    std::memcpy(static_cast<void*>(destination), static_cast<const void*>(source), N * sizeof(Value));
    for (size_t first = 0; first < N; first += 8) {
        if (!group_has_heap(source + first)) continue;
        for (size_t i = first; i < first + 8; ++i)
            if (source[i].is_heap()) source[i].add_reference();
    }
}

template <size_t N>
void Value::relocate_block(Value* destination, Value* source) noexcept {
    std::memcpy(static_cast<void*>(destination), static_cast<void*>(source), N * sizeof(Value));
}

template <size_t N>
void Value::replace_block(Value* destination, Value* source) noexcept {
    static_assert(N % 8 == 0);
    for (size_t first = 0; first < N; first += 8) {
        if (!group_has_heap(destination + first)) continue;
        for (size_t i = first; i < first + 8; ++i)
            if (destination[i].is_heap()) destination[i].release();
    }
    std::memcpy(static_cast<void*>(destination), static_cast<void*>(source), N * sizeof(Value));
}

struct ArrayObject : Payload {
    std::vector<Value> items;
    explicit ArrayObject(std::vector<Value> v) : items(std::move(v)) {}
};

inline const std::vector<Value>& Value::items() const { return static_cast<const ArrayObject*>(payload_)->items; }
inline std::vector<Value>& Value::unique_items() { return static_cast<ArrayObject*>(payload_)->items; }

// The bytes a heap payload accounts for under a memory limit: its object
// plus its contents (text bytes, elements, dictionary slots), measured by
// size, so the figure charged when it is made or grows is the figure
// refunded when it is freed. Keys and elements held by a container are
// payloads of their own.
uint64_t payload_footprint(ValueType type, const Payload* payload);
inline uint64_t footprint(const Value& value) {
    return value.is_heap() ? payload_footprint(value.type(), static_cast<const Payload*>(value.payload())) : 0;
}

// Truthiness: the boolean reading of a value.
bool is_truthy(const Value& value);

// Display text, the user-visible form ("[1, a, [2.5]]"). Works with an
// explicit stack, so any nesting depth is fine.
std::string display_text(const Value& value);
void append_display_text(std::string& out, const Value& value);
// The length of display_text(value) when it is at most `limit`, otherwise a
// number greater than `limit`; measured without building the text, at a cost
// bounded by the number of distinct payloads (values/rendered_length.hpp).
size_t display_length(const Value& value, size_t limit);

}  // namespace tarnel
