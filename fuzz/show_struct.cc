// Fuzz target: the structured show command over a fuzzed key table, with
// builder operations failing at fuzzed points, the mode turning to hardware
// at a fuzzed builder call and fuzzed allocation failures. Whatever happens:
// the table is unchanged, every handle copy is released, the builder is
// never handed an object it does not know, a failed builder call is followed
// by at most the destruction of the element in hand, and every appended
// element describes the table record at its index.
//
// Input: flags, record count, then per record a type selector, a name length
// and the name bytes; then fault triples (operation, call number, error
// word) until the input ends.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_show.h"
#include "keystore/ks_sw_keystore.h"
#include "fuzz_common.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_hw_seam.h"

namespace {

using fuzz::library_blocks;
using fuzz::Reader;

enum : uint8_t {
    kHardware = 0x01,    // the hardware keystore is selected from the start
    kHwAbsent = 0x02,    // the chip reports itself absent
    kTurnHw = 0x04,      // the mode turns to hardware at a fuzzed builder call
    kAllocFault = 0x08,  // one allocation fails
};

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "show_struct: %s\n", what);
        std::abort();
    }
}

using Bytes = std::vector<uint8_t>;

// The key types the command tells apart, and a few it does not know.
constexpr uint8_t kTypes[] = {1, 2, 3, 0x51, 0x52, 0x53, 0, 7, 0xFF, 2, 1};

struct Turn {
    uint32_t at;  // builder call number (all operations counted) at which the mode turns
    uint32_t seen = 0;
};

void turn_hook(void *ctx, ksh_showmsg_op, uint32_t) {
    auto *t = static_cast<Turn *>(ctx);
    if (++t->seen == t->at) ks_use_sw_ks = 0;
}

std::string hex_upper(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n && i < 127; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

bool value_is(const ksh_showmsg_elem_view &v, const std::string &text) {
    return v.value_set && v.value_len == text.size() &&
           (text.empty() || std::memcmp(v.value, text.data(), text.size()) == 0);
}

// An appended element against the handle at its index.
void check_element(const ksh_showmsg_elem_view &v, size_t i, const Bytes &handle) {
    check(v.index_set && v.index == static_cast<uint16_t>(i), "element index");
    check(v.valid_set, "element validity unset");
    const uint8_t type = handle[0];
    const uint8_t *name = handle.data() + 1;
    const size_t name_len = handle.size() - 1;
    switch (type) {
        case 1: case 0x51: case 0x52: case 0x53:
            check(v.valid == 1 && v.type_set && v.type == 0, "secret element");
            check(value_is(v, std::string(name, name + name_len)), "secret name");
            break;
        case 2:
            check(v.valid == 1 && v.type_set && v.type == 1, "PAC element");
            check(value_is(v, hex_upper(name, name_len)), "PAC A-ID text");
            break;
        case 3:
            check(v.valid == 1 && !v.type_set && !v.value_set, "type 3 element");
            break;
        default:
            check(v.valid == 0 && !v.type_set, "unknown-type element");
            check(value_is(v, "Unknown type " + std::to_string(type)), "unknown-type text");
    }
}

void reset() {
    ks_pac_cache_purge();
    static const uint8_t any = 0;
    ks_sym_key_prefix_purge(&any, 0);
    ks_use_sw_ks = 1;
    ks::hw_present_answer = 1;
    ksh_alloc_clear_faults();
    ksh_set_recording(KSH_RECORD_DEFAULT_CAPACITY);  // the builder calls and traces are checked
    ksh_showmsg_reset();
    ksh_reset_recorders();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::quiet_platform(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    reset();
    const uint64_t baseline = library_blocks();
    Reader in{data, size};
    const uint8_t flags = in.u8();
    const unsigned records = in.u8() % 48;

    // The table: handles as stored, in table order (a re-stored handle moves
    // to the end, so the table is read back rather than predicted).
    for (unsigned r = 0; r < records && in.left > 0; ++r) {
        const uint8_t sel = in.u8();
        Bytes handle{sel < 0xF0 ? kTypes[sel % sizeof kTypes] : sel};
        const unsigned name_len = in.u8() % 40;  // past 31 too: the command must cope
        for (unsigned k = 0; k < name_len; ++k) handle.push_back(in.u8());
        const uint8_t value = 0x42;
        check(ks_sw_store_sym_key(handle.data(), static_cast<uint32_t>(handle.size()), nullptr, 0, &value, 1,
                                  nullptr, 0) == 1,
              "store");
    }
    std::vector<Bytes> table;
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *e = ks_sym_keys[i];
        table.emplace_back(e->data, e->data + e->handle_len);
    }

    ks_use_sw_ks = (flags & kHardware) ? 0 : 1;
    ks::hw_present_answer = (flags & kHwAbsent) ? 0 : 1;
    Turn turn{0};
    if (flags & kTurnHw) {
        turn.at = 1 + in.u8() % 64;
        ksh_showmsg_set_hook(turn_hook, &turn);
    }
    if (flags & kAllocFault) ksh_alloc_fail_nth(1 + in.u8() % 64);
    while (in.left >= 3) {
        const auto op = static_cast<ksh_showmsg_op>(in.u8() % KSH_SHOWMSG_OP_COUNT);
        const uint32_t nth = 1 + in.u8() % 64;
        const int32_t err = 1 + in.u8();
        if (op != KSH_SHOWMSG_ELEM_DESTROY) ksh_showmsg_fail(op, nth, err);
    }

    const uint64_t elements_before = ksh_showmsg_live_elements();
    ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
    int32_t err = 0;
    qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 7, reply, &err);
    ksh_alloc_clear_faults();
    ksh_showmsg_set_hook(nullptr, nullptr);

    // The table is as it was, and every handle copy went back.
    check(ks_num_sym_keys == static_cast<int32_t>(table.size()), "table size changed");
    for (size_t i = 0; i < table.size(); ++i) {
        const ks_sym_key_entry *e = ks_sym_keys[i];
        check(e->handle_len == table[i].size() && std::memcmp(e->data, table[i].data(), table[i].size()) == 0,
              "table changed");
    }
    check(library_blocks() == baseline + table.size(), "a handle copy leaked");

    // The builder was only given objects it made, and a failure ended the
    // command: after it, at most the destruction of the element in hand.
    size_t first_failure = SIZE_MAX;
    for (size_t i = 0; i < ksh_showmsg_call_count(); ++i) {
        const ksh_showmsg_call *c = ksh_showmsg_call_at(i);
        check(c->ctx0 == reinterpret_cast<uintptr_t>(reply) && c->ctx1 == 7, "context words not passed on");
        check(!c->has_err || c->injected || c->err == 0, "builder handed an unknown or appended object");
        const bool failed = (c->has_err && c->err != 0) ||
                            (c->op == KSH_SHOWMSG_ELEM_CREATE && c->injected);
        if (first_failure != SIZE_MAX) {
            check(i == first_failure + 1 && c->op == KSH_SHOWMSG_ELEM_DESTROY, "builder used after a failure");
        } else if (failed) {
            first_failure = i;
        }
    }

    // Every appended element is the record at its index.
    const size_t appended = ksh_showmsg_elem_count(reply);
    check(appended <= table.size(), "more elements than records");
    for (size_t i = 0; i < appended; ++i) {
        ksh_showmsg_elem_view v;
        check(ksh_showmsg_elem_at(reply, i, &v) == 1, "element read back");
        check_element(v, i, table[i]);
    }
    // Without faults, a software walk lists every record.
    if (!(flags & (kHardware | kTurnHw | kAllocFault)) && ksh_showmsg_call_count() > 0 &&
        first_failure == SIZE_MAX) {
        check(appended == table.size(), "a record is missing");
        int32_t empty = 0;
        check(ksh_showmsg_flag_get(reply, KSH_SHOWMSG_FLAG_IS_EMPTY, &empty) == (table.empty() ? 1 : 0),
              "empty flag");
    }
    // Every trace has a text its arguments fit.
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        char text[1024];
        check(ksh_trace_render(ksh_trace_at(i), text, sizeof text) >= 0, "trace does not render");
    }

    ksh_showmsg_reply_free(reply);
    check(ksh_showmsg_live_elements() == elements_before, "builder elements left behind");
    reset();
    check(library_blocks() == baseline, "blocks left after the reset");
    return 0;
}
