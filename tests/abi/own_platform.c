/* A process that supplies its own platform services instead of the host
 * platform: libkeystore.so must load and run with any implementation of them.
 * Deliberately minimal (malloc-backed memory, traces counted, no queues
 * beyond a singly linked list). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"

static int allocations, traces, registrations;

struct block { size_t size; };

void *tagged_calloc(uint32_t tag, size_t count, size_t size) {
    (void)tag;
    struct block *b = calloc(1, sizeof(struct block) + count * size + 16);
    if (!b) return NULL;
    b->size = count * size;
    ++allocations;
    return (char *)b + 16;
}
void *tagged_realloc(uint32_t tag, void *block, size_t size) {
    void *n = tagged_calloc(tag, 1, size);
    if (n && block) {
        struct block *old = (struct block *)((char *)block - 16);
        memcpy(n, block, old->size < size ? old->size : size);
        free(old);
    }
    return n;
}
void tagged_free(void *block) {
    if (block) free((char *)block - 16);
}
void trace_emit(const void *d, uint32_t i, uint16_t m, uint32_t l, ...) {
    (void)d, (void)i, (void)m, (void)l;
    ++traces;
}
const uint16_t trace_module_ids[32];
void *trace_record_reserve(const void *d, uint32_t i, uint16_t m, uint32_t l, uint32_t size) {
    (void)d, (void)i, (void)m, (void)l;
    return calloc(1, size);
}
void trace_record_commit(void *r, uint32_t s, uint16_t m, uint32_t l) {
    (void)s, (void)m, (void)l;
    ++traces;
    free(r);
}
void sys_message_emit(const void *def) { (void)def; }
void platform_assert(const char *e, const char *p, int line) {
    fprintf(stderr, "assert %s %s %d\n", e, p, line);
    abort();
}
void fifo_enqueue(void *q, void *e) {
    void **at = (void **)q;
    while (*at) at = (void **)*at;
    *at = e;
    *(void **)e = NULL;
}
void *fifo_dequeue(void *q) {
    void **h = (void **)q, *e = *h;
    if (e) *h = *(void **)e;
    return e;
}
void *fifo_unlink(void *q, void *e, void *pred) {
    void **link = pred ? (void **)pred : (void **)q;
    if (*link != e) return NULL;
    *link = *(void **)e;
    return e;
}
int subsystem_register(void *h) {
    (void)h;
    return ++registrations;
}
int service_registry_init(void *b) { return b != NULL; }
void service_registry_release_list(void *l) { (void)l; }
const uint8_t list_service_ops[8];
int platform_random_fill(void *b, uint32_t n) {
    memset(b, 0x5A, n);
    return 0;
}
int ha_core_is_active(void) { return 1; }
void notify_pac_added(const uint8_t *a, uint32_t n) { (void)a, (void)n; }
void notify_pac_deleted(const uint8_t *a, uint32_t n) { (void)a, (void)n; }
int hw_model_query(uint32_t f) { return f == 0; }
int hw_board_subtype(void) { return 0; }
void *showmsg_get_message(uintptr_t a, uintptr_t b, void *r, int32_t *e) { (void)a, (void)b, (void)r; *e = 1; return NULL; }
void showmsg_set_use_sw_ks(uintptr_t a, uintptr_t b, void *m, int32_t f, int32_t *e) { (void)a, (void)b, (void)m, (void)f; *e = 1; }
void showmsg_set_is_hw_ks(uintptr_t a, uintptr_t b, void *m, int32_t f, int32_t *e) { (void)a, (void)b, (void)m, (void)f; *e = 1; }
void showmsg_set_is_empty(uintptr_t a, uintptr_t b, void *m, int32_t f, int32_t *e) { (void)a, (void)b, (void)m, (void)f; *e = 1; }
void *showmsg_elem_create(uintptr_t a, uintptr_t b) { (void)a, (void)b; return NULL; }
void showmsg_elem_set_index(uintptr_t a, uintptr_t b, void *el, uint16_t i, int32_t *e) { (void)a, (void)b, (void)el, (void)i; *e = 1; }
void *showmsg_elem_get_value(uintptr_t a, uintptr_t b, void *el, int32_t *e) { (void)a, (void)b, (void)el; *e = 1; return NULL; }
void showmsg_elem_set_valid(uintptr_t a, uintptr_t b, void *el, int32_t v, int32_t *e) { (void)a, (void)b, (void)el, (void)v; *e = 1; }
void showmsg_elem_set_type(uintptr_t a, uintptr_t b, void *el, int32_t v, int32_t *e) { (void)a, (void)b, (void)el, (void)v; *e = 1; }
void showmsg_list_append(uintptr_t a, uintptr_t b, void *m, void *el, int32_t *e) { (void)a, (void)b, (void)m, (void)el; *e = 1; }
void showmsg_elem_destroy(uintptr_t a, uintptr_t b, void *el) { (void)a, (void)b, (void)el; }
void vstring_assign(uintptr_t a, uintptr_t b, void *f, const void *by, uint32_t n, int32_t *e) { (void)a, (void)b, (void)f, (void)by, (void)n; *e = 1; }

int main(void) {
    static const uint8_t handle[] = {1, 'k', 'e', 'y'};
    static const uint8_t value[] = "not printed";
    int32_t exists = 0;
    if (ks_is_hw_present() != 1) return 1;
    if (ks_sw_store_sym_key(handle, sizeof handle, NULL, 0, value, sizeof value, NULL, 0) != KS_SUCCESS) return 1;
    if (ks_sym_key_find(handle, sizeof handle) != 0) return 1;
    if (ks_sw_key_exists(handle, sizeof handle, &exists) != KS_SUCCESS || exists != 1) return 1;
    if (ks_sw_delete_key(handle, sizeof handle) != KS_SUCCESS || ks_num_sym_keys != 0) return 1;
    printf("own platform: %d registrations at load, %d allocations, %d traces\n", registrations, allocations, traces);
    return 0;
}
