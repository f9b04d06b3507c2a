// Structured show-message builder (minimal: every operation reports an error
// until the message model is in place).
#include "keystore/platform/ks_platform.h"

extern "C" {

void *showmsg_get_message(uintptr_t, uintptr_t, void *, int32_t *err) {
    if (err) *err = 1;
    return nullptr;
}
void showmsg_set_use_sw_ks(uintptr_t, uintptr_t, void *, int32_t, int32_t *err) { if (err) *err = 1; }
void showmsg_set_is_hw_ks(uintptr_t, uintptr_t, void *, int32_t, int32_t *err) { if (err) *err = 1; }
void showmsg_set_is_empty(uintptr_t, uintptr_t, void *, int32_t, int32_t *err) { if (err) *err = 1; }
void *showmsg_elem_create(uintptr_t, uintptr_t) { return nullptr; }
void showmsg_elem_set_index(uintptr_t, uintptr_t, void *, uint16_t, int32_t *err) { if (err) *err = 1; }
void *showmsg_elem_get_value(uintptr_t, uintptr_t, void *, int32_t *err) {
    if (err) *err = 1;
    return nullptr;
}
void showmsg_elem_set_valid(uintptr_t, uintptr_t, void *, int32_t, int32_t *err) { if (err) *err = 1; }
void showmsg_elem_set_type(uintptr_t, uintptr_t, void *, int32_t, int32_t *err) { if (err) *err = 1; }
void showmsg_list_append(uintptr_t, uintptr_t, void *, void *, int32_t *err) { if (err) *err = 1; }
void showmsg_elem_destroy(uintptr_t, uintptr_t, void *) {}
void vstring_assign(uintptr_t, uintptr_t, void *, const void *, uint32_t, int32_t *err) { if (err) *err = 1; }

}  // extern "C"
