#include "vm/trace.hpp"

#include "diagnostics/debug_form.hpp"
#include "values/float_text.hpp"

namespace tarnel::trace {

std::string fetch_line(uint64_t index, const Instruction& instruction) {
    std::string line = "PC: " + std::to_string(index) + ", Instruction: ";
    append_debug_form(line, instruction);
    return line;
}

std::string load_const_line(uint8_t dst, uint16_t const_idx, const Value& value) {
    std::string line = "  LoadConstR: r" + std::to_string(dst) + " = constants[" + std::to_string(const_idx) + "] = ";
    append_debug_form(line, value);
    return line;
}

std::string lte_line(uint8_t dst, uint8_t left, const Value& left_value, uint8_t right, const Value& right_value) {
    std::string line = "  LteR: r" + std::to_string(dst) + " = r" + std::to_string(left) + " (";
    append_debug_form(line, left_value);
    line += ") <= r" + std::to_string(right) + " (";
    append_debug_form(line, right_value);
    line += ")";
    return line;
}

std::string lte_result_line(bool result) { return std::string("    Result: ") + (result ? "true" : "false"); }

std::string call_line(uint8_t func, uint8_t dst, const std::vector<uint8_t>& args) {
    std::string line = "CallR: func=r" + std::to_string(func) + ", dst=r" + std::to_string(dst) + ", args=[";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) line += ", ";
        line += std::to_string(args[i]);
    }
    line += "]";
    return line;
}

std::string call_arg_line(size_t position, uint8_t reg, const Value& value) {
    std::string line = "  arg[" + std::to_string(position) + "]: r" + std::to_string(reg) + " = ";
    append_debug_form(line, value);
    return line;
}

std::string call_set_line(size_t position, const Value& value, uint8_t from) {
    std::string line = "  Set r" + std::to_string(position) + " = ";
    append_debug_form(line, value);
    line += " (from r" + std::to_string(from) + ")";
    return line;
}

std::string breakpoint_line(uint64_t index) { return "BREAKPOINT at PC: " + std::to_string(index); }

bool debug_print_text(std::string& out, const Value& value, bool debug) {
    if (debug) {
        out += "DEBUG: ";
        append_debug_form(out, value);
        return true;
    }
    switch (value.type()) {
        case ValueType::Empty:
            return false;
        case ValueType::Bool:
            out += value.as_bool() ? "true" : "false";
            return true;
        case ValueType::Int:
            out += std::to_string(value.as_int());
            return true;
        case ValueType::Float:
            append_float_shortest_fixed(out, value.as_float());
            return true;
        case ValueType::String:
            out += value.text();
            return true;
        default:
            append_debug_form(out, value);
            return true;
    }
}

}  // namespace tarnel::trace
