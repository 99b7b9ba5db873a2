// The text of the debug trace lines and of DebugPrint / BreakPoint output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loader/instruction.hpp"
#include "values/value.hpp"

namespace tarnel::trace {

std::string fetch_line(uint64_t index, const Instruction& instruction);
std::string load_const_line(uint8_t dst, uint16_t const_idx, const Value& value);
std::string lte_line(uint8_t dst, uint8_t left, const Value& left_value, uint8_t right, const Value& right_value);
std::string lte_result_line(bool result);
std::string call_line(uint8_t func, uint8_t dst, const std::vector<uint8_t>& args);
std::string call_arg_line(size_t position, uint8_t reg, const Value& value);
std::string call_set_line(size_t position, const Value& value, uint8_t from);
std::string breakpoint_line(uint64_t index);
// DebugPrint: "DEBUG: " and the debug form in debug mode; otherwise the
// plain text by kind. Returns false when nothing is printed (Empty, quiet).
bool debug_print_text(std::string& out, const Value& value, bool debug);

}  // namespace tarnel::trace
