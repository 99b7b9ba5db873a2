// Strings, arrays, dictionaries, assertions, scopes and diagnostic output.
//
// Containers are values: an update writes a new container into the
// container's own register while every other holder keeps the old one. The
// copy-on-write accessors make that an in-place change whenever the register
// is the payload's only holder, so building an n-element array or n-key map
// costs O(n) in total.
#pragma once

#include <algorithm>
#include <charconv>

#include "values/casts.hpp"
#include "values/dict_map.hpp"
#include "values/memory_meter.hpp"
#include "values/operations.hpp"
#include "values/work_checkpoint.hpp"
#include "vm/exec_context.hpp"
#include "vm/in_place_append.hpp"
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
TARNEL_HANDLER Status op_ConcatStrR(ExecContext& c, Operands<Opcode::ConcatStrR> ins) {
    if (append_in_place(c, ins)) return Status::Next;
    const Value& left = c.reg(ins.left());
    const Value& right = c.reg(ins.right());
    if (left.is(ValueType::String) && right.is(ValueType::Int) && left.text().size() <= kMaxTextLength - 24) {
        c.s.write_register(ins.dst(), join_string_and_int(left.text(), right.as_int()));
        return Status::Next;
    }
    if (!display_texts_fit(left, right)) return c.fail(VmError::out_of_memory());
    c.s.write_register(ins.dst(), ops::join_text(left, right));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_StrLenR(ExecContext& c, Operands<Opcode::StrLenR> ins) {
    const Value& text = c.reg(ins.str_reg());
    if (!text.is(ValueType::String)) return mismatch(c, "string", text);
    c.set_int(ins.dst(), static_cast<int64_t>(text.text().size()));
    return Status::Next;
}

// ---- arrays -------------------------------------------------------------------

// n Empty elements, checked against a memory limit before anything is
// allocated and filled in chunks with checkpoints between them.
inline std::vector<Value> empty_elements(size_t n) {
    require_memory(sizeof(ArrayObject) + n * sizeof(Value));
    std::vector<Value> items;
    items.reserve(n);
    while (items.size() < n) {
        items.resize(std::min(n, items.size() + kWorkChunk));
        if (items.size() < n) work_checkpoint();
    }
    return items;
}

template <bool Debug>
TARNEL_HANDLER Status op_NewArrayR(ExecContext& c, Operands<Opcode::NewArrayR> ins) {
    const Value& size = c.reg(ins.size());
    if (!size.is(ValueType::Int)) return mismatch(c, "integer", size);
    int64_t n = size.as_int();
    if (n < 0) return c.fail(VmError::invalid_operation("create array", "negative size: " + std::to_string(n)));
    if (static_cast<uint64_t>(n) > max_array_length()) return c.fail(VmError::out_of_memory());
    c.s.write_register(ins.dst(), Value::array(empty_elements(static_cast<size_t>(n))));
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
TARNEL_HANDLER Status op_ArrayGetR(ExecContext& c, Operands<Opcode::ArrayGetR> ins) {
    const Value& array = c.reg(ins.array());
    size_t position;
    if (!check_element(c, array, c.reg(ins.index()), position)) return Status::Error;
    c.s.write_register(ins.dst(), array.items()[position]);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_ArraySetR(ExecContext& c, Operands<Opcode::ArraySetR> ins) {
    Value element = c.reg(ins.value());  // copied first, before the array is touched
    Value& array = c.reg(ins.array());
    size_t position;
    if (!check_element(c, array, c.reg(ins.index()), position)) return Status::Error;
    array.mutable_items()[position] = std::move(element);
    c.s.register_types[ins.array()] = ValueType::Array;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_ArrayLenR(ExecContext& c, Operands<Opcode::ArrayLenR> ins) {
    const Value& array = c.reg(ins.array());
    if (!array.is(ValueType::Array)) return mismatch(c, "array", array);
    c.set_int(ins.dst(), static_cast<int64_t>(array.items().size()));
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
TARNEL_HANDLER Status op_DictNewR(ExecContext& c, Operands<Opcode::DictNewR> ins) {
    c.s.write_register(ins.dst(), Value::dict());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictGetR(ExecContext& c, Operands<Opcode::DictGetR> ins) {
    const Value& dict = c.reg(ins.dict());
    const Value& key = c.reg(ins.key());
    if (!check_dict_key(c, dict, key)) return Status::Error;
    const Value* found = dict.entries().find(key.text());
    c.s.write_register(ins.dst(), found ? *found : Value());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictSetR(ExecContext& c, Operands<Opcode::DictSetR> ins) {
    Value entry = c.reg(ins.value());  // copied first, before the map is touched
    Value& dict = c.reg(ins.dict());
    const Value& key = c.reg(ins.key());
    if (!check_dict_key(c, dict, key)) return Status::Error;
    dict.mutable_entries().set(key, std::move(entry));
    c.s.register_types[ins.dict()] = ValueType::Dict;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictRemoveR(ExecContext& c, Operands<Opcode::DictRemoveR> ins) {
    Value& dict = c.reg(ins.dict());
    const Value& key = c.reg(ins.key());
    if (!check_dict_key(c, dict, key)) return Status::Error;
    if (dict.entries().contains(key.text())) dict.mutable_entries().remove(key.text());
    c.s.register_types[ins.dict()] = ValueType::Dict;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictContainsR(ExecContext& c, Operands<Opcode::DictContainsR> ins) {
    const Value& dict = c.reg(ins.dict());
    const Value& key = c.reg(ins.key());
    if (!check_dict_key(c, dict, key)) return Status::Error;
    c.set_bool(ins.dst(), dict.entries().contains(key.text()));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictKeysR(ExecContext& c, Operands<Opcode::DictKeysR> ins) {
    const Value& dict = c.reg(ins.dict());
    if (!check_dict(c, dict)) return Status::Error;
    std::vector<Value> keys;
    require_memory(sizeof(ArrayObject) + dict.entries().size() * sizeof(Value));
    keys.reserve(dict.entries().size());
    dict.entries().for_each([&](const Value& key, const Value&) {
        keys.push_back(key);
        if (keys.size() % kWorkChunk == 0) work_checkpoint();
    });
    c.s.write_register(ins.dst(), Value::array(std::move(keys)));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictValuesR(ExecContext& c, Operands<Opcode::DictValuesR> ins) {
    const Value& dict = c.reg(ins.dict());
    if (!check_dict(c, dict)) return Status::Error;
    std::vector<Value> values;
    require_memory(sizeof(ArrayObject) + dict.entries().size() * sizeof(Value));
    values.reserve(dict.entries().size());
    dict.entries().for_each([&](const Value&, const Value& value) {
        values.push_back(value);
        if (values.size() % kWorkChunk == 0) work_checkpoint();
    });
    c.s.write_register(ins.dst(), Value::array(std::move(values)));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictClearR(ExecContext& c, Operands<Opcode::DictClearR> ins) {
    if (!check_dict(c, c.reg(ins.dict()))) return Status::Error;
    c.s.write_register(ins.dict(), Value::dict());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_DictLenR(ExecContext& c, Operands<Opcode::DictLenR> ins) {
    const Value& dict = c.reg(ins.dict());
    if (!check_dict(c, dict)) return Status::Error;
    c.set_int(ins.dst(), static_cast<int64_t>(dict.entries().size()));
    return Status::Next;
}

// ---- assertions and scopes ---------------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_AssertR(ExecContext& c, Operands<Opcode::AssertR> ins) {
    if (assertion_holds(c.reg(ins.reg()), ins.assert_type())) return Status::Next;
    uint16_t msg_idx = ins.msg_idx();
    if (msg_idx < c.s.constants.size() && c.s.constants[msg_idx].is_string())
        return c.fail(VmError::assertion_failed(c.s.constants[msg_idx].text()));
    return c.fail(VmError::invalid_constant_index(msg_idx));
}

template <bool Debug>
TARNEL_HANDLER Status op_ScopeEnterR(ExecContext& c, Operands<Opcode::ScopeEnterR> ins) {
    c.s.scope_stack.push_back(ins.scope_id());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_ScopeExitR(ExecContext& c, Operands<Opcode::ScopeExitR> ins) {
    if (!c.s.scope_stack.empty() && c.s.scope_stack.back() == ins.scope_id()) c.s.scope_stack.pop_back();
    return Status::Next;
}

// ---- diagnostic output ------------------------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_DebugPrint(ExecContext& c, Operands<Opcode::DebugPrint> ins) {
    // Outside debug mode scalars and strings print as their own (bounded)
    // text; everything else prints its debug form, measured first.
    const Value& value = c.reg(ins.src());
    const bool plain = !Debug && value.type() <= ValueType::String;
    if (!plain && !debug_form_fits(value)) return c.fail(VmError::out_of_memory());
    std::string line;
    if (!trace::debug_print_text(line, c.reg(ins.src()), Debug)) return Status::Next;
    return c.emit(std::move(line));
}

template <bool Debug>
TARNEL_HANDLER Status op_BreakPoint(ExecContext& c, Operands<Opcode::BreakPoint>) {
    if (!Debug) return Status::Next;
    return c.emit(trace::breakpoint_line(c.s.pc - 1));
}

}  // namespace tarnel::handlers
