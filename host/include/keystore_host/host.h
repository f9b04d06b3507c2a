// SPDX-License-Identifier: Apache-2.0
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
 *   KSH_RECORD=1            keep records (see Recording below)
 *   KSH_RECORD_CAPACITY=n   records per recorder (default 16384)
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

/* Protected memory. Every block comes from a region of address space that is
 * left out of core dumps (MADV_DONTDUMP) and fenced by inaccessible guard
 * pages, and is wiped when it is freed. The region is also locked into RAM,
 * out of swap, as far as the process's lock limit (RLIMIT_MEMLOCK) allows:
 *
 *   the lock limit decides          it does not decide (always so)
 *   ------------------------------  -------------------------------------
 *   whether blocks stay out of      out of core dumps, between guard
 *   swap                            pages, wiped when freed
 *
 * The region reserves address space up to its size (default 6 MiB, enough
 * for a full table of 2000 keys with their metadata and per-key crypto
 * state, and the PAC cache), maps it as it hands out blocks and locks it in
 * steps of 16 KiB (of the page size, where pages are larger): a step is
 * locked while a block in use lies in it, and unlocked when the last one is
 * freed. So the process's VmLck never exceeds the steps that hold blocks in
 * use (the bytes in use rounded up to the step, and the parts of steps that
 * gaps left by freed blocks leave unused), and a process that keeps a few
 * keys locks a few steps. A process with CAP_IPC_LOCK has no lock limit;
 * others set it with `ulimit -l` (KiB) in a shell, `LimitMEMLOCK=8M` in a
 * systemd unit, `docker run --ulimit memlock=8388608` (bytes) for a
 * container. A child after fork inherits no lock: the host locks the steps
 * in use again in the child, as far as the child's limit allows.
 *
 * The mode decides what becomes of a block the region cannot lock, and of one
 * it cannot hold (it is full, or memory for it cannot be mapped):
 *
 *   mode                cannot lock        cannot hold
 *   ------------------  -----------------  ---------------------------------
 *   KSH_PROTECT_REGION  served unlocked    refused (FULL, NOMAP)
 *     (the default)     (UNLOCKED)
 *   KSH_PROTECT_REQUIRE refused (NOLOCK)   refused (FULL, NOMAP)
 *   KSH_PROTECT_PREFER  served unlocked    ordinary memory (FULL_FALLBACK,
 *                       (UNLOCKED)         NOMAP_FALLBACK)
 *   KSH_PROTECT_OFF     every block comes from ordinary memory (the C
 *                       library's heap) and is wiped when freed
 *
 * A refused block is a failed allocation (the keystore answers NO_MEMORY).
 * Each message named (facility KSH) is emitted the first time it applies,
 * once until the protection is set again, and says what happened (the call
 * that failed, the limit, the sizes, the block's tag) and what to do; none
 * is emitted while every block is served locked.
 *
 * Changed default: it was KSH_PROTECT_REQUIRE, with the region locked whole
 * from the start, so that under a 64 KiB lock limit every allocation was
 * refused, and under 8 MiB the region took 6 MiB of it before the first key.
 * KSH_PROTECT_PREFER put a block it could not lock in ordinary memory; it now
 * serves it unlocked from the region (no more NOLOCK_FALLBACK).
 *
 * Environment, read at the first allocation:
 *   KSH_PROTECT=region|require|prefer|off   (unknown values: require)
 *   KSH_PROTECT_SIZE=n        bytes, or with a K, M or G suffix
 * A block keeps the memory it was given; a change of mode applies to the
 * blocks allocated after it. */
enum { KSH_PROTECT_OFF = 0, KSH_PROTECT_REQUIRE = 1, KSH_PROTECT_PREFER = 2, KSH_PROTECT_REGION = 3 };
/* Sets the mode and, when size is not 0, the size protected memory may grow
 * to (a larger size adds a region); a size below what is already reserved is
 * refused (-1), as is an unknown mode. A region that could not be reserved
 * is tried again at the next allocation, and each message may be emitted once
 * more. Returns 0 on success. */
KSH_EXPORT int ksh_alloc_set_protection(int mode, size_t size);
typedef struct ksh_protection_info {
    int mode;             /* KSH_PROTECT_* in force */
    size_t limit;         /* the size protected memory may grow to */
    size_t size;          /* address space reserved so far */
    size_t used;          /* in blocks, with the allocator's headers */
    uint64_t refused;     /* allocations refused for want of protected memory */
    uint64_t unprotected; /* blocks put in ordinary memory when the region could not hold them */
    /* Added after the first release: see ksh_alloc_protection_stats. */
    size_t locked;   /* locked into RAM, in whole steps: what the region adds to VmLck */
    size_t unlocked; /* in steps that hold blocks in use but could not be locked */
    size_t step;     /* the locking step */
} ksh_protection_info;
/* Fills the first info_size bytes of *info with the fields above. */
KSH_EXPORT void ksh_alloc_protection_stats(ksh_protection_info *info, size_t info_size);
/* The structure grew at its end (locked, unlocked, step); the call stays
 * compatible both ways. The exported function fills the fields up to
 * `unprotected`, all that binaries built against the earlier header have
 * room for; code built against this header reaches ksh_alloc_protection_stats
 * through the macro, with the size of the structure it was built with. */
KSH_EXPORT void ksh_alloc_protection_info(ksh_protection_info *info);
#define ksh_alloc_protection_info(info) ksh_alloc_protection_stats((info), sizeof *(info))
/* 1 when the block (from tagged_calloc or tagged_realloc) is in protected
 * memory, locked or not. */
KSH_EXPORT int ksh_alloc_is_protected(const void *block);
/* 1 when the block is in protected memory and locked into RAM. */
KSH_EXPORT int ksh_alloc_is_locked(const void *block);

/* ---- Traces --------------------------------------------------------------
 * Every trace_emit and reserve/commit becomes a record with its arguments
 * copied at call time (strings are copied, so a caller's buffer may change
 * after). The record goes to the printer, the binary log and the hook, and is
 * kept only while recording is on (see Recording, at the end). */
enum { KSH_TRACE_MAX_ARGS = 8 };
typedef struct ksh_trace_arg {
    char kind;     /* 'i' integer, 's' string, 'p' pointer */
    int32_t i;     /* kind 'i' */
    const void *p; /* kind 'p' */
    const char *s; /* kind 's': a copy owned by the recorder ("(null)" for null) */
} ksh_trace_arg;
typedef struct ksh_trace_record {
    const void *descriptor;
    int table; /* table number read from the table record, or -1 */
    uint32_t index;
    uint16_t module_id;
    uint32_t level;
    int packed; /* 1: came through trace_record_reserve/commit */
    int nargs;
    ksh_trace_arg args[KSH_TRACE_MAX_ARGS];
} ksh_trace_record;

/* The records kept, oldest first (i = 0); a record stays where it is until
 * it is dropped or cleared. */
KSH_EXPORT size_t ksh_trace_count(void);
KSH_EXPORT const ksh_trace_record *ksh_trace_at(size_t i);
/* Wipes and forgets every record kept and the drop count. */
KSH_EXPORT void ksh_trace_clear(void);
/* Records dropped (oldest first, to make room) since the last clear. */
KSH_EXPORT uint64_t ksh_trace_dropped(void);
/* Renders a record as text from the catalogue in the library file (read
 * once per library file, found through the loaded object that holds the
 * record's descriptor): the message text with the captured arguments in
 * place, printf style (%d %c %s %p %02X %-5d ...). The catalogue stores every
 * text behind one space that separates the stored texts; that space is not
 * part of the message and is not rendered. Writes a NUL-terminated text and
 * returns its length (cut to len - 1), or -1 when no text is known or the
 * arguments do not fit the text. */
KSH_EXPORT int ksh_trace_render(const ksh_trace_record *record, char *buf, size_t len);
/* Print each trace as it comes (also KSH_TRACE=1): the rendered text followed
 * by one newline; a trace without a known text prints one line naming its
 * table, index, module and level instead. */
KSH_EXPORT void ksh_trace_set_print(int on);
/* Where printed traces go; null (the default) is stderr. */
KSH_EXPORT void ksh_trace_set_print_stream(FILE *stream);
/* Append each trace, binary, to a file (also KSH_TRACE_BINARY=path); a new or
 * empty file gets a header first. Null closes the log. Returns 0, or -1 when
 * the file cannot be opened or written. tools/ks_trace_decode turns the log
 * and the library file into the lines ksh_trace_set_print prints.
 * Layout, every integer little-endian, no padding:
 *   header: "KSTB", u16 version 1, u16 0
 *   record: u32 size of the rest, u16 table (0xFFFF unknown), u16 flags
 *           (bit 0: reserve/commit record), u32 index, u32 message id (0
 *           unknown), u16 module id, u16 argument count, u32 level, then per
 *           argument a kind byte and: 'i' i32; 'p' u64; 's' u32 n, n bytes. */
KSH_EXPORT int ksh_trace_set_binary_log(const char *path);
/* Called after every trace is made (and kept, when recording is on), with
 * the record, which it must not keep: the hook may change process state (a
 * mode flag, say) between two traces of a running operation. Works whether
 * recording is on or off. Null removes it. */
typedef void (*ksh_trace_hook)(void *ctx, const ksh_trace_record *record);
KSH_EXPORT void ksh_trace_set_hook(ksh_trace_hook hook, void *ctx);

/* ---- Error messages ------------------------------------------------------
 * sys_message_emit prints one line per message:
 *   %FACILITY-SEVERITY-MNEMONIC: text
 * where SEVERITY is bits 16 to 19 of the definition's flags and the text is
 * the format text as it stands (the call carries no arguments). Every call
 * adds one to the definition's per-message word. A definition with a throttle
 * record (first word: interval in milliseconds) prints at most one line per
 * interval; calls within the interval are held back and counted, and the next
 * line printed after the interval ends with " (N held back)". The facility
 * keeps the time of its last line (low 32 bits of the millisecond clock) and
 * the count held back since in the record's second and third words. While
 * recording is on, every message emitted (not held back) is kept. */
KSH_EXPORT size_t ksh_message_count(void);        /* kept */
KSH_EXPORT const void *ksh_message_at(size_t i);  /* the definition; i = 0 oldest */
KSH_EXPORT uint64_t ksh_message_dropped(void);    /* dropped to make room since the last clear */
KSH_EXPORT uint64_t ksh_message_suppressed(void); /* held back by throttling since the last clear */
/* Held back since this definition's last printed line. */
KSH_EXPORT uint64_t ksh_message_held_back(const void *definition);
/* Forgets the recorded messages, the drop count and every definition's
 * throttle state, and sets the per-message words of the definitions seen back
 * to 0. */
KSH_EXPORT void ksh_message_clear(void);
/* Print emitted messages (default on), to stream (null: stderr). */
KSH_EXPORT void ksh_message_set_print(int on);
KSH_EXPORT void ksh_message_set_print_stream(FILE *stream);
/* The millisecond clock of the throttle; null restores the monotonic clock. */
typedef uint64_t (*ksh_clock_fn)(void);
KSH_EXPORT void ksh_message_set_clock(ksh_clock_fn now_ms);

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
 * writes up to max family numbers (of the first 256, the ones kept). */
KSH_EXPORT size_t ksh_hw_query_log(uint32_t *families, size_t max);
KSH_EXPORT void ksh_hw_query_log_clear(void);

/* ---- PAC notifications ---------------------------------------------------
 * A host process installs its own handlers; every notification is also
 * kept while recording is on. */
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
KSH_EXPORT uint64_t ksh_pac_events_dropped(void);

/* ---- Subsystem framework -------------------------------------------------- */
KSH_EXPORT size_t ksh_subsystem_count(void);
KSH_EXPORT const void *ksh_subsystem_at(size_t i);
/* Name of a registered header (its second word). */
KSH_EXPORT const char *ksh_subsystem_name(size_t i);
/* Starts the platform: runs every registered header's initialisation
 * function once, in class order (ties in registration order). */
KSH_EXPORT void ksh_platform_start(void);
/* Forgets which headers have run, so that the next ksh_platform_start runs
 * every one again (for tests that start the platform more than once). */
KSH_EXPORT void ksh_platform_reset_started(void);

/* ---- Service registry framework ------------------------------------------
 * service_registry_init accepts a block whose descriptor names list services
 * only (count and service-kind table agree, list_service_ops) and whose size
 * holds its slots; it answers 1, or 0 for a block it refuses. A list
 * service's slot holds null or a list header; subscribing creates the header
 * on first use and appends a node. The walk count of a list header counts the
 * walks under way: a walker raises it, and service_registry_release_list ends
 * one walk and lowers it. A node unsubscribed while a walk is under way is
 * passed over from then on and released when the last walk ends. Bit 7 of a
 * node's flag byte is the framework's own; bit 0 (KS_LIST_NODE_SKIP) makes
 * walkers pass the node over. Headers and nodes come from the C library's
 * allocator, not the tagged one. */
typedef void (*ksh_service_fn)(void);
/* Appends fn with the flags (bit 7 ignored); 1, or 0 for a null slot or fn. */
KSH_EXPORT int ksh_registry_subscribe(void *slot, ksh_service_fn fn, uint8_t flags);
/* Removes the first node of fn; 1, or 0 when fn is not subscribed. */
KSH_EXPORT int ksh_registry_unsubscribe(void *slot, ksh_service_fn fn);
/* Subscribed functions in the slot's list (unsubscribed ones not counted). */
KSH_EXPORT size_t ksh_registry_subscriber_count(const void *slot);
/* Gives the slot an empty list header (no nodes). */
KSH_EXPORT int ksh_registry_make_empty_list(void *slot);
/* Drops the slot's list and every node; the slot becomes null. */
KSH_EXPORT void ksh_registry_clear(void *slot);
/* service_registry_release_list calls since the process began. */
KSH_EXPORT uint64_t ksh_registry_release_count(void);
/* Registry blocks accepted by service_registry_init, in order, each once. */
KSH_EXPORT size_t ksh_registry_init_count(void);
KSH_EXPORT const void *ksh_registry_init_at(size_t i);

/* ---- Recording -------------------------------------------------------------
 * The trace records, the error messages, the show builder's call log and the
 * PAC notifications are kept for tests and tools that read them back, and
 * only when asked: recording is off unless KSH_RECORD=1 is in the
 * environment (read when the first record could be made) or
 * ksh_set_recording turns it on. A process that never turns it on keeps no record, however long it runs;
 * printing, the binary log, the hooks and the handlers work either way.
 * While recording is on, each of the four keeps at most the capacity's most
 * recent records (KSH_RECORD_CAPACITY, or KSH_RECORD_DEFAULT_CAPACITY): when
 * one is full, its oldest record is dropped and counted (ksh_trace_dropped,
 * ksh_message_dropped, ksh_showmsg_calls_dropped, ksh_pac_events_dropped).
 * Dropped and cleared records are wiped first: a trace's copied arguments can
 * hold derived key bytes. */
#define KSH_RECORD_DEFAULT_CAPACITY 16384
/* Records per recorder from now; 0 turns recording off. Each recorder
 * holding more than capacity drops its oldest down to it (so 0 wipes every
 * record). Wins over the environment. */
KSH_EXPORT void ksh_set_recording(size_t capacity);
/* The capacity in force; 0 while recording is off. */
KSH_EXPORT size_t ksh_recording(void);

/* Clears every recorder (traces, messages, PAC events, hardware query log)
 * and every fault; leaves settings (recording among them) and live blocks
 * alone. */
KSH_EXPORT void ksh_reset_recorders(void);

#if defined(__cplusplus)
}
#endif

#endif
