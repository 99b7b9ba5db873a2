/* d["k" .. i] = i for 0 <= i < n, then the sum of d["k" .. i].
 * A string-keyed open-addressing hash table (FNV-1a, linear probing,
 * doubling at 50% load) with owned copies of the keys. */
#include "harness.h"

struct slot {
    char *key;
    unsigned long long hash;
    long long value;
};

struct table {
    struct slot *slots;
    size_t cap, count;
};

static unsigned long long hash_text(const char *s) {
    unsigned long long h = 1469598103934665603ULL;
    for (; *s; ++s) h = (h ^ (unsigned char)*s) * 1099511628211ULL;
    return h ^ (h >> 32);  /* the table indexes by the low bits: fold the high ones in */
}

static struct slot *probe(struct table *t, const char *key, unsigned long long h) {
    size_t i = (size_t)h & (t->cap - 1);
    while (t->slots[i].key && (t->slots[i].hash != h || strcmp(t->slots[i].key, key) != 0))
        i = (i + 1) & (t->cap - 1);
    return &t->slots[i];
}

static void grow(struct table *t) {
    struct slot *old = t->slots;
    size_t old_cap = t->cap;
    t->cap = old_cap ? old_cap * 2 : 16;
    t->slots = calloc(t->cap, sizeof *t->slots);
    if (!t->slots) abort();
    for (size_t i = 0; i < old_cap; ++i)
        if (old[i].key) *probe(t, old[i].key, old[i].hash) = old[i];
    free(old);
}

static void set(struct table *t, const char *key, long long value) {
    if (2 * (t->count + 1) > t->cap) grow(t);
    unsigned long long h = hash_text(key);
    struct slot *s = probe(t, key, h);
    if (!s->key) {
        size_t len = strlen(key) + 1;
        s->key = malloc(len);
        if (!s->key) abort();
        memcpy(s->key, key, len);
        s->hash = h;
        ++t->count;
    }
    s->value = value;
}

static long long get(struct table *t, const char *key) {
    struct slot *s = probe(t, key, hash_text(key));
    return s->key ? s->value : 0;
}

/* key = "k" followed by i (i >= 0) in decimal */
static void make_key(char *key, long long i) {
    char digits[24];
    int len = 0;
    do {
        digits[len++] = (char)('0' + i % 10);
        i /= 10;
    } while (i > 0);
    key[0] = 'k';
    for (int j = 0; j < len; ++j) key[1 + j] = digits[len - 1 - j];
    key[1 + len] = '\0';
}

static void work(long long n, char *out, size_t size) {
    struct table t = {0};
    char key[32];
    for (long long i = 0; i < n; ++i) {
        make_key(key, i);
        set(&t, key, i);
    }
    long long total = 0;
    for (long long i = 0; i < n; ++i) {
        make_key(key, i);
        total += get(&t, key);
    }
    for (size_t i = 0; i < t.cap; ++i) free(t.slots[i].key);
    free(t.slots);
    snprintf(out, size, "%lld", total);
}
