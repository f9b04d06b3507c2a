// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_platform_records Records the platform reads
 *
 * Records that the platform reads from the library (and the library from the
 * platform). On 32-bit ARM every offset and size is the device's; on 64-bit
 * builds fields keep their order with natural alignment, every address and
 * every framework "word" is pointer-sized, and numbers of a stated width keep
 * that width. Static assertions below state both layouts.
 * @{
 */
#ifndef KEYSTORE_PLATFORM_KS_PLATFORM_RECORDS_H
#define KEYSTORE_PLATFORM_KS_PLATFORM_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus)
extern "C" {
#endif

/** Error-message definition (24 bytes on 32 bits). */
typedef struct ks_message_definition {
    const char *facility; /**< The facility name, "KEYSTORE". */
    const char *mnemonic;
    const char *format;
    const uint32_t *throttle; /**< three words, or null */
    uint32_t flags;           /**< 0x30000: severity 3, error */
    uint32_t *word;           /**< the facility's per-message word */
} ks_message_definition;

/** Subsystem header (44 bytes on 32 bits). */
typedef struct ks_subsystem_header {
    uint32_t format; /**< 2 */
    const char *name;
    uint32_t fixed1; /**< 1 */
    uint32_t fixed2; /**< 0 */
    uint32_t fixed3; /**< 1 */
    void (*init)(void);
    uint32_t class_number;
    void *zero[4];
} ks_subsystem_header;

/** Service-kind table: every service of the library's registries is a list. */
typedef struct ks_service_kinds {
    uint32_t count;
    const void *ops; /**< &list_service_ops */
} ks_service_kinds;

/** Registry descriptor (20 bytes on 32 bits). */
typedef struct ks_registry_descriptor {
    const char *name;
    uint16_t num_services;
    uint16_t block_size;
    const ks_service_kinds *kinds;
    void *zero[2];
} ks_registry_descriptor;

/** Registry block: three words, then one slot per service. */
typedef struct ks_registry_block_head {
    void *framework; /**< the framework's; never touched by the library */
    const ks_registry_descriptor *descriptor;
    void *zero;
} ks_registry_block_head;

/** What a non-null service slot points to. */
typedef struct ks_list_header {
    struct ks_list_node *first;
    uintptr_t walk_count;
} ks_list_header;

/** One subscriber of a list service. */
typedef struct ks_list_node {
    struct ks_list_node *next;
    union {
        uint8_t flags; /**< bit 0: not to be called */
        uintptr_t word;
    } u;
    void (*fn)(void);
} ks_list_node;

#define KS_LIST_NODE_SKIP 0x01u

/** Queue header (16 bytes on 32 bits): the first word is the first element. */
typedef struct ks_queue_header {
    void *head;
    void *tail;
    uintptr_t count;
    uintptr_t spare;
} ks_queue_header;

#if defined(__cplusplus)
}

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ks_message_definition) == 24 && offsetof(ks_message_definition, flags) == 16 &&
              offsetof(ks_message_definition, word) == 20);
static_assert(sizeof(ks_subsystem_header) == 44 && offsetof(ks_subsystem_header, init) == 20 &&
              offsetof(ks_subsystem_header, class_number) == 24 && offsetof(ks_subsystem_header, zero) == 28);
static_assert(sizeof(ks_service_kinds) == 8 && offsetof(ks_service_kinds, ops) == 4);
static_assert(sizeof(ks_registry_descriptor) == 20 && offsetof(ks_registry_descriptor, num_services) == 4 &&
              offsetof(ks_registry_descriptor, block_size) == 6 && offsetof(ks_registry_descriptor, kinds) == 8 &&
              offsetof(ks_registry_descriptor, zero) == 12);
static_assert(sizeof(ks_registry_block_head) == 12);
static_assert(sizeof(ks_list_header) == 8 && sizeof(ks_list_node) == 12 && offsetof(ks_list_node, fn) == 8);
static_assert(sizeof(ks_queue_header) == 16);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(ks_message_definition) == 48 && offsetof(ks_message_definition, flags) == 32 &&
              offsetof(ks_message_definition, word) == 40);
static_assert(sizeof(ks_subsystem_header) == 80 && offsetof(ks_subsystem_header, name) == 8 &&
              offsetof(ks_subsystem_header, fixed1) == 16 && offsetof(ks_subsystem_header, init) == 32 &&
              offsetof(ks_subsystem_header, class_number) == 40 && offsetof(ks_subsystem_header, zero) == 48);
static_assert(sizeof(ks_service_kinds) == 16 && offsetof(ks_service_kinds, ops) == 8);
static_assert(sizeof(ks_registry_descriptor) == 40 && offsetof(ks_registry_descriptor, num_services) == 8 &&
              offsetof(ks_registry_descriptor, block_size) == 10 && offsetof(ks_registry_descriptor, kinds) == 16 &&
              offsetof(ks_registry_descriptor, zero) == 24);
static_assert(sizeof(ks_registry_block_head) == 24);
static_assert(sizeof(ks_list_header) == 16 && sizeof(ks_list_node) == 24 && offsetof(ks_list_node, fn) == 16);
static_assert(sizeof(ks_queue_header) == 32);
#endif
#endif

/** @} */

#endif
