// The two error sets of the VM: execution errors (`VmError`) and loading
// errors (`LoadError`). Each kind is declared once below with its message
// template; `{0}` and `{1}` stand for the payload texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnel {

#define TARNEL_VM_ERRORS(X)                                              \
    X(TypeMismatch, "Type mismatch: expected {0}, found {1}")            \
    X(DivisionByZero, "Division by zero")                                \
    X(IntegerOverflow, "Integer overflow")                               \
    X(IndexOutOfBounds, "Index out of bounds: index {0} for length {1}") \
    X(UndefinedVariable, "Undefined variable: {0}")                      \
    X(UndefinedFunction, "Undefined function: {0}")                      \
    X(InvalidOperation, "Invalid operation: {0} on type {1}")            \
    X(InvalidComparison, "Invalid comparison: {0} and {1}")              \
    X(AssertionFailed, "Assertion failed: {0}")                          \
    X(StackOverflow, "Stack overflow")                                   \
    X(OutOfMemory, "Out of memory")                                      \
    X(InvalidRegister, "Invalid register: {0}")                          \
    X(InvalidConstantIndex, "Invalid constant index: {0}")               \
    X(InvalidInstruction, "Invalid instruction at PC {0}")               \
    X(InvalidBytecode, "Invalid bytecode")                               \
    X(ModuleNotLoaded, "Module not loaded")                              \
    X(InvalidOpcode, "Invalid opcode: {0}")                              \
    X(UnexpectedEndOfFile, "Unexpected end of file")

#define TARNEL_LOAD_ERRORS(X)                          \
    X(Io, "IO error: {0}")                             \
    X(InvalidMagic, "Invalid magic number")            \
    X(UnsupportedVersion, "Unsupported version: {0}")  \
    X(InvalidFormat, "Invalid bytecode format")        \
    X(MetadataHashMismatch, "Metadata hash mismatch")  \
    X(InvalidConstantTag, "Invalid constant tag: {0}") \
    X(InvalidOpcode, "Invalid opcode: {0}")            \
    X(InvalidOffset, "Invalid offset")                 \
    X(UnexpectedEof, "Unexpected EOF")                 \
    X(InvalidUtf8, "Invalid UTF-8")

#define TARNEL_ENUM_ENTRY(kind, message) kind,
enum class VmErrorKind : uint8_t { TARNEL_VM_ERRORS(TARNEL_ENUM_ENTRY) };
enum class LoadErrorKind : uint8_t { TARNEL_LOAD_ERRORS(TARNEL_ENUM_ENTRY) };
#undef TARNEL_ENUM_ENTRY

// An execution error. The payload is kept as the (at most two) texts that the
// message inserts, already formatted by the producer; numbers are formatted
// in decimal. Errors are built only when raised, so none of this costs
// anything on the path that succeeds.
struct VmError {
    VmErrorKind kind;
    std::string first;
    std::string second;

    std::string message() const;
    bool operator==(const VmError&) const = default;

    static VmError type_mismatch(std::string expected, std::string found);
    static VmError division_by_zero();
    static VmError integer_overflow();
    static VmError index_out_of_bounds(int64_t index, uint64_t length);
    static VmError undefined_function(std::string name);
    static VmError invalid_operation(std::string operation, std::string type_name);
    static VmError invalid_comparison(std::string left, std::string right);
    static VmError assertion_failed(std::string text);
    static VmError stack_overflow();
    static VmError out_of_memory();
    static VmError invalid_constant_index(uint16_t index);
    static VmError module_not_loaded();
    static VmError of(VmErrorKind kind, std::string first = {}, std::string second = {});
};

struct LoadError {
    LoadErrorKind kind;
    std::string detail;

    std::string message() const;
    bool operator==(const LoadError&) const = default;

    static LoadError of(LoadErrorKind kind, std::string detail = {}) { return {kind, std::move(detail)}; }
    // "IO error: " + the system's description of errno `code` + " (os error N)".
    static LoadError io_errno(int code);
    static LoadError unexpected_eof() { return {LoadErrorKind::UnexpectedEof, {}}; }
};

// The name of each kind, as written in the declarations above.
std::string_view kind_name(VmErrorKind kind);
std::string_view kind_name(LoadErrorKind kind);

// Description of an operating-system error number, as strerror_r gives it,
// followed by " (os error N)".
std::string os_error_text(int code);

}  // namespace tarnel
