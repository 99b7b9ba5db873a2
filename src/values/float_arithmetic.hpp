// Float sums and products with one rule for two NaN operands: the result
// is the left operand's NaN.
//
// IEEE 754 leaves open which NaN an operation on two NaNs returns. x86
// returns its instruction's first source, and which operand of `x + y` or
// `x * y` a compiler makes the first source is the compiler's choice: GCC
// and Clang choose differently. Every sum and product of the interpreter
// goes through these, so all builds agree, and the machine-code tier
// (which computes left op right) agrees with them.
#pragma once

namespace tarnel {

inline double float_sum(double x, double y) {
#if defined(__x86_64__)
    __asm__("addsd %1, %0" : "+x"(x) : "xm"(y));
    return x;
#else
    return x + y;
#endif
}

inline double float_product(double x, double y) {
#if defined(__x86_64__)
    __asm__("mulsd %1, %0" : "+x"(x) : "xm"(y));
    return x;
#else
    return x * y;
#endif
}

}  // namespace tarnel
