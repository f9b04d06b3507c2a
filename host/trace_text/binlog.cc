// SPDX-License-Identifier: Apache-2.0
#include "host/trace_text/binlog.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace ksh {
namespace {

void put16(std::string &b, uint16_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>(v >> 8));
}

void put32(std::string &b, uint32_t v) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

void put64(std::string &b, uint64_t v) {
    for (int k = 0; k < 8; ++k) b.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

// Bounds-checked little-endian reading of one buffer.
struct Reader {
    const unsigned char *p;
    size_t left;
    bool ok = true;

    uint64_t get(size_t n) {
        if (!ok || left < n) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (size_t k = 0; k < n; ++k) v |= static_cast<uint64_t>(p[k]) << (8 * k);
        p += n;
        left -= n;
        return v;
    }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    const char *bytes(size_t n) {
        if (!ok || left < n) {
            ok = false;
            return nullptr;
        }
        const char *r = reinterpret_cast<const char *>(p);
        p += n;
        left -= n;
        return r;
    }
};

}  // namespace

bool binlog_write_header(FILE *f) {
    std::string b(kBinlogMagic, sizeof kBinlogMagic);
    put16(b, kBinlogVersion);
    put16(b, 0);
    return std::fwrite(b.data(), 1, b.size(), f) == b.size();
}

bool binlog_write_record(FILE *f, const ksh_trace_record &r, uint32_t message_id) {
    std::string body;
    put16(body, r.table < 0 || r.table > 0xFFFE ? 0xFFFF : static_cast<uint16_t>(r.table));
    put16(body, r.packed ? kBinlogPacked : 0);
    put32(body, r.index);
    put32(body, message_id);
    put16(body, r.module_id);
    int nargs = r.nargs < 0 ? 0 : (r.nargs > KSH_TRACE_MAX_ARGS ? KSH_TRACE_MAX_ARGS : r.nargs);
    put16(body, static_cast<uint16_t>(nargs));
    put32(body, r.level);
    for (int k = 0; k < nargs; ++k) {
        const ksh_trace_arg &a = r.args[k];
        body.push_back(a.kind);
        if (a.kind == 's') {
            const char *s = a.s != nullptr ? a.s : "(null)";
            size_t n = std::strlen(s);
            put32(body, static_cast<uint32_t>(n));
            body.append(s, n);
        } else if (a.kind == 'p') {
            put64(body, reinterpret_cast<uintptr_t>(a.p));
        } else {
            put32(body, static_cast<uint32_t>(a.i));
        }
    }
    std::string rec;
    put32(rec, static_cast<uint32_t>(body.size()));
    rec += body;
    return std::fwrite(rec.data(), 1, rec.size(), f) == rec.size();
}

bool binlog_read(const std::string &path,
                 const std::function<void(const ksh_trace_record &, uint32_t message_id)> &visit, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Reader file{reinterpret_cast<const unsigned char *>(data.data()), data.size()};
    const char *magic = file.bytes(sizeof kBinlogMagic);
    uint16_t version = file.u16();
    file.u16();
    if (!file.ok || std::memcmp(magic, kBinlogMagic, sizeof kBinlogMagic) != 0) {
        error = path + ": not a binary trace log";
        return false;
    }
    if (version != kBinlogVersion) {
        error = path + ": binary trace log version " + std::to_string(version) + " is not understood";
        return false;
    }
    size_t count = 0;
    while (file.left > 0) {
        uint32_t size = file.u32();
        const char *raw = file.bytes(size);
        if (!file.ok) {
            error = path + ": record " + std::to_string(count) + " is cut short";
            return false;
        }
        Reader r{reinterpret_cast<const unsigned char *>(raw), size};
        ksh_trace_record rec{};
        std::string strings[KSH_TRACE_MAX_ARGS];
        uint16_t table = r.u16();
        rec.table = table == 0xFFFF ? -1 : table;
        rec.packed = (r.u16() & kBinlogPacked) ? 1 : 0;
        rec.index = r.u32();
        uint32_t id = r.u32();
        rec.module_id = r.u16();
        uint16_t nargs = r.u16();
        rec.level = r.u32();
        if (nargs > KSH_TRACE_MAX_ARGS) r.ok = false;
        for (int k = 0; r.ok && k < nargs; ++k) {
            ksh_trace_arg &a = rec.args[k];
            a.kind = static_cast<char>(r.get(1));
            if (a.kind == 's') {
                uint32_t n = r.u32();
                const char *s = r.bytes(n);
                if (s != nullptr) strings[k].assign(s, n);
                a.s = strings[k].c_str();
            } else if (a.kind == 'p') {
                a.p = reinterpret_cast<const void *>(static_cast<uintptr_t>(r.u64()));
            } else if (a.kind == 'i') {
                a.i = static_cast<int32_t>(r.u32());
            } else {
                r.ok = false;
            }
        }
        if (!r.ok) {
            error = path + ": record " + std::to_string(count) + " is malformed";
            return false;
        }
        rec.nargs = nargs;
        visit(rec, id);
        ++count;
    }
    return true;
}

}  // namespace ksh
