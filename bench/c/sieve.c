/* sieve of Eratosthenes: how many primes are below n? */
#include "harness.h"

static void work(long long n, char *out, size_t size) {
    unsigned char *composite = calloc((size_t)n, 1);
    if (!composite) abort();
    long long count = 0;
    for (long long i = 2; i < n; ++i) {
        if (composite[i]) continue;
        ++count;
        for (long long j = i * i; j < n; j += i) composite[j] = 1;
    }
    free(composite);
    snprintf(out, size, "%lld", count);
}
