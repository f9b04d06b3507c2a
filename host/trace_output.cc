// Trace output: prints records to stderr when asked.
#include <cstdio>

#include "trace_internal.h"

namespace ksh {

void on_trace_recorded(const ksh_trace_record &rec) {
    if (!trace_printing()) return;
    char text[1024];
    if (ksh_trace_render(&rec, text, sizeof text) >= 0) {
        std::fprintf(stderr, "%s\n", text);
        return;
    }
    std::fprintf(stderr, "trace table %d message %u level 0x%X\n", rec.table, rec.index, rec.level);
}

}  // namespace ksh

extern "C" {

int ksh_trace_render(const ksh_trace_record *, char *buf, size_t len) {
    if (len > 0) buf[0] = '\0';
    return -1;
}

int ksh_trace_set_binary_log(const char *) { return -1; }

}  // extern "C"
