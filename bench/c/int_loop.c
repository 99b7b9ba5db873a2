/* sum of i for 0 <= i < n */
#include "harness.h"

static void work(long long n, char *out, size_t size) {
    long long total = 0;
    for (long long i = 0; i < n; ++i) total += i;
    snprintf(out, size, "%lld", total);
}
