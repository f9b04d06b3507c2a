// Trace facility: records every trace with its arguments copied at call time,
// and prints it when asked.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/trace_text/catalog.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "trace_internal.h"

extern "C" const uint16_t trace_module_ids[32] = {
    0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109, 0x10A, 0x10B, 0x10C, 0x10D, 0x10E, 0x10F,
    0x110, 0x111, 0x112, 0x113, 0x114, 0x115, 0x116, 0x117, 0x118, 0x119, 0x11A, 0x11B, 0x11C, 0x11D, 0x11E, 0x11F};

namespace ksh {
namespace {

struct Entry {
    ksh_trace_record rec{};
    std::string strings[KSH_TRACE_MAX_ARGS];
};

struct Pending {
    const void *descriptor;
    uint32_t index;
};

constinit std::vector<std::unique_ptr<Entry>> *g_records = nullptr;
constinit ksh_trace_hook g_hook = nullptr;
constinit void *g_hook_ctx = nullptr;

std::vector<std::unique_ptr<Entry>> &records() {
    if (g_records == nullptr) g_records = new std::vector<std::unique_ptr<Entry>>();  // lives for the process
    return *g_records;
}

Entry &begin_record(const void *descriptor, uint32_t index, uint16_t module_id, uint32_t level, int packed) {
    auto e = std::make_unique<Entry>();
    e->rec.descriptor = descriptor;
    e->rec.table = table_of_descriptor(descriptor);
    e->rec.index = index;
    e->rec.module_id = module_id;
    e->rec.level = level;
    e->rec.packed = packed;
    records().push_back(std::move(e));
    return *records().back();
}

void set_string(Entry &e, int k, const char *s, size_t n) {
    e.strings[k].assign(s, n);
    e.rec.args[k].kind = 's';
    e.rec.args[k].s = e.strings[k].c_str();
}

std::string shape_for(const void *descriptor, uint32_t index) {
    const Catalog *c = catalog_for_descriptor(descriptor);
    const CatalogMessage *m = c ? c->find(table_of_descriptor(descriptor), index) : nullptr;
    return m ? m->shape : std::string();
}

void finish_record(const Entry &e) {
    on_trace_recorded(e.rec);
    if (g_hook) g_hook(g_hook_ctx, &e.rec);
}

}  // namespace

}  // namespace ksh

using namespace ksh;

extern "C" {

void trace_emit(const void *descriptor, uint32_t index, uint16_t module_id, uint32_t level, ...) {
    std::string shape = shape_for(descriptor, index);
    Entry &e = begin_record(descriptor, index, module_id, level, 0);
    va_list ap;
    va_start(ap, level);
    int k = 0;
    for (char kind : shape) {
        if (k == KSH_TRACE_MAX_ARGS) break;
        ksh_trace_arg &a = e.rec.args[k];
        if (kind == 's') {
            const char *s = va_arg(ap, const char *);
            if (s == nullptr) s = "(null)";
            set_string(e, k, s, std::strlen(s));
        } else if (kind == 'p') {
            a.kind = 'p';
            a.p = va_arg(ap, const void *);
        } else {
            a.kind = 'i';
            a.i = va_arg(ap, int);
        }
        ++k;
    }
    va_end(ap);
    e.rec.nargs = k;
    finish_record(e);
}

void *trace_record_reserve(const void *descriptor, uint32_t index, uint16_t, uint32_t, uint32_t size) {
    // The record buffer is preceded by who it is for, so that commit can find
    // the message again.
    auto *p = static_cast<Pending *>(std::calloc(1, sizeof(Pending) + size + 1));
    if (p == nullptr) return nullptr;
    p->descriptor = descriptor;
    p->index = index;
    return p + 1;
}

void trace_record_commit(void *record, uint32_t size, uint16_t module_id, uint32_t level) {
    if (record == nullptr) return;
    Pending *p = static_cast<Pending *>(record) - 1;
    const unsigned char *b = static_cast<const unsigned char *>(record);
    std::string shape = shape_for(p->descriptor, p->index);
    Entry &e = begin_record(p->descriptor, p->index, module_id, level, 1);
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
            set_string(e, k, reinterpret_cast<const char *>(b + pos), n);
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
    std::free(p);
    finish_record(e);
}

size_t ksh_trace_count(void) { return g_records ? g_records->size() : 0; }

const ksh_trace_record *ksh_trace_at(size_t i) {
    if (g_records == nullptr || i >= g_records->size()) return nullptr;
    return &(*g_records)[i]->rec;
}

void ksh_trace_clear(void) {
    if (g_records) g_records->clear();
}

void ksh_trace_set_hook(ksh_trace_hook hook, void *ctx) {
    g_hook = hook;
    g_hook_ctx = ctx;
}

}  // extern "C"
