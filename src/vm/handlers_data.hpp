// Strings, arrays, dictionaries, assertions, scopes and diagnostic output.
//
// Containers are values: an update writes a new container into the
// container's own register while every other holder keeps the old one. The
// copy-on-write accessors make that an in-place change whenever the register
// is the payload's only holder, so building an n-element array or n-key map
// costs O(n) in total.
#pragma once

#include <charconv>

#include "values/dict_map.hpp"
#include "values/operations.hpp"
#include "vm/exec_context.hpp"
#include "vm/limits.hpp"
#include "vm/trace.hpp"

namespace tarnel::handlers {

inline Status mismatch(ExecContext& c, const char* expected, const Value& found) {
    return c.fail(VmError::type_mismatch(expected, std::string(type_name(found.type()))));
}

// ---- strings ----------------------------------------------------------------

// ConcatStrR of a string and an integer, the usual way to build keys and
// messages: one buffer, the digits written straight into it.
inline Value join_string_and_int(std::string_view text, int64_t number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    std::string joined;
    joined.reserve(text.size() + static_cast<size_t>(end - digits));
    joined.append(text);
    joined.append(digits, end);
    return Value::string(std::move(joined));
}

template <bool Debug>
TARNEL_HANDLER Status op_ConcatStrR(ExecContext& c, const Instruction& ins) {
    if (append_in_place(c, ins)) return Status::Next;
    const Value& left = c.reg(ins.b);
    const Value& right = c.reg(ins.c);
    if (left.is(ValueType::String) && right.is(ValueType::Int) && left.text().size() <= kMaxTextLength - 24) {
        c.s.write_register(ins.a, join_string_and_int(left.text(), right.as_int()));
        return Status::Next;
    }
    if (!display_texts_fit(left, right)) return c.fail(VmError::out_of_memory());
    c.s.write_register(ins.a, ops::join_text(left, right));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_StrLenR(ExecContext& c, const Instruction& ins) {
    const Value& text = c.reg(ins.b);
    if (!text.is(ValueType::String)) return mismatch(c, "string", text);
    c.set_int(ins.a, static_cast<int64_t>(text.text().size()));
    return Status::Next;
}

// ---- arrays -------------------------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_NewArrayR(ExecContext& c, const Instruction& ins) {
    const Value& size = c.reg(ins.b);
    if (!size.is(ValueType::Int)) return mismatch(c, "integer", size);
    int64_t n = size.as_int();
    if (n < 0) return c.fail(VmError::invalid_operation("create array", "negative size: " + std::to_string(n)));
    if (static_cast<uint64_t>(n) > max_array_length()) return c.fail(VmError::out_of_memory());
    c.s.write_register(ins.a, Value::array(std::vector<Value>(static_cast<size_t>(n))));
    return Status::Next;
}

// Checks `array` and `index` in order; on success `position` is the element.
TARNEL_HANDLER bool check_element(ExecContext& c, const Value& array, const Value& index, size_t& position) {
    if (!array.is(ValueType::Array)) {
        mismatch(c, "array", array);
        return false;
    }
    if (!index.is(ValueType::Int)) {
        mismatch(c, "integer index", index);
        return false;
    }
    int64_t i = index.as_int();
    size_t length = array.items().size();
    if (i < 0 || static_cast<uint64_t>(i) >= length) {
        c.fail(VmError::index_out_of_bounds(i, length));
        return false;
    }
    position = static_cast<size_t>(i);
    return true;
}

template <bool Debug>
TARNEL_HANDLER Status op_ArrayGetR(ExecContext& c, const Instruction& ins) {
    const Value& array = c.reg(ins.b);
    size_t position;
    if (!check_element(c, array, c.reg(ins.c), position)) return Status::Error;
    c.s.write_register(ins.a, array.items()[position]);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_ArraySetR(ExecContext& c, const Instruction& ins) {
    Value element = c.reg(ins.c);  // copied first, before the array is touched
    Value& array = c.reg(ins.a);
    size_t position;
    if (!check_element(c, array, c.reg(ins.b), position)) return Status::Error;
    array.mutable_items()[position] = std::move(element);
    c.s.register_types[ins.a] = ValueType::Array;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_ArrayLenR(ExecContext& c, const Instruction& ins) {
    const Value& array = c.reg(ins.b);
    if (!array.is(ValueType::Array)) return mismatch(c, "array", array);
    c.set_int(ins.a, static_cast<int64_t>(array.items().size()));
    return Status::Next;
}

// ---- dictionaries ---------------------------------------------------------------

TARNEL_HANDLER bool check_dict(ExecContext& c, const Value& dict) {
    if (dict.is(ValueType::Dict)) return true;
    mismatch(c, "dict", dict);
    return false;
}

TARNEL_HANDLER bool check_dict_key(ExecContext& c, const Value& dict, const Value& key) {
    if (!check_dict(c, dict)) return false;
    if (key.is(ValueType::String)) return true;
    mismatch(c, "string key", key);
    return false;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictNewR(ExecContext& c, const Instruction& ins) {
    c.s.write_register(ins.a, Value::dict());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictGetR(ExecContext& c, const Instruction& ins) {
    const Value& dict = c.reg(ins.b);
    const Value& key = c.reg(ins.c);
    if (!check_dict_key(c, dict, key)) return Status::Error;
    const Value* found = dict.entries().find(key.text());
    c.s.write_register(ins.a, found ? *found : Value());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictSetR(ExecContext& c, const Instruction& ins) {
    Value entry = c.reg(ins.c);  // copied first, before the map is touched
    Value& dict = c.reg(ins.a);
    const Value& key = c.reg(ins.b);
    if (!check_dict_key(c, dict, key)) return Status::Error;
    dict.mutable_entries().set(key, std::move(entry));
    c.s.register_types[ins.a] = ValueType::Dict;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictRemoveR(ExecContext& c, const Instruction& ins) {
    Value& dict = c.reg(ins.a);
    const Value& key = c.reg(ins.b);
    if (!check_dict_key(c, dict, key)) return Status::Error;
    if (dict.entries().contains(key.text())) dict.mutable_entries().remove(key.text());
    c.s.register_types[ins.a] = ValueType::Dict;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictContainsR(ExecContext& c, const Instruction& ins) {
    const Value& dict = c.reg(ins.b);
    const Value& key = c.reg(ins.c);
    if (!check_dict_key(c, dict, key)) return Status::Error;
    c.set_bool(ins.a, dict.entries().contains(key.text()));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictKeysR(ExecContext& c, const Instruction& ins) {
    const Value& dict = c.reg(ins.b);
    if (!check_dict(c, dict)) return Status::Error;
    std::vector<Value> keys;
    keys.reserve(dict.entries().size());
    dict.entries().for_each([&](const Value& key, const Value&) { keys.push_back(key); });
    c.s.write_register(ins.a, Value::array(std::move(keys)));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictValuesR(ExecContext& c, const Instruction& ins) {
    const Value& dict = c.reg(ins.b);
    if (!check_dict(c, dict)) return Status::Error;
    std::vector<Value> values;
    values.reserve(dict.entries().size());
    dict.entries().for_each([&](const Value&, const Value& value) { values.push_back(value); });
    c.s.write_register(ins.a, Value::array(std::move(values)));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictClearR(ExecContext& c, const Instruction& ins) {
    if (!check_dict(c, c.reg(ins.a))) return Status::Error;
    c.s.write_register(ins.a, Value::dict());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictLenR(ExecContext& c, const Instruction& ins) {
    const Value& dict = c.reg(ins.b);
    if (!check_dict(c, dict)) return Status::Error;
    c.set_int(ins.a, static_cast<int64_t>(dict.entries().size()));
    return Status::Next;
}

// ---- assertions and scopes ---------------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_AssertR(ExecContext& c, const Instruction& ins) {
    if (assertion_holds(c.reg(ins.a), ins.assert_type())) return Status::Next;
    uint16_t msg_idx = ins.index();
    if (msg_idx < c.s.constants.size() && c.s.constants[msg_idx].is_string())
        return c.fail(VmError::assertion_failed(c.s.constants[msg_idx].text));
    return c.fail(VmError::invalid_constant_index(msg_idx));
}

template <bool Debug>
TARNEL_HANDLER Status op_ScopeEnterR(ExecContext& c, const Instruction& ins) {
    c.s.scope_stack.push_back(ins.index());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_ScopeExitR(ExecContext& c, const Instruction& ins) {
    if (!c.s.scope_stack.empty() && c.s.scope_stack.back() == ins.index()) c.s.scope_stack.pop_back();
    return Status::Next;
}

// ---- diagnostic output ------------------------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_DebugPrint(ExecContext& c, const Instruction& ins) {
    // Outside debug mode scalars and strings print as their own (bounded)
    // text; everything else prints its debug form, measured first.
    const Value& value = c.reg(ins.a);
    const bool plain = !Debug && value.type() <= ValueType::String;
    if (!plain && !debug_form_fits(value)) return c.fail(VmError::out_of_memory());
    std::string line;
    if (!trace::debug_print_text(line, c.reg(ins.a), Debug)) return Status::Next;
    return c.emit(std::move(line));
}

template <bool Debug>
TARNEL_HANDLER Status op_BreakPoint(ExecContext& c, const Instruction&) {
    if (!Debug) return Status::Next;
    return c.emit(trace::breakpoint_line(c.s.pc - 1));
}

}  // namespace tarnel::handlers
