#include "values/errors.hpp"

#include <cstring>

namespace tarnel {
namespace {

#define TARNEL_TEMPLATE_ENTRY(kind, message) std::string_view(message),
constexpr std::string_view kVmTemplates[] = {TARNEL_VM_ERRORS(TARNEL_TEMPLATE_ENTRY)};
constexpr std::string_view kLoadTemplates[] = {TARNEL_LOAD_ERRORS(TARNEL_TEMPLATE_ENTRY)};
#undef TARNEL_TEMPLATE_ENTRY

#define TARNEL_NAME_ENTRY(kind, message) std::string_view(#kind),
constexpr std::string_view kVmNames[] = {TARNEL_VM_ERRORS(TARNEL_NAME_ENTRY)};
constexpr std::string_view kLoadNames[] = {TARNEL_LOAD_ERRORS(TARNEL_NAME_ENTRY)};
#undef TARNEL_NAME_ENTRY

// Replaces the placeholders "{0}" and "{1}" of a message template.
std::string fill_template(std::string_view pattern, const std::string& first, const std::string& second) {
    std::string out;
    out.reserve(pattern.size() + first.size() + second.size());
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 2 < pattern.size() && pattern[i + 2] == '}') {
            out += pattern[i + 1] == '0' ? first : second;
            i += 2;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

// glibc exposes the GNU strerror_r (returns char*) under _GNU_SOURCE; the XSI
// one returns int. Both overloads make either variant compile.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
    return status == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string VmError::message() const { return fill_template(kVmTemplates[static_cast<size_t>(kind)], first, second); }

std::string LoadError::message() const { return fill_template(kLoadTemplates[static_cast<size_t>(kind)], detail, {}); }

std::string_view kind_name(VmErrorKind kind) { return kVmNames[static_cast<size_t>(kind)]; }
std::string_view kind_name(LoadErrorKind kind) { return kLoadNames[static_cast<size_t>(kind)]; }

VmError VmError::of(VmErrorKind kind, std::string first, std::string second) {
    return {kind, std::move(first), std::move(second)};
}
VmError VmError::type_mismatch(std::string expected, std::string found) {
    return of(VmErrorKind::TypeMismatch, std::move(expected), std::move(found));
}
VmError VmError::division_by_zero() { return of(VmErrorKind::DivisionByZero); }
VmError VmError::integer_overflow() { return of(VmErrorKind::IntegerOverflow); }
VmError VmError::index_out_of_bounds(int64_t index, uint64_t length) {
    return of(VmErrorKind::IndexOutOfBounds, std::to_string(index), std::to_string(length));
}
VmError VmError::undefined_function(std::string name) { return of(VmErrorKind::UndefinedFunction, std::move(name)); }
VmError VmError::invalid_operation(std::string operation, std::string type_name) {
    return of(VmErrorKind::InvalidOperation, std::move(operation), std::move(type_name));
}
VmError VmError::invalid_comparison(std::string left, std::string right) {
    return of(VmErrorKind::InvalidComparison, std::move(left), std::move(right));
}
VmError VmError::assertion_failed(std::string text) { return of(VmErrorKind::AssertionFailed, std::move(text)); }
VmError VmError::stack_overflow() { return of(VmErrorKind::StackOverflow); }
VmError VmError::out_of_memory() { return of(VmErrorKind::OutOfMemory); }
VmError VmError::invalid_constant_index(uint16_t index) {
    return of(VmErrorKind::InvalidConstantIndex, std::to_string(index));
}
VmError VmError::module_not_loaded() { return of(VmErrorKind::ModuleNotLoaded); }

std::string os_error_text(int code) {
    char buffer[256] = {0};
    const char* text = strerror_result(strerror_r(code, buffer, sizeof buffer), buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

LoadError LoadError::io_errno(int code) { return of(LoadErrorKind::Io, os_error_text(code)); }

}  // namespace tarnel
