// SPDX-License-Identifier: Apache-2.0
// Trace facility: turns every trace into a record with its arguments copied
// at call time, hands it to the output (printing, binary log) and the hook,
// and keeps it only while recording is on.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "host/trace_text/catalog.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "recorder.h"
#include "trace_internal.h"

extern "C" const uint16_t trace_module_ids[32] = {
    0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109, 0x10A, 0x10B, 0x10C, 0x10D, 0x10E, 0x10F,
    0x110, 0x111, 0x112, 0x113, 0x114, 0x115, 0x116, 0x117, 0x118, 0x119, 0x11A, 0x11B, 0x11C, 0x11D, 0x11E, 0x11F};

namespace ksh {
namespace {

// One record and the copies of its string arguments, NUL-terminated one after
// the other in one block. The copies and the integers can be derived key
// bytes (the PAC derivation traces them), so both are wiped before they go.
struct Entry {
    ksh_trace_record rec{};
    std::unique_ptr<char[]> text;
    size_t text_len = 0;
    void wipe() {
        ksh::wipe(text.get(), text_len);
        ksh::wipe(&rec, sizeof rec);
    }
};

// A string argument as the caller passed it, until it is copied.
struct Span {
    const char *p = nullptr;
    size_t n = 0;
};

// The record buffer handed out by trace_record_reserve, preceded by who it is
// for, so that commit can find the message again.
struct Pending {
    const void *descriptor;
    uint32_t index;
    uint32_t size;
};

constinit Ring<Entry> g_records;
constinit ksh_trace_hook g_hook = nullptr;
constinit void *g_hook_ctx = nullptr;

void begin_record(Entry &e, const void *descriptor, uint32_t index, uint16_t module_id, uint32_t level, int packed) {
    e.rec.descriptor = descriptor;
    e.rec.table = table_of_descriptor(descriptor);
    e.rec.index = index;
    e.rec.module_id = module_id;
    e.rec.level = level;
    e.rec.packed = packed;
}

// Copies the string arguments (kind 's', spans[k]) into the entry's block.
void copy_strings(Entry &e, const Span *spans) {
    size_t total = 0;
    for (int k = 0; k < e.rec.nargs; ++k)
        if (e.rec.args[k].kind == 's') total += spans[k].n + 1;
    if (total == 0) return;
    e.text.reset(new (std::nothrow) char[total]);
    if (e.text == nullptr) {
        for (int k = 0; k < e.rec.nargs; ++k)
            if (e.rec.args[k].kind == 's') e.rec.args[k].s = "";
        return;
    }
    e.text_len = total;
    char *at = e.text.get();
    for (int k = 0; k < e.rec.nargs; ++k) {
        if (e.rec.args[k].kind != 's') continue;
        std::memcpy(at, spans[k].p, spans[k].n);
        at[spans[k].n] = '\0';
        e.rec.args[k].s = at;
        at += spans[k].n + 1;
    }
}

// One character per argument ('i', 's', 'p'); empty for a message without a
// known text.
std::string_view shape_for(const void *descriptor, uint32_t index) {
    const Catalog *c = catalog_for_descriptor(descriptor);
    const CatalogMessage *m = c ? c->find(table_of_descriptor(descriptor), index) : nullptr;
    return m ? std::string_view(m->shape) : std::string_view();
}

void finish_record(Entry &e, const Span *spans) {
    copy_strings(e, spans);
    on_trace_recorded(e.rec);
    if (g_hook) g_hook(g_hook_ctx, &e.rec);
}

}  // namespace

}  // namespace ksh

using namespace ksh;

extern "C" {

void trace_emit(const void *descriptor, uint32_t index, uint16_t module_id, uint32_t level, ...) {
    Entry local;
    Entry *kept = g_records.add();
    Entry &e = kept != nullptr ? *kept : local;
    begin_record(e, descriptor, index, module_id, level, 0);
    Span spans[KSH_TRACE_MAX_ARGS];
    const std::string_view shape = shape_for(descriptor, index);
    va_list ap;
    va_start(ap, level);
    int k = 0;
    for (char kind : shape) {
        if (k == KSH_TRACE_MAX_ARGS) break;
        ksh_trace_arg &a = e.rec.args[k];
        a.kind = kind == 's' || kind == 'p' ? kind : 'i';
        if (kind == 's') {
            const char *s = va_arg(ap, const char *);
            if (s == nullptr) s = "(null)";
            spans[k] = Span{s, std::strlen(s)};
        } else if (kind == 'p') {
            a.p = va_arg(ap, const void *);
        } else {
            a.i = va_arg(ap, int);
        }
        ++k;
    }
    va_end(ap);
    e.rec.nargs = k;
    finish_record(e, spans);
    local.wipe();
}

void *trace_record_reserve(const void *descriptor, uint32_t index, uint16_t, uint32_t, uint32_t size) {
    if (size > UINT32_MAX - sizeof(Pending)) return nullptr;
    auto *p = static_cast<Pending *>(std::calloc(1, sizeof(Pending) + size));
    if (p == nullptr) return nullptr;
    p->descriptor = descriptor;
    p->index = index;
    p->size = size;
    return p + 1;
}

void trace_record_commit(void *record, uint32_t size, uint16_t module_id, uint32_t level) {
    if (record == nullptr) return;
    Pending *p = static_cast<Pending *>(record) - 1;
    if (size > p->size) size = p->size;
    const unsigned char *b = static_cast<const unsigned char *>(record);
    Entry local;
    Entry *kept = g_records.add();
    Entry &e = kept != nullptr ? *kept : local;
    begin_record(e, p->descriptor, p->index, module_id, level, 1);
    Span spans[KSH_TRACE_MAX_ARGS];
    const std::string_view shape = shape_for(p->descriptor, p->index);
    uint32_t pos = 0;
    int k = 0;
    for (char kind : shape) {
        if (k == KSH_TRACE_MAX_ARGS) break;
        if (kind == 's') {
            uint32_t n = 0;
            if (size - pos < 4) break;
            std::memcpy(&n, b + pos, 4);
            pos += 4;
            if (n > size - pos) break;
            e.rec.args[k].kind = 's';
            spans[k] = Span{reinterpret_cast<const char *>(b + pos), n};
            pos += n;
        } else if (kind == 'p') {
            if (size - pos < sizeof(void *)) break;
            e.rec.args[k].kind = 'p';
            std::memcpy(&e.rec.args[k].p, b + pos, sizeof(void *));
            pos += sizeof(void *);
        } else {
            if (size - pos < 4) break;
            e.rec.args[k].kind = 'i';
            std::memcpy(&e.rec.args[k].i, b + pos, 4);
            pos += 4;
        }
        ++k;
    }
    e.rec.nargs = k;
    finish_record(e, spans);
    local.wipe();
    wipe(p, sizeof(Pending) + p->size);
    std::free(p);
}

size_t ksh_trace_count(void) { return g_records.size(); }

const ksh_trace_record *ksh_trace_at(size_t i) {
    Entry *e = g_records.at(i);
    return e != nullptr ? &e->rec : nullptr;
}

void ksh_trace_clear(void) { g_records.clear(); }

uint64_t ksh_trace_dropped(void) { return g_records.dropped(); }

void ksh_trace_set_hook(ksh_trace_hook hook, void *ctx) {
    g_hook = hook;
    g_hook_ctx = ctx;
}

}  // extern "C"
