/* Leibniz series: 4 * sum of (-1)^k / (2k + 1) for 0 <= k < n */
#include "harness.h"

static void work(long long n, char *out, size_t size) {
    double total = 0.0, sign = 1.0, d = 1.0;
    for (long long k = 0; k < n; ++k) {
        total += sign / d;
        d += 2.0;
        sign = -sign;
    }
    snprintf(out, size, "%.17g", 4.0 * total);
}
