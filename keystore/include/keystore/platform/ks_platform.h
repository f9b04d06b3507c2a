// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_platform Platform services
 *
 * Platform services the keystore library calls.
 *
 * The library never defines these symbols: every one is resolved by name when
 * the library is loaded, so a device platform, the host platform in host/ or a
 * test can each supply its own implementation. A platform may be called from
 * the library's load-time initialisers, before any C++ static of the process
 * has been constructed, so its state must be constant-initialised.
 * @{
 */
#ifndef KEYSTORE_PLATFORM_KS_PLATFORM_H
#define KEYSTORE_PLATFORM_KS_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KS_PLATFORM_API __attribute__((visibility("default")))
#else
#define KS_PLATFORM_API
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/** Memory. Every block is zero-filled; the tag names the allocation site and
 * serves the allocator's accounting only. tagged_free accepts null. */
KS_PLATFORM_API void *tagged_calloc(uint32_t tag, size_t count, size_t size);
KS_PLATFORM_API void *tagged_realloc(uint32_t tag, void *block, size_t size);
KS_PLATFORM_API void tagged_free(void *block);

/** Tracing. The descriptor is the address of a trace table's file identity.
 * Integers travel as int, strings as const char *, %p arguments as
 * const void *. */
KS_PLATFORM_API void trace_emit(const void *descriptor, uint32_t index, uint16_t module_id, uint32_t level, ...);
KS_PLATFORM_API extern const uint16_t trace_module_ids[];
/** A packed record of `size` bytes, or null (then nothing is written). */
KS_PLATFORM_API void *trace_record_reserve(const void *descriptor, uint32_t index, uint16_t module_id, uint32_t level,
                                           uint32_t size);
KS_PLATFORM_API void trace_record_commit(void *record, uint32_t size, uint16_t module_id, uint32_t level);

/** Error messages: the address of one message definition. */
KS_PLATFORM_API void sys_message_emit(const void *message_definition);

/** Broken internal invariant: does not return. */
KS_PLATFORM_API void platform_assert(const char *expression, const char *path, int line)
#if defined(__GNUC__)
    __attribute__((noreturn))
#endif
    ;

/** FIFO queues. The first word of the queue header is the first element; the
 * first word of every element is the link to the next one. */
KS_PLATFORM_API void fifo_enqueue(void *queue, void *element);
KS_PLATFORM_API void *fifo_dequeue(void *queue);
KS_PLATFORM_API void *fifo_unlink(void *queue, void *element, void *predecessor);

/** Subsystem framework. */
KS_PLATFORM_API int subsystem_register(void *header);

/** Service registry framework. */
KS_PLATFORM_API int service_registry_init(void *registry_block);
KS_PLATFORM_API void service_registry_release_list(void *list_header);
KS_PLATFORM_API extern const uint8_t list_service_ops[]; /**< only its address is taken */

/** Randomness; the result is not used by the library. */
KS_PLATFORM_API int platform_random_fill(void *buffer, uint32_t length);

/** HA role: non-zero when this unit is the active one. */
KS_PLATFORM_API int ha_core_is_active(void);

/** PAC notifications supplied by the host process. */
KS_PLATFORM_API void notify_pac_added(const uint8_t *aid, uint32_t aid_len);
KS_PLATFORM_API void notify_pac_deleted(const uint8_t *aid, uint32_t aid_len);

/** Hardware identification: 31 board families, 0 to 30. */
KS_PLATFORM_API int hw_model_query(uint32_t family);
KS_PLATFORM_API int hw_board_subtype(void);

/** Structured show-message builder. */
KS_PLATFORM_API void *showmsg_get_message(uintptr_t ctx0, uintptr_t ctx1, void *reply, int32_t *err);
KS_PLATFORM_API void showmsg_set_use_sw_ks(uintptr_t ctx0, uintptr_t ctx1, void *message, int32_t flag, int32_t *err);
KS_PLATFORM_API void showmsg_set_is_hw_ks(uintptr_t ctx0, uintptr_t ctx1, void *message, int32_t flag, int32_t *err);
KS_PLATFORM_API void showmsg_set_is_empty(uintptr_t ctx0, uintptr_t ctx1, void *message, int32_t flag, int32_t *err);
KS_PLATFORM_API void *showmsg_elem_create(uintptr_t ctx0, uintptr_t ctx1);
KS_PLATFORM_API void showmsg_elem_set_index(uintptr_t ctx0, uintptr_t ctx1, void *element, uint16_t index,
                                            int32_t *err);
KS_PLATFORM_API void *showmsg_elem_get_value(uintptr_t ctx0, uintptr_t ctx1, void *element, int32_t *err);
KS_PLATFORM_API void showmsg_elem_set_valid(uintptr_t ctx0, uintptr_t ctx1, void *element, int32_t value, int32_t *err);
KS_PLATFORM_API void showmsg_elem_set_type(uintptr_t ctx0, uintptr_t ctx1, void *element, int32_t value, int32_t *err);
KS_PLATFORM_API void showmsg_list_append(uintptr_t ctx0, uintptr_t ctx1, void *message, void *element, int32_t *err);
KS_PLATFORM_API void showmsg_elem_destroy(uintptr_t ctx0, uintptr_t ctx1, void *element);
KS_PLATFORM_API void vstring_assign(uintptr_t ctx0, uintptr_t ctx1, void *field, const void *bytes, uint32_t length,
                                    int32_t *err);

#if defined(__cplusplus)
}
#endif

/** @} */

#endif
