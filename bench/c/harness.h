/* Shared driver for the C workloads.
 *
 *   ./NAME N [RUNS]
 *
 * The size comes from argv, so the compiler cannot fold the work into a
 * constant. Runs the workload once untimed (warm-up), then RUNS times, each
 * timed with clock_gettime, printing one line per run: the result, the wall
 * seconds (CLOCK_MONOTONIC) and the CPU seconds of the process. The last line
 * is "rss_kib" and the process's peak resident set (VmHWM in
 * /proc/self/status; 0 where there is no such file).
 *
 * A workload file defines `static void work(long long n, char *out, size_t size)`
 * writing its result as text into `out`, then includes this header.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void work(long long n, char* out, size_t size);

static double seconds(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static long peak_rss_kib(void) {
    FILE* f = fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    if (!f) return 0;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0) kib = atol(line + 6);
    fclose(f);
    return kib;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s N [RUNS]\n", argv[0]);
        return 2;
    }
    long long n = atoll(argv[1]);
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    char result[64];
    work(n, result, sizeof result);
    for (int r = 0; r < runs; ++r) {
        double w0 = seconds(CLOCK_MONOTONIC), c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        work(n, result, sizeof result);
        double w1 = seconds(CLOCK_MONOTONIC), c1 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        printf("%s %.9f %.9f\n", result, w1 - w0, c1 - c0);
    }
    printf("rss_kib %ld\n", peak_rss_kib());
    return 0;
}
