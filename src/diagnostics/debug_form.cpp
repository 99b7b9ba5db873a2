#include "diagnostics/debug_form.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "diagnostics/unicode_tables.hpp"
#include "values/container_walk.hpp"
#include "values/dict_map.hpp"
#include "values/float_text.hpp"
#include "values/rendered_length.hpp"
#include "values/work_checkpoint.hpp"

namespace tarnel {
namespace {

template <class Integer>
void append_integer(std::string& out, Integer value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// ---------------------------------------------------------------------------
// Instructions
//
// Operands are rendered in declared order, each read from the slot its row
// in TARNEL_INSTRUCTIONS gives it.

const OperandLists& lists_of(const Instruction& instruction) {
    static const OperandLists kNoLists;
    return instruction.lists ? *instruction.lists : kNoLists;
}

// ---------------------------------------------------------------------------
// Strings

struct DecodedChar {
    char32_t code_point;
    size_t length;  // bytes consumed
    bool valid;
};

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes the UTF-8 sequence at text[i]. Strings in the VM are valid UTF-8;
// a malformed byte is still consumed (alone) and reported as invalid.
DecodedChar decode_utf8(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const size_t remaining = text.size() - i;
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1, true};
    if (lead >= 0xC2 && lead <= 0xDF && remaining >= 2 && is_continuation(byte(1)))
        return {static_cast<char32_t>(((lead & 0x1F) << 6) | (byte(1) & 0x3F)), 2, true};
    if (lead >= 0xE0 && lead <= 0xEF && remaining >= 3 && is_continuation(byte(1)) && is_continuation(byte(2))) {
        const char32_t c = ((lead & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
        if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) return {c, 3, true};
    }
    if (lead >= 0xF0 && lead <= 0xF4 && remaining >= 4 && is_continuation(byte(1)) && is_continuation(byte(2)) &&
        is_continuation(byte(3))) {
        const char32_t c =
            ((lead & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
        if (c >= 0x10000 && c <= 0x10FFFF) return {c, 4, true};
    }
    return {0xFFFD, 1, false};
}

void append_unicode_escape(std::string& out, char32_t c) {
    char buffer[8];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint32_t>(c), 16);
    out += "\\u{";
    out.append(buffer, result.ptr);
    out += '}';
}

// ---------------------------------------------------------------------------
// Values

void append_function_ref(std::string& out, const FunctionRef& function) {
    out += "FunctionRef { chunk_index: ";
    append_integer(out, function.chunk_index);
    out += ", arity: ";
    append_integer(out, function.arity);
    out += ", name: ";
    append_debug_string(out, function.name);
    out += " }";
}

// Everything but Array and Dict.
void append_leaf(std::string& out, const Value& value) {
    switch (value.type()) {
        case ValueType::Empty:
            out += "Empty";
            return;
        case ValueType::Bool:
            out += value.as_bool() ? "Bool(true)" : "Bool(false)";
            return;
        case ValueType::Int:
            out += "Int(";
            append_integer(out, value.as_int());
            break;
        case ValueType::Float:
            out += "Float(";
            append_debug_float(out, value.as_float());
            break;
        case ValueType::String:
            out += "String(";
            append_debug_string(out, value.text());
            break;
        case ValueType::URL:
            out += "URL(";
            append_debug_string(out, value.text());
            break;
        case ValueType::Function:
            out += "Function(";
            append_function_ref(out, value.function_ref());
            break;
        default:
            return;
    }
    out += ')';
}

// One open container during the walk: the next element (Array) or slot
// (Dict) to visit, and whether an item has been written yet.
struct OpenContainer {
    const Value* container;
    size_t next;
    bool wrote_item;
};

}  // namespace

void append_debug_form(std::string& out, const Instruction& instruction) {
    const InstructionInfo& row = info(instruction.op);
    out += row.name;
    const size_t count = row.operand_count();
    if (count == 0) return;
    out += " { ";
    for (size_t i = 0; i < count; ++i) {
        const OperandSpec& op = row.operands[i];
        if (i != 0) out += ", ";
        out += op.name;
        out += ": ";
        switch (op.kind) {
            case OperandKind::Reg:
                append_integer(out, instruction.reg(op.slot));
                break;
            case OperandKind::U16:
                append_integer(out, instruction.index());
                break;
            case OperandKind::Offset:
                append_integer(out, instruction.offset());
                break;
            case OperandKind::OptReg:
                if (instruction.has_src()) {
                    out += "Some(";
                    append_integer(out, instruction.reg(op.slot));
                    out += ')';
                } else {
                    out += "None";
                }
                break;
            case OperandKind::Args: {
                out += '[';
                bool first = true;
                for (uint8_t reg : lists_of(instruction).args) {
                    if (!first) out += ", ";
                    first = false;
                    append_integer(out, reg);
                }
                out += ']';
                break;
            }
            case OperandKind::Sources: {
                out += '[';
                bool first = true;
                for (const PhiSource& source : lists_of(instruction).sources) {
                    if (!first) out += ", ";
                    first = false;
                    out += '(';
                    append_integer(out, source.reg);
                    out += ", ";
                    append_integer(out, source.label);
                    out += ')';
                }
                out += ']';
                break;
            }
            case OperandKind::Assert:
                append_debug_form(out, lists_of(instruction).assert_type);
                break;
        }
    }
    out += " }";
}

void append_debug_form(std::string& out, const Value& root) {
    // Containers are walked with an explicit stack so that nesting depth is
    // bounded by memory, not by the call stack.
    std::vector<OpenContainer> stack;
    const auto open = [&](const Value& value) {
        if (value.is(ValueType::Array)) {
            out += "Array([";
            stack.push_back({&value, 0, false});
        } else if (value.is(ValueType::Dict)) {
            out += "Dict({";
            stack.push_back({&value, 0, false});
        } else {
            append_leaf(out, value);
        }
    };
    open(root);
    while (!stack.empty()) {
        OpenContainer& top = stack.back();
        const bool is_array = top.container->is(ValueType::Array);
        const Value* key = nullptr;
        const Value* child = next_child(*top.container, top.next, key);
        if (child == nullptr) {
            out += is_array ? "])" : "})";
            stack.pop_back();
            continue;
        }
        count_work(1);  // a debug print or trace line of a huge container
        if (top.wrote_item) out += ", ";
        top.wrote_item = true;
        if (key != nullptr) {
            append_debug_string(out, key->text());
            out += ": ";
        }
        open(*child);  // may reallocate the stack; `top` is not used after this
    }
}

size_t debug_form_length(const Value& value, size_t limit) {
    std::string scratch;
    const auto leaf = [&](const Value& v) {
        scratch.clear();
        append_leaf(scratch, v);
        return scratch.size();
    };
    const auto key = [&](const Value& k) {
        scratch.clear();
        append_debug_string(scratch, k.text());
        return scratch.size();
    };
    return rendered_length(value, limit, RenderedShape{9, 8, 2, 2}, leaf, key);
}

void append_debug_form(std::string& out, const FunctionRef& function) { append_function_ref(out, function); }

void append_debug_form(std::string& out, ValueType type) { out += debug_name(type); }

void append_debug_form(std::string& out, const AssertType& condition) {
    switch (condition.kind) {
        case AssertType::Kind::True:
            out += "True";
            break;
        case AssertType::Kind::NonNull:
            out += "NonNull";
            break;
        case AssertType::Kind::Range:
            out += "Range { min: ";
            append_integer(out, condition.min);
            out += ", max: ";
            append_integer(out, condition.max);
            out += " }";
            break;
    }
}

void append_debug_string(std::string& out, std::string_view text) {
    out += '"';
    size_t i = 0;
    while (i < text.size()) {
        const DecodedChar ch = decode_utf8(text, i);
        switch (ch.code_point) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (ch.code_point >= 0x20 && ch.code_point < 0x7F) {
                    out += static_cast<char>(ch.code_point);
                } else if (!ch.valid) {
                    out += "\xEF\xBF\xBD";  // U+FFFD in place of a malformed byte
                } else if (unicode::is_grapheme_extend(ch.code_point) || unicode::is_not_printable(ch.code_point)) {
                    append_unicode_escape(out, ch.code_point);
                } else {
                    out.append(text.substr(i, ch.length));
                }
                break;
        }
        i += ch.length;
    }
    out += '"';
}

void append_debug_float(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return;
    }

    const ShortestDigits shortest = shortest_digits(x);
    const bool negative = shortest.negative;
    const char* digits = shortest.digits;
    const size_t digit_count = shortest.count;
    const int exponent = shortest.exponent;

    if (negative) out += '-';
    const double magnitude = std::fabs(x);
    if (magnitude >= 1e16 || (magnitude != 0 && magnitude < 1e-4)) {
        out += digits[0];
        if (digit_count > 1) {
            out += '.';
            out.append(digits + 1, digit_count - 1);
        }
        out += 'e';
        append_integer(out, exponent);
        return;
    }
    // Positional, at least one digit on each side of the point. Here
    // -5 <= exponent <= 15 and digit_count <= 17.
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out.append(digits, digit_count);
        return;
    }
    const size_t integer_digits = static_cast<size_t>(exponent) + 1;
    if (digit_count <= integer_digits) {
        out.append(digits, digit_count);
        out.append(integer_digits - digit_count, '0');
        out += ".0";
    } else {
        out.append(digits, integer_digits);
        out += '.';
        out.append(digits + integer_digits, digit_count - integer_digits);
    }
}

}  // namespace tarnel
