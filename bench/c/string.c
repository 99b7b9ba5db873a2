/* n one-character appends to a growing buffer, then the length of the text */
#include "harness.h"

static void work(long long n, char *out, size_t size) {
    size_t len = 0, cap = 16;
    char *text = malloc(cap);
    if (!text) abort();
    for (long long i = 0; i < n; ++i) {
        if (len + 2 > cap) {
            cap *= 2;
            text = realloc(text, cap);
            if (!text) abort();
        }
        text[len++] = 'x';
    }
    text[len] = '\0';
    snprintf(out, size, "%zu", strlen(text));
    free(text);
}
