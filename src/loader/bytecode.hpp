// The module file decoder: bytes of a module file in, a Module or the first
// LoadError out. Never reads past the buffer and never allocates more than
// the remaining bytes could describe.
#pragma once

#include <cstdint>
#include <span>

#include "loader/module.hpp"
#include "values/errors.hpp"
#include "values/result.hpp"

namespace tarnel {

Result<Module, LoadError> decode_module(std::span<const uint8_t> bytes);

// Whether `bytes` is well-formed UTF-8 (RFC 3629).
bool is_valid_utf8(std::span<const uint8_t> bytes);

}  // namespace tarnel
