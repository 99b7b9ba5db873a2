// Type casts and the assertion test.
#pragma once

#include "values/assert_type.hpp"
#include "values/errors.hpp"
#include "values/result.hpp"
#include "values/value.hpp"

namespace tarnel {

// CastR: converts `value` to the tag `target` or fails with TypeMismatch.
Result<Value, VmError> cast_value(const Value& value, ValueType target);

// AssertR's test: whether `value` satisfies `condition`.
bool assertion_holds(const Value& value, const AssertType& condition);

}  // namespace tarnel
