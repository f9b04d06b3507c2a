/*
 * The host platform: the keystore's platform services for a process on a
 * Linux host, and the instrument the tests use.
 *
 * libkeystore_host.so defines every platform service of
 * keystore/platform/ks_platform.h. This header adds the controls a host
 * process (or a test) uses to configure, observe and fault those services.
 * All state is process-wide and constant-initialised; like the keystore, the
 * host platform expects one thread at a time.
 *
 * Environment, read once at first use:
 *   KSH_TRACE=1             print every trace to stderr as it is emitted
 *   KSH_TRACE_BINARY=path   append every trace record, binary, to path
 *   KSH_RANDOM_SEED=n       deterministic random bytes from seed n
 *   KSH_HA_ACTIVE=0|1       answer of ha_core_is_active (default 1)
 *   KSH_HW_MODELS=mask      bit i: hw_model_query(i) answers yes (default 0)
 *   KSH_BOARD_SUBTYPE=n     answer of hw_board_subtype (default 0)
 */
#ifndef KEYSTORE_HOST_HOST_H
#define KEYSTORE_HOST_HOST_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define KSH_EXPORT __attribute__((visibility("default")))
#else
#define KSH_EXPORT
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/* ---- Allocator ------------------------------------------------------------
 * Every block carries its tag and size. Released blocks are wiped. */
KSH_EXPORT uint64_t ksh_alloc_live_blocks(void);
KSH_EXPORT uint64_t ksh_alloc_live_bytes(void);
KSH_EXPORT uint64_t ksh_alloc_tag_live_blocks(uint32_t tag);
KSH_EXPORT uint64_t ksh_alloc_tag_live_bytes(uint32_t tag);
/* Allocation calls (tagged_calloc and tagged_realloc) since the process began. */
KSH_EXPORT uint64_t ksh_alloc_calls(void);
/* The nth allocation call from now fails (1 = the next one); 0 turns it off. */
KSH_EXPORT void ksh_alloc_fail_nth(uint64_t n);
/* Every allocation with this tag fails; 0 turns it off. */
KSH_EXPORT void ksh_alloc_fail_tag(uint32_t tag);
KSH_EXPORT void ksh_alloc_clear_faults(void);
/* Allocation calls that were failed on purpose since the process began. */
KSH_EXPORT uint64_t ksh_alloc_failed_calls(void);
/* Prints one line per live block (tag, size) and returns their number. */
KSH_EXPORT size_t ksh_alloc_leak_report(FILE *out);
/* When on, tagged_free counts blocks whose contents are not all zero when
 * released (a library that cleanses before freeing leaves none). */
KSH_EXPORT void ksh_alloc_check_cleansed(int on);
KSH_EXPORT uint64_t ksh_alloc_uncleansed_frees(void);
/* Tag of the most recent block freed without being cleansed, or 0. */
KSH_EXPORT uint32_t ksh_alloc_last_uncleansed_tag(void);

/* ---- Traces --------------------------------------------------------------
 * Every trace_emit and reserve/commit is recorded with its arguments copied
 * at call time (strings are copied, so a caller's buffer may change after). */
enum { KSH_TRACE_MAX_ARGS = 8 };
typedef struct ksh_trace_arg {
    char kind;      /* 'i' integer, 's' string, 'p' pointer */
    int32_t i;      /* kind 'i' */
    const void *p;  /* kind 'p' */
    const char *s;  /* kind 's': a copy owned by the recorder ("(null)" for null) */
} ksh_trace_arg;
typedef struct ksh_trace_record {
    const void *descriptor;
    int table;           /* table number read from the table record, or -1 */
    uint32_t index;
    uint16_t module_id;
    uint32_t level;
    int packed;          /* 1: came through trace_record_reserve/commit */
    int nargs;
    ksh_trace_arg args[KSH_TRACE_MAX_ARGS];
} ksh_trace_record;

KSH_EXPORT size_t ksh_trace_count(void);
KSH_EXPORT const ksh_trace_record *ksh_trace_at(size_t i);
KSH_EXPORT void ksh_trace_clear(void);
/* Renders a record as text from the catalogue in the library file; returns
 * the length written (cut to len - 1) or -1 when no text is known. */
KSH_EXPORT int ksh_trace_render(const ksh_trace_record *record, char *buf, size_t len);
/* Print each trace to stderr as it comes (also KSH_TRACE=1). */
KSH_EXPORT void ksh_trace_set_print(int on);
/* Append each trace, binary, to a file (also KSH_TRACE_BINARY); null stops. */
KSH_EXPORT int ksh_trace_set_binary_log(const char *path);
/* Called after every trace is recorded, with the record; the hook may change
 * process state (a mode flag, say) between two traces of a running
 * operation. Null removes it. */
typedef void (*ksh_trace_hook)(void *ctx, const ksh_trace_record *record);
KSH_EXPORT void ksh_trace_set_hook(ksh_trace_hook hook, void *ctx);

/* ---- Error messages ------------------------------------------------------ */
KSH_EXPORT size_t ksh_message_count(void);          /* emitted (not held back) */
KSH_EXPORT const void *ksh_message_at(size_t i);    /* the message definition */
KSH_EXPORT uint64_t ksh_message_suppressed(void);   /* held back by throttling */
KSH_EXPORT void ksh_message_clear(void);
/* Print emitted messages to stderr (default on). */
KSH_EXPORT void ksh_message_set_print(int on);

/* ---- Assertions ----------------------------------------------------------
 * platform_assert prints "assertion failed: EXPR at PATH:LINE" to stderr,
 * calls the handler if one is set (it may longjmp out), then aborts. */
typedef void (*ksh_assert_handler)(const char *expression, const char *path, int line);
KSH_EXPORT void ksh_set_assert_handler(ksh_assert_handler handler);

/* ---- Randomness ----------------------------------------------------------
 * Kernel randomness (getrandom) unless a seed is set: then a deterministic
 * stream, the same for the same seed. */
KSH_EXPORT void ksh_random_set_seed(uint64_t seed); /* 0: back to the kernel */

/* ---- HA role, hardware identity ------------------------------------------ */
KSH_EXPORT void ksh_set_ha_active(int active);
KSH_EXPORT void ksh_set_hw_models(uint32_t mask);
KSH_EXPORT void ksh_set_board_subtype(int subtype);
/* hw_model_query calls since the last clear, in order; returns the count and
 * writes up to max family numbers. */
KSH_EXPORT size_t ksh_hw_query_log(uint32_t *families, size_t max);
KSH_EXPORT void ksh_hw_query_log_clear(void);

/* ---- PAC notifications ---------------------------------------------------
 * Every notification is recorded; a host process may also install its own
 * handlers, called after recording. */
typedef void (*ksh_pac_handler)(void *ctx, const uint8_t *aid, uint32_t aid_len);
KSH_EXPORT void ksh_set_pac_handlers(ksh_pac_handler added, ksh_pac_handler deleted, void *ctx);
typedef struct ksh_pac_event {
    int added; /* 1 added, 0 deleted */
    uint32_t aid_len;
    uint8_t aid[64]; /* the first 64 bytes */
} ksh_pac_event;
KSH_EXPORT size_t ksh_pac_event_count(void);
KSH_EXPORT const ksh_pac_event *ksh_pac_event_at(size_t i);
KSH_EXPORT void ksh_pac_events_clear(void);

/* ---- Subsystem framework -------------------------------------------------- */
KSH_EXPORT size_t ksh_subsystem_count(void);
KSH_EXPORT const void *ksh_subsystem_at(size_t i);
/* Name of a registered header (its second word). */
KSH_EXPORT const char *ksh_subsystem_name(size_t i);
/* Starts the platform: runs every registered header's initialisation
 * function once, in class order (ties in registration order). */
KSH_EXPORT void ksh_platform_start(void);

/* ---- Service registry framework ------------------------------------------
 * A list service's slot holds null or a list header; subscribing creates the
 * header on first use. */
typedef void (*ksh_service_fn)(void);
KSH_EXPORT int ksh_registry_subscribe(void *slot, ksh_service_fn fn, uint8_t flags);
KSH_EXPORT int ksh_registry_unsubscribe(void *slot, ksh_service_fn fn);
/* Gives the slot an empty list header (no nodes). */
KSH_EXPORT int ksh_registry_make_empty_list(void *slot);
/* Drops the slot's list and every node; the slot becomes null. */
KSH_EXPORT void ksh_registry_clear(void *slot);
KSH_EXPORT uint64_t ksh_registry_release_count(void);
KSH_EXPORT size_t ksh_registry_init_count(void);
KSH_EXPORT const void *ksh_registry_init_at(size_t i);

/* Clears every recorder (traces, messages, PAC events, hardware query log)
 * and every fault; leaves settings and live blocks alone. */
KSH_EXPORT void ksh_reset_recorders(void);

#if defined(__cplusplus)
}
#endif

#endif
