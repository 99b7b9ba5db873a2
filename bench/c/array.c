/* a[i] = i for 0 <= i < n, then the sum of a[i] */
#include "harness.h"

static void work(long long n, char *out, size_t size) {
    long long *a = malloc((size_t)n * sizeof *a);
    if (!a) abort();
    for (long long i = 0; i < n; ++i) a[i] = i;
    long long total = 0;
    for (long long i = 0; i < n; ++i) total += a[i];
    free(a);
    snprintf(out, size, "%lld", total);
}
