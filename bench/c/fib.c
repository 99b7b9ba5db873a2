/* recursive fib(n) */
#include "harness.h"

static long long fib(long long n) { return n < 2 ? n : fib(n - 1) + fib(n - 2); }

static void work(long long n, char *out, size_t size) { snprintf(out, size, "%lld", fib(n)); }
