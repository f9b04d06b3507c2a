// SPDX-License-Identifier: Apache-2.0
// ks_trace_decode LOG LIBRARY
//
// Prints the traces of a binary trace log written by the host platform
// (KSH_TRACE_BINARY=path or ksh_trace_set_binary_log) as text, using the
// trace catalogue stored in the library file that emitted them. The output is
// byte for byte what the host prints live with KSH_TRACE=1: one line per
// trace. A record whose message id differs from the library file's is still
// printed, with a warning on stderr, since the log then most likely comes from
// another build of the library.
//
// Exit status: 0 when every record was decoded (and for --help), 1 when a
// record's message was not in the catalogue or did not match it, 2 when the
// log or the library file could not be read or the arguments were wrong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/trace_text/binlog.h"
#include "host/trace_text/catalog.h"
#include "host/trace_text/render.h"

namespace {

const char kUsage[] =
    "usage: ks_trace_decode LOG LIBRARY\n"
    "  LOG      binary trace log (KSH_TRACE_BINARY)\n"
    "  LIBRARY  the library file that emitted the traces (libkeystore.so)\n";

// Whether the file can be read; when not, says why on stderr. A directory
// opens but cannot be read.
bool readable(const char *path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    const int err = fd < 0 ? errno : fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (fd >= 0) close(fd);
    if (err != 0) std::fprintf(stderr, "ks_trace_decode: cannot read %s: %s\n", path, std::strerror(err));
    return err == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!readable(argv[1]) || !readable(argv[2])) return 2;
    ksh::Catalog catalog;
    if (!ksh::load_catalog(argv[2], catalog)) {
        std::fprintf(stderr, "ks_trace_decode: %s has no readable trace catalogue\n", argv[2]);
        return 2;
    }
    int status = 0;
    size_t n = 0;
    std::string error;
    bool ok = ksh::binlog_read(
        argv[1],
        [&](const ksh_trace_record &rec, uint32_t id) {
            const ksh::CatalogMessage *m = catalog.find(rec.table, rec.index);
            if (m == nullptr) {
                status = 1;
            } else if (id != 0 && id != m->id) {
                std::fprintf(stderr, "ks_trace_decode: record %zu: message id %08x, the library file has %08x\n", n, id,
                             m->id);
                status = 1;
            }
            std::string line = ksh::trace_line(&catalog, rec);
            std::fwrite(line.data(), 1, line.size(), stdout);
            ++n;
        },
        error);
    if (!ok) {
        std::fprintf(stderr, "ks_trace_decode: %s\n", error.c_str());
        return 2;
    }
    return std::fflush(stdout) == 0 ? status : 2;
}
