// The operations behind the arithmetic, comparison, logic and text-joining
// instructions. Each reads its operands and returns a new value or an error;
// none has any other effect. The engine inlines fast paths for the common
// scalar cases and calls these for everything else.
#pragma once

#include "values/errors.hpp"
#include "values/result.hpp"
#include "values/value.hpp"

namespace tarnel::ops {

Result<Value, VmError> add(const Value& left, const Value& right);
Result<Value, VmError> subtract(const Value& left, const Value& right);
Result<Value, VmError> multiply(const Value& left, const Value& right);
Result<Value, VmError> divide(const Value& left, const Value& right);
Result<Value, VmError> remainder(const Value& left, const Value& right);
Result<Value, VmError> negate(const Value& operand);

// Equality across kinds; arrays and maps element by element, any depth.
bool equals(const Value& left, const Value& right);

// left < right and left <= right; GtR and GteR swap the operands.
Result<bool, VmError> less_than(const Value& left, const Value& right);
Result<bool, VmError> less_equal(const Value& left, const Value& right);

// ConcatStrR: both strings joined, otherwise both display texts joined.
Value join_text(const Value& left, const Value& right);

}  // namespace tarnel::ops
