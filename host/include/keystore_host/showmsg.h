// SPDX-License-Identifier: Apache-2.0
/*
 * The host platform's show-message builder: the message model behind the
 * showmsg_ operations and vstring_assign, and the controls a host process or
 * a test uses to create reply containers, read the built message back, render
 * it, and fail builder operations on purpose.
 *
 * Model. A reply container holds one message: three flags (ks_use_sw_ks,
 * ks_is_hw_ks, ks_is_empty), each unset until a setter runs, and an ordered
 * list of elements. An element has an index, a type, a validity flag (each
 * unset until set) and a value (a byte string, unset until assigned).
 *
 * Context words. ctx0 of every builder operation names the reply container
 * (the value returned by ksh_showmsg_reply_new); ctx1 is the caller's and is
 * only recorded. showmsg_elem_create with a ctx0 that names no live reply
 * returns null.
 *
 * Ownership. An element appended to a message belongs to that message. An
 * element created but not appended (nor destroyed) stays with the builder,
 * attached to the reply its ctx0 named, and is released with that reply.
 * showmsg_elem_destroy releases an element wherever it is (unlinking it from
 * a message list if it was appended). ksh_showmsg_reply_free releases the
 * message, its elements and the reply's unattached elements.
 *
 * Errors. Every operation with an error word sets it: 0 on success, the
 * injected word on an injected failure (the operation then changes nothing),
 * or one of the KSH_SHOWMSG_E* words below when it is handed an object the
 * builder does not know (a destroyed element, a foreign message, a value
 * field of no live element) or appends an element twice.
 *
 * Memory of the builder is the host's own, not the tagged allocator's: it
 * does not show in the allocator's live counts.
 */
#ifndef KEYSTORE_HOST_SHOWMSG_H
#define KEYSTORE_HOST_SHOWMSG_H

#include <stddef.h>
#include <stdint.h>

#include "keystore_host/host.h"

#if defined(__cplusplus)
extern "C" {
#endif

/* Error words the builder sets by itself. */
#define KSH_SHOWMSG_EBADOBJ 0x5301   /* unknown reply, message, element or value field */
#define KSH_SHOWMSG_EAPPENDED 0x5302 /* element already in a message list */

typedef struct ksh_showmsg_reply ksh_showmsg_reply;

/* Builder operations, for fault injection, hooks and the call log. */
typedef enum ksh_showmsg_op {
    KSH_SHOWMSG_GET_MESSAGE = 0,
    KSH_SHOWMSG_SET_USE_SW_KS,
    KSH_SHOWMSG_SET_IS_HW_KS,
    KSH_SHOWMSG_SET_IS_EMPTY,
    KSH_SHOWMSG_ELEM_CREATE,
    KSH_SHOWMSG_ELEM_SET_INDEX,
    KSH_SHOWMSG_ELEM_GET_VALUE,
    KSH_SHOWMSG_ELEM_SET_VALID,
    KSH_SHOWMSG_ELEM_SET_TYPE,
    KSH_SHOWMSG_LIST_APPEND,
    KSH_SHOWMSG_ELEM_DESTROY,
    KSH_SHOWMSG_VSTRING_ASSIGN,
    KSH_SHOWMSG_OP_COUNT
} ksh_showmsg_op;

/* The operation's platform name ("showmsg_elem_create", "vstring_assign"). */
KSH_EXPORT const char *ksh_showmsg_op_name(ksh_showmsg_op op);

/* ---- Reply containers ----------------------------------------------------- */

/* A new reply container with an empty message (flags unset, no element).
 * Pass it as the reply and, cast to uintptr_t, as ctx0. Released with
 * ksh_showmsg_reply_free; null when out of memory. */
KSH_EXPORT ksh_showmsg_reply *ksh_showmsg_reply_new(void);
/* Releases the reply, its message with every appended element, and every
 * element still attached to it unappended. Accepts null. */
KSH_EXPORT void ksh_showmsg_reply_free(ksh_showmsg_reply *reply);
/* The message as showmsg_get_message hands it out. */
KSH_EXPORT const void *ksh_showmsg_message(const ksh_showmsg_reply *reply);
/* Number of successful showmsg_get_message calls for this reply. */
KSH_EXPORT uint32_t ksh_showmsg_taken(const ksh_showmsg_reply *reply);

/* ---- Reading the message back --------------------------------------------- */

typedef enum ksh_showmsg_flag {
    KSH_SHOWMSG_FLAG_USE_SW_KS = 0,
    KSH_SHOWMSG_FLAG_IS_HW_KS,
    KSH_SHOWMSG_FLAG_IS_EMPTY
} ksh_showmsg_flag;

/* 1 and *value (may be null) the flag as set; 0 when the flag was never set. */
KSH_EXPORT int ksh_showmsg_flag_get(const ksh_showmsg_reply *reply, ksh_showmsg_flag flag, int32_t *value);

/* One element as read back. value points into the element (not terminated)
 * and stays valid until the element is changed or released. */
typedef struct ksh_showmsg_elem_view {
    uint32_t id; /* creation number within its reply, from 1 */
    int index_set;
    uint16_t index;
    int type_set;
    int32_t type;
    int valid_set;
    int32_t valid;
    int value_set;
    const uint8_t *value;
    uint32_t value_len;
} ksh_showmsg_elem_view;

/* Elements of the message list, in order. */
KSH_EXPORT size_t ksh_showmsg_elem_count(const ksh_showmsg_reply *reply);
/* 1 and *out filled, or 0 when i is out of range. */
KSH_EXPORT int ksh_showmsg_elem_at(const ksh_showmsg_reply *reply, size_t i, ksh_showmsg_elem_view *out);
/* Elements created under this reply and neither appended nor destroyed, in
 * creation order. */
KSH_EXPORT size_t ksh_showmsg_unattached_count(const ksh_showmsg_reply *reply);
KSH_EXPORT int ksh_showmsg_unattached_at(const ksh_showmsg_reply *reply, size_t i, ksh_showmsg_elem_view *out);
/* Elements alive in the whole process (appended or not). */
KSH_EXPORT uint64_t ksh_showmsg_live_elements(void);

/* ---- Rendering ------------------------------------------------------------
 * Both write at most len - 1 characters and a terminator (nothing when len is
 * 0) and return the full length of the text, like snprintf. Unset fields show
 * as "-" in the table and null in JSON. Value bytes outside printable ASCII
 * show as \xNN in the table and \u00NN in JSON. */

/* The flags, one per line, then an aligned table with the columns index,
 * ks_type, ks_is_valid and ks_val, one row per appended element. */
KSH_EXPORT int ksh_showmsg_render_table(const ksh_showmsg_reply *reply, char *buf, size_t len);
/* One line: {"ks_use_sw_ks":..,"ks_is_hw_ks":..,"ks_is_empty":..,
 * "keystore_elem_list":[{"index":..,"ks_type":..,"ks_is_valid":..,"ks_val":".."}]} */
KSH_EXPORT int ksh_showmsg_render_json(const ksh_showmsg_reply *reply, char *buf, size_t len);

/* ---- Faults and hooks ----------------------------------------------------- */

/* The nth call of op from now (1 = the next) fails: it changes nothing and
 * sets the error word to err_word (which should be non-zero); for
 * KSH_SHOWMSG_ELEM_CREATE the call returns null instead. nth 0 disarms.
 * One fault per operation; showmsg_elem_destroy cannot fail. */
KSH_EXPORT void ksh_showmsg_fail(ksh_showmsg_op op, uint32_t nth, int32_t err_word);

/* Called at the start of every builder operation, before any fault, with the
 * operation and its call number (from 1 since the last reset). A hook may
 * change process state (for instance a mode flag) but must not call the
 * builder. Null removes it. */
typedef void (*ksh_showmsg_hook)(void *ctx, ksh_showmsg_op op, uint32_t call_no);
KSH_EXPORT void ksh_showmsg_set_hook(ksh_showmsg_hook hook, void *ctx);

/* ---- Call log ------------------------------------------------------------- */

/* One builder call as it ended, kept while recording is on (see host.h), the
 * oldest dropped when the log is full. */
typedef struct ksh_showmsg_call {
    ksh_showmsg_op op;
    uint32_t call_no; /* per operation, from 1 since the last reset */
    uintptr_t ctx0, ctx1;
    uint32_t elem_id; /* the element concerned (created, for elem_create), or 0 */
    int has_arg;
    int32_t arg;  /* flag, index, validity or type; the length for vstring_assign */
    int has_err;  /* the operation has an error word */
    int32_t err;  /* the word it was left with */
    int injected; /* 1: failed on purpose */
} ksh_showmsg_call;

KSH_EXPORT size_t ksh_showmsg_call_count(void);
KSH_EXPORT const ksh_showmsg_call *ksh_showmsg_call_at(size_t i); /* i = 0 oldest */
/* Calls dropped to make room since the last reset. */
KSH_EXPORT uint64_t ksh_showmsg_calls_dropped(void);

/* Clears the call log (wiped) and its drop count, the call numbers, every
 * fault and the hook. Reply containers and their elements stay. */
KSH_EXPORT void ksh_showmsg_reset(void);

#if defined(__cplusplus)
}
#endif

#endif
