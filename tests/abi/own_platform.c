// SPDX-License-Identifier: Apache-2.0
/* A process that supplies its own platform services instead of the host
 * platform: libkeystore.so must load and run with any implementation of them.
 * Deliberately minimal: malloc-backed memory, traces counted, a queue that
 * holds nothing, a show builder that refuses everything. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"

static int allocations, traces, registrations;

void *tagged_calloc(uint32_t tag, size_t count, size_t size) {
    size_t *b = calloc(1, 16 + count * size); /* the size first, 16 bytes before the block */
    if (b) *b = count * size, ++allocations;
    return b ? (char *)b + 16 : NULL;
}
void *tagged_realloc(uint32_t tag, void *block, size_t size) {
    void *n = tagged_calloc(tag, 1, size);
    size_t old = block ? *(size_t *)((char *)block - 16) : 0;
    if (n && block) memcpy(n, block, old < size ? old : size), free((char *)block - 16);
    return n;
}
void tagged_free(void *block) { free(block ? (char *)block - 16 : NULL); }
void trace_emit(const void *d, uint32_t i, uint16_t m, uint32_t l, ...) { ++traces; }
const uint16_t trace_module_ids[32];
void *trace_record_reserve(const void *d, uint32_t i, uint16_t m, uint32_t l, uint32_t size) { return calloc(1, size); }
void trace_record_commit(void *r, uint32_t s, uint16_t m, uint32_t l) { ++traces, free(r); }
void sys_message_emit(const void *def) {}
void platform_assert(const char *e, const char *p, int line) {
    fprintf(stderr, "assert %s %s %d\n", e, p, line), abort();
}
void fifo_enqueue(void *q, void *e) {}
void *fifo_dequeue(void *q) { return NULL; }
void *fifo_unlink(void *q, void *e, void *pred) { return NULL; }
int subsystem_register(void *h) { return ++registrations; }
int service_registry_init(void *b) { return b != NULL; }
void service_registry_release_list(void *l) {}
const uint8_t list_service_ops[8];
int platform_random_fill(void *b, uint32_t n) { return memset(b, 0x5A, n), 0; }
int ha_core_is_active(void) { return 1; }
void notify_pac_added(const uint8_t *a, uint32_t n) {}
void notify_pac_deleted(const uint8_t *a, uint32_t n) {}
int hw_model_query(uint32_t f) { return f == 0; }
int hw_board_subtype(void) { return 0; }
#define REFUSE(name, ...) \
    void name(uintptr_t a, uintptr_t b, __VA_ARGS__, int32_t *e) { *e = 1; }
REFUSE(showmsg_set_use_sw_ks, void *m, int32_t f)
REFUSE(showmsg_set_is_hw_ks, void *m, int32_t f)
REFUSE(showmsg_set_is_empty, void *m, int32_t f)
REFUSE(showmsg_elem_set_index, void *el, uint16_t i)
REFUSE(showmsg_elem_set_valid, void *el, int32_t v)
REFUSE(showmsg_elem_set_type, void *el, int32_t v)
REFUSE(showmsg_list_append, void *m, void *el)
REFUSE(vstring_assign, void *f, const void *by, uint32_t n)
void *showmsg_get_message(uintptr_t a, uintptr_t b, void *r, int32_t *e) { return *e = 1, NULL; }
void *showmsg_elem_create(uintptr_t a, uintptr_t b) { return NULL; }
void *showmsg_elem_get_value(uintptr_t a, uintptr_t b, void *el, int32_t *e) { return *e = 1, NULL; }
void showmsg_elem_destroy(uintptr_t a, uintptr_t b, void *el) {}

int main(void) {
    static const uint8_t handle[] = {1, 'k', 'e', 'y'}, value[] = "not printed";
    int32_t exists = 0;
    if (ks_is_hw_present() != 1 ||
        ks_sw_store_sym_key(handle, sizeof handle, NULL, 0, value, sizeof value, NULL, 0) != KS_SUCCESS ||
        ks_sym_key_find(handle, sizeof handle) != 0 || ks_sw_key_exists(handle, sizeof handle, &exists) != KS_SUCCESS ||
        exists != 1 || ks_sw_delete_key(handle, sizeof handle) != KS_SUCCESS || ks_num_sym_keys != 0)
        return 1;
    printf("own platform: %d registrations at load, %d allocations, %d traces\n", registrations, allocations, traces);
    return 0;
}
