// SPDX-License-Identifier: Apache-2.0
// Trace output: renders records as text (to stderr or a chosen stream) and
// appends them, binary, to a log file, each when asked.
//
// Printed form: the message text as the catalogue in the library file gives
// it, with the captured arguments in place, followed by one newline. The
// catalogue's leading space is a separator of the stored catalogue, not part
// of the message, and is not printed. The offline decoder prints the same
// lines from a binary log (both use the renderer in trace_text/).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/trace_text/binlog.h"
#include "host/trace_text/catalog.h"
#include "host/trace_text/render.h"
#include "trace_internal.h"

namespace ksh {
namespace {

constinit int g_print = -1;                // -1: KSH_TRACE not read yet
constinit FILE *g_print_stream = nullptr;  // null: stderr
constinit bool g_binlog_env_read = false;
constinit FILE *g_binlog = nullptr;

bool printing() {
    if (g_print < 0) {
        const char *e = std::getenv("KSH_TRACE");
        g_print = (e != nullptr && e[0] != '\0' && e[0] != '0') ? 1 : 0;
    }
    return g_print == 1;
}

void close_binlog() {
    if (g_binlog != nullptr) std::fclose(g_binlog);
    g_binlog = nullptr;
}

// Opens path for appending; a new or empty file first gets the header.
int open_binlog(const char *path) {
    close_binlog();
    FILE *f = std::fopen(path, "ab");
    if (f == nullptr) return -1;
    std::fseek(f, 0, SEEK_END);  // where an append stream starts is left to the C library
    if (std::ftell(f) == 0 && (!binlog_write_header(f) || std::fflush(f) != 0)) {
        std::fclose(f);
        return -1;
    }
    g_binlog = f;
    return 0;
}

FILE *binlog() {
    if (!g_binlog_env_read) {
        g_binlog_env_read = true;
        const char *path = std::getenv("KSH_TRACE_BINARY");
        if (path != nullptr && path[0] != '\0' && g_binlog == nullptr && open_binlog(path) != 0)
            std::fprintf(stderr, "keystore host: cannot write the binary trace log %s\n", path);
    }
    return g_binlog;
}

// The message id the loaded table gives this record's message (entry i lies
// 16 + 6 * i bytes after the descriptor), or 0 when the message is unknown.
uint32_t message_id_of(const ksh_trace_record &rec, const Catalog *c) {
    if (rec.descriptor == nullptr || c == nullptr || c->find(rec.table, rec.index) == nullptr) return 0;
    uint32_t id;
    std::memcpy(&id, static_cast<const char *>(rec.descriptor) + 16 + 6 * static_cast<size_t>(rec.index), sizeof id);
    return id;
}

}  // namespace

void on_trace_recorded(const ksh_trace_record &rec) {
    bool print = printing();
    FILE *log = binlog();
    if (!print && log == nullptr) return;
    const Catalog *c = catalog_for_descriptor(rec.descriptor);
    if (print) {
        std::string line = trace_line(c, rec);
        FILE *out = g_print_stream != nullptr ? g_print_stream : stderr;
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
    }
    if (log != nullptr) {
        // Flushed record by record, so a log survives a process that aborts.
        if (!binlog_write_record(log, rec, message_id_of(rec, c)) || std::fflush(log) != 0) {
            std::fprintf(stderr, "keystore host: write error on the binary trace log; log closed\n");
            close_binlog();
        }
    }
}

}  // namespace ksh

using namespace ksh;

extern "C" {

int ksh_trace_render(const ksh_trace_record *record, char *buf, size_t len) {
    if (buf != nullptr && len > 0) buf[0] = '\0';
    if (record == nullptr || buf == nullptr || len == 0) return -1;
    const Catalog *c = catalog_for_descriptor(record->descriptor);
    const CatalogMessage *m = c != nullptr ? c->find(record->table, record->index) : nullptr;
    std::string text;
    if (m == nullptr || !render_message(*m, *record, text)) return -1;
    size_t n = text.size() < len - 1 ? text.size() : len - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

void ksh_trace_set_print(int on) { g_print = on ? 1 : 0; }

void ksh_trace_set_print_stream(FILE *stream) { g_print_stream = stream; }

int ksh_trace_set_binary_log(const char *path) {
    g_binlog_env_read = true;  // an explicit choice wins over the environment
    if (path == nullptr) {
        close_binlog();
        return 0;
    }
    return open_binlog(path);
}

}  // extern "C"
