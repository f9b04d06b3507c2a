// PAC records: store and replace, clear with its redundancy hook, existence,
// the two walks, the metadata split and the hardware-selected paths.
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "keystore/ks_hw.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_modes.h"
#include "ks_hw_seam.h"
#include "ks_pac_seam.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

class PacRecords : public KeystoreTest {};

TEST_F(PacRecords, StoreRefusesBadArgumentsAndHeaders) {
    using Edit = void (*)(SamplePac &);
    struct Case {
        const char *what;
        Edit edit;
        int null_arg;  // 1..4: pass that pointer (A-ID, key, opaque, info) as null
        int32_t want;
    } const cases[] = {
        {"empty A-ID", [](SamplePac &q) { q.aid.clear(); }, 0, KS_INVAL_ARGS},
        {"32-byte A-ID", [](SamplePac &q) { q.aid.assign(32, 'a'); }, 0, KS_INVAL_ARGS},
        {"empty PAC-Key", [](SamplePac &q) { q.key.clear(); }, 0, KS_INVAL_ARGS},
        {"empty PAC-Opaque", [](SamplePac &q) { q.opaque.clear(); }, 0, KS_INVAL_ARGS},
        {"empty PAC-Info", [](SamplePac &q) { q.info.clear(); }, 0, KS_INVAL_ARGS},
        {"opaque of type 3", [](SamplePac &q) { q.opaque[1] = 3; }, 0, KS_INVAL_ARGS},
        {"opaque type with bit 15", [](SamplePac &q) { q.opaque[0] = 0x80; }, 0, KS_INVAL_ARGS},
        {"opaque length field one short", [](SamplePac &q) { q.opaque.push_back(0); }, 0, KS_INVAL_ARGS},
        {"opaque length field one long", [](SamplePac &q) { q.opaque.pop_back(); }, 0, KS_INVAL_ARGS},
        {"opaque shorter than a header", [](SamplePac &q) { q.opaque = {0x00, 0x02, 0x00}; }, 0, KS_INVAL_ARGS},
        {"info of type 2", [](SamplePac &q) { q.info[1] = 2; }, 0, KS_INVAL_ARGS},
        {"info length field one short", [](SamplePac &q) { q.info.push_back(0); }, 0, KS_INVAL_ARGS},
        {"info shorter than a header", [](SamplePac &q) { q.info = {0x00, 0x09}; }, 0, KS_INVAL_ARGS},
        {"null A-ID", nullptr, 1, KS_INVAL_ARGS},
        {"null PAC-Key", nullptr, 2, KS_INVAL_ARGS},
        {"null PAC-Opaque", nullptr, 3, KS_INVAL_ARGS},
        {"null PAC-Info", nullptr, 4, KS_INVAL_ARGS},
        {"standby before arguments", [](SamplePac &q) { q.aid.clear(), ks_is_standby = 1; }, 0,
         KS_STDBY_NOT_SUPPORTED},
        {"31-byte A-ID, empty TLV values",
         [](SamplePac &q) {
             q.aid.assign(31, 'a');
             q.opaque = tlv(KS_PAC_TLV_OPAQUE, {});
             q.info = tlv(KS_PAC_TLV_INFO, {});
         },
         0, KS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        reset_keystore();
        SamplePac q = sample_pac("aid");
        if (c.edit != nullptr) c.edit(q);
        auto ptr = [&](int arg, const Bytes &b) { return c.null_arg == arg ? nullptr : b.data(); };
        EXPECT_EQ(ks_store_pac(ptr(1, q.aid), q.aid.size(), ptr(2, q.key), q.key.size(), ptr(3, q.opaque),
                               q.opaque.size(), ptr(4, q.info), q.info.size()),
                  c.want);
        const size_t stored = c.want == KS_SUCCESS ? 1 : 0;
        EXPECT_EQ(static_cast<size_t>(ks_num_sym_keys), stored);
        EXPECT_EQ(ksh_pac_event_count(), stored);
        EXPECT_EQ(cache_entries().size(), stored);
    }
}

// A re-store replaces key, metadata and cache entry, and is announced as an
// addition only.
TEST_F(PacRecords, StoreAndReplace) {
    const SamplePac first = sample_pac("srv", 1), other = sample_pac("other"), second = sample_pac("srv", 2);
    for (const SamplePac *p : {&first, &other, &second}) ASSERT_EQ(store(*p), KS_SUCCESS);

    ASSERT_EQ(ks_num_sym_keys, 2);  // the re-stored PAC moved to the end
    const ks_sym_key_entry *e = ks_sym_keys[1];
    EXPECT_EQ(Bytes(e->data, e->data + e->handle_len), cat(Bytes{KS_KEY_TYPE_PAC}, second.aid));
    EXPECT_EQ(Bytes(e->data + e->value_off, e->data + e->value_off + e->value_len), second.key);
    EXPECT_EQ(Bytes(e->data + e->meta_off, e->data + e->meta_off + e->meta_len), cat(second.opaque, second.info));
    EXPECT_EQ(pac_events(), (std::vector<std::pair<int, Bytes>>{{1, first.aid}, {1, other.aid}, {1, second.aid}}));

    auto entries = cache_entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entry_aid(entries[1]), second.aid);
    EXPECT_EQ(Bytes(entries[1]->opaque, entries[1]->opaque + entries[1]->opaque_len), second.opaque);
    EXPECT_EQ(Bytes(entries[1]->info, entries[1]->info + entries[1]->info_len), second.info);
}

// Every allocation of a store fails in turn: the store reports NO_MEMORY and
// leaves no trace of the PAC, except that a failed cache entry is only made
// later.
TEST_F(PacRecords, StoreUnderEveryAllocationFailure) {
    const SamplePac p = sample_pac("fault");
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        reset_keystore();
        uint64_t failed = ksh_alloc_failed_calls();
        ksh_alloc_fail_nth(n);
        int32_t status = store(p);
        ksh_alloc_clear_faults();
        if (ksh_alloc_failed_calls() == failed) {
            EXPECT_EQ(status, KS_SUCCESS);
            break;
        }
        if (status == KS_NO_MEMORY) {
            EXPECT_FALSE(pac_stored(p.aid));
            EXPECT_EQ(ksh_pac_event_count(), 0u);
            EXPECT_TRUE(cache_entries().empty());
        } else {
            // Only the cache entry could not be made: the PAC is stored and
            // its entry comes back on demand.
            ASSERT_EQ(status, KS_SUCCESS);
            EXPECT_TRUE(pac_stored(p.aid));
            EXPECT_EQ(ksh_pac_event_count(), 1u);
            EXPECT_TRUE(cache_entries().empty());
            uint8_t *out = nullptr;
            uint32_t len = 0;
            ASSERT_EQ(ks_return_pac_info(p.aid.data(), p.aid.size(), &out, &len), KS_SUCCESS);
            EXPECT_EQ(Bytes(out, out + len), p.info);
            tagged_free(out);
        }
        ASSERT_LT(n, 20u);
    }
}

TEST_F(PacRecords, ClearRemovesKeyAndEntryAndNotifiesEvenWithoutPac) {
    const SamplePac p = sample_pac("gone");
    ASSERT_EQ(store(p), KS_SUCCESS);
    ksh_pac_events_clear();

    EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), KS_SUCCESS);
    EXPECT_FALSE(pac_stored(p.aid));
    EXPECT_TRUE(cache_entries().empty());
    EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(pac_events(), (std::vector<std::pair<int, Bytes>>{{0, p.aid}, {0, p.aid}}));

    // Argument faults notify nobody; clear has no standby check.
    const Bytes aid32(32, 'x');
    EXPECT_EQ(ks_clear_pac(nullptr, 3), KS_INVAL_ARGS);
    EXPECT_EQ(ks_clear_pac(p.aid.data(), 0), KS_INVAL_ARGS);
    EXPECT_EQ(ks_clear_pac(aid32.data(), 32), KS_INVAL_ARGS);
    ks_is_standby = 1;
    EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ksh_pac_event_count(), 3u);
}

struct HaScript {
    static inline int32_t answer = KS_SUCCESS;
    static inline int calls = 0;
    static inline Bytes handle;
    static int32_t hook(const uint8_t *h, uint8_t len) {
        ++calls;
        handle.assign(h, h + len);
        return answer;
    }
};

TEST_F(PacRecords, ClearTellsTheStandbyUnlessRedundancyIsOff) {
    struct Case {
        int rf_disabled;
        bool stored;
        int32_t standby_answer;
        int32_t want;
        int want_calls;
    } const cases[] = {
        {0, true, KS_SUCCESS, KS_SUCCESS, 1},
        {0, true, KS_RECORD_NOT_FOUND, KS_SUCCESS, 1},
        {0, true, KS_HA_ERROR, KS_HA_ERROR, 1},
        {0, false, KS_SUCCESS, KS_RECORD_NOT_FOUND, 0},
        {1, true, KS_HA_ERROR, KS_SUCCESS, 0},
    };
    const SamplePac p = sample_pac("ha");
    auto *saved = ks::pac_ha_delete_key;
    ks::pac_ha_delete_key = HaScript::hook;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rf_disabled << c.stored << c.standby_answer);
        if (c.stored) {
            ASSERT_EQ(store(p), KS_SUCCESS);
        }
        ks_rf_disabled = c.rf_disabled;
        HaScript::answer = c.standby_answer;
        HaScript::calls = 0;
        EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), c.want);
        EXPECT_EQ(HaScript::calls, c.want_calls);
        if (c.want_calls != 0) {
            EXPECT_EQ(HaScript::handle, cat(Bytes{KS_KEY_TYPE_PAC}, p.aid));
        }
        EXPECT_FALSE(pac_stored(p.aid));
    }
    ks::pac_ha_delete_key = saved;
}

TEST_F(PacRecords, ExistsChecksStandbyThenArgumentsAndTheKeyType) {
    const Bytes aid = bytes("here"), secret = bytes("secret");
    ASSERT_EQ(store(sample_pac("here")), KS_SUCCESS);
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, secret, bytes("v")), KS_SUCCESS);  // a secret's name is no A-ID

    int32_t flag = 7;
    EXPECT_EQ(ks_pac_exists(aid.data(), 4, &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(ks_pac_exists(secret.data(), 6, &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(ks_snmp_pac_exists(aid.data(), 4), 1);
    EXPECT_EQ(ks_snmp_pac_exists(secret.data(), 6), 0);

    EXPECT_EQ(ks_pac_exists(aid.data(), 4, nullptr), KS_INVAL_ARGS);
    EXPECT_EQ(ks_pac_exists(nullptr, 4, &flag), KS_INVAL_ARGS);
    EXPECT_EQ(ks_pac_exists(aid.data(), 0, &flag), KS_INVAL_ARGS);
    EXPECT_EQ(ks_pac_exists(aid.data(), 32, &flag), KS_INVAL_ARGS);
    EXPECT_EQ(ks_snmp_pac_exists(aid.data(), 32), 0);
    ks_is_standby = 1;
    EXPECT_EQ(ks_pac_exists(nullptr, 0, nullptr), KS_STDBY_NOT_SUPPORTED);
    EXPECT_EQ(ks_snmp_pac_exists(aid.data(), 4), 0);
}

TEST_F(PacRecords, ByIndexWalkSkipsSecretsAndCountsAllKeys) {
    const SamplePac a = sample_pac("pac-a"), b = sample_pac("pac-bb");
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, bytes("s0"), bytes("v")), KS_SUCCESS);
    ASSERT_EQ(store(a), KS_SUCCESS);
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, bytes("s2"), bytes("v")), KS_SUCCESS);
    ASSERT_EQ(store(b), KS_SUCCESS);

    uint16_t index = 0;
    std::vector<std::pair<Bytes, uint16_t>> seen;
    int32_t status;
    for (;;) {
        uint8_t *aid = nullptr;
        uint32_t len = 0;
        status = ks_return_aid_by_index(&index, &aid, &len);
        if (status != KS_SUCCESS) break;
        seen.emplace_back(Bytes(aid, aid + len), index);
        tagged_free(aid);
        ASSERT_LT(seen.size(), 3u);
    }
    EXPECT_EQ(status, KS_NO_MORE_RECORDS);
    EXPECT_EQ(index, 4);  // untouched by the last call
    EXPECT_EQ(seen, (std::vector<std::pair<Bytes, uint16_t>>{{a.aid, 2}, {b.aid, 4}}));

    // A failed handle copy passes back unchanged, the index untouched.
    index = 1;
    uint8_t *aid = nullptr;
    uint32_t len = 0;
    ksh_alloc_fail_nth(1);
    EXPECT_EQ(ks_return_aid_by_index(&index, &aid, &len), KS_NO_MEMORY);
    EXPECT_EQ(index, 1);

    EXPECT_EQ(ks_return_aid_by_index(nullptr, &aid, &len), KS_INVAL_ARGS);
    EXPECT_EQ(ks_return_aid_by_index(&index, nullptr, &len), KS_INVAL_ARGS);
    ks_is_standby = 1;
    EXPECT_EQ(ks_return_aid_by_index(&index, &aid, nullptr), KS_INVAL_ARGS);  // arguments first
    EXPECT_EQ(ks_return_aid_by_index(&index, &aid, &len), KS_STDBY_NOT_SUPPORTED);
}

// Next A-ID after `from`, or "none".
std::string snmp_next(const Bytes &from, uint8_t size = 16) {
    uint8_t out[32] = {};
    uint8_t len = size;
    if (ks_snmp_get_next_pac(from.empty() ? nullptr : from.data(), from.size(), out, &len) != 1) return "none";
    return to_hex(out, len);
}

TEST_F(PacRecords, SnmpWalkOrdersRightAlignedUnsignedKeys) {
    for (const char *aid : {"\x61\x01\x63", "\x62", "\x61\x62", "\x80", "\x7f"})
        ASSERT_EQ(store(sample_pac(aid)), KS_SUCCESS);
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, bytes("\x70"), bytes("v")), KS_SUCCESS);
    ASSERT_EQ(store(sample_pac(std::string(20, 'z'))), KS_SUCCESS);  // known by its first 16 bytes
    const std::string z16 = to_hex(Bytes(16, 'z').data(), 16);

    const std::pair<std::string, std::string> steps[] = {
        {"", "62"},         {"00", "62"},        {"62", "7f"},   {"7f", "80"}, {"80", "6162"},
        {"ff", "6162"},     {"6162", "610163"},  {"610163", z16}, {z16, "none"},
    };
    for (const auto &[from, want] : steps) EXPECT_EQ(snmp_next(from_hex(from)), want) << from;

    EXPECT_EQ(snmp_next({}, 15), "none");
    uint8_t out[16], len = 16;
    const Bytes seventeen(17, 0x01);
    EXPECT_EQ(ks_snmp_get_next_pac(nullptr, 1, out, &len), 0);
    EXPECT_EQ(ks_snmp_get_next_pac(nullptr, 0, nullptr, &len), 0);
    EXPECT_EQ(ks_snmp_get_next_pac(seventeen.data(), 17, out, &len), 0);
    ks_is_standby = 1;  // no standby check
    EXPECT_EQ(snmp_next({}), "62");
    ksh_alloc_fail_nth(1);  // the walk ends at its first failure
    EXPECT_EQ(snmp_next({}), "none");
}

// 00 61 and 61 read as the same number: the one stored first wins.
TEST_F(PacRecords, SnmpWalkKeepsTheFirstOfEqualKeys) {
    const std::string padded("\0\x61", 2), plain("\x61");
    for (bool padded_first : {true, false}) {
        clear_table();
        ASSERT_EQ(store(sample_pac(padded_first ? padded : plain)), KS_SUCCESS);
        ASSERT_EQ(store(sample_pac(padded_first ? plain : padded)), KS_SUCCESS);
        EXPECT_EQ(snmp_next({}), padded_first ? "0061" : "61");
    }
}

struct SplitCase {
    const char *what;
    Bytes meta;
    int trace;  // -1: the split succeeds
    size_t opaque_at, opaque_len, info_at, info_len;
};

TEST_F(PacRecords, SplitFindsBothTlvsOrNamesTheFault) {
    const Bytes op = tlv(KS_PAC_TLV_OPAQUE, bytes("opq")), in = tlv(KS_PAC_TLV_INFO, bytes("info!"));
    const Bytes empty_op = tlv(KS_PAC_TLV_OPAQUE, {}), empty_in = tlv(KS_PAC_TLV_INFO, {});
    const SplitCase cases[] = {
        {"opaque, info", cat(op, in), -1, 0, 7, 7, 9},
        {"info, opaque", cat(in, op), -1, 9, 7, 0, 9},
        {"empty values", cat(empty_in, empty_op), -1, 4, 4, 0, 4},
        {"two infos", cat(cat(in, op), in), KS_TR_PAC_SPLIT_MULTIPLE_INFOS},
        {"two opaques", cat(cat(op, op), in), KS_TR_PAC_SPLIT_MULTIPLE_OPAQUES},
        {"only opaque", op, KS_TR_PAC_SPLIT_INCOMPLETE},
        {"only info", in, KS_TR_PAC_SPLIT_INCOMPLETE},
        {"nothing", {}, KS_TR_PAC_SPLIT_INCOMPLETE},
        {"unknown type", cat(tlv(3, {}), cat(op, in)), KS_TR_PAC_SPLIT_UNKNOWN_TYPE},
        {"opaque type with bit 15", cat(tlv(0x8002, {}), in), KS_TR_PAC_SPLIT_UNKNOWN_TYPE},
        {"opaque overruns", cat(in, tlv(KS_PAC_TLV_OPAQUE, bytes("opq"), 4)), KS_TR_PAC_SPLIT_BAD_OPAQUE_LEN},
        {"info overruns", cat(op, tlv(KS_PAC_TLV_INFO, bytes("i"), 2)), KS_TR_PAC_SPLIT_BAD_INFO_LEN},
        {"length field 0xffff", cat(tlv(KS_PAC_TLV_OPAQUE, {}, 0xffff), in), KS_TR_PAC_SPLIT_BAD_OPAQUE_LEN},
        {"a header's first byte left", cat(cat(op, in), {0x00}), KS_TR_PAC_SPLIT_INCOMPLETE},
        {"a header's type left", cat(cat(op, in), {0x00, 0x09}), KS_TR_PAC_SPLIT_INCOMPLETE},
        {"three header bytes left", cat(cat(op, in), {0x00, 0x02, 0x00}), KS_TR_PAC_SPLIT_INCOMPLETE},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.what);
        ksh_trace_clear();
        // An exact-size heap copy, so that a read past the end is caught by
        // the sanitizers.
        std::unique_ptr<uint8_t[]> meta(new uint8_t[c.meta.size() + 1]);
        if (!c.meta.empty()) std::memcpy(meta.get(), c.meta.data(), c.meta.size());
        const uint8_t *opaque = nullptr, *info = nullptr;
        uint32_t opaque_len = 0, info_len = 0;
        bool ok = pac_meta_split(meta.get(), static_cast<uint16_t>(c.meta.size()), &opaque, &opaque_len, &info,
                                 &info_len);
        if (c.trace < 0) {
            ASSERT_TRUE(ok);
            EXPECT_EQ(ksh_trace_count(), 0u);
            EXPECT_EQ(opaque - meta.get(), static_cast<ptrdiff_t>(c.opaque_at));
            EXPECT_EQ(opaque_len, c.opaque_len);
            EXPECT_EQ(info - meta.get(), static_cast<ptrdiff_t>(c.info_at));
            EXPECT_EQ(info_len, c.info_len);
            continue;
        }
        EXPECT_FALSE(ok);
        ASSERT_EQ(ksh_trace_count(), 1u);
        const ksh_trace_record *r = ksh_trace_at(0);
        EXPECT_EQ(r->table, 1);
        EXPECT_EQ(r->index, static_cast<uint32_t>(c.trace));
        EXPECT_EQ(r->module_id, trace_module_ids[ks::kModuleFront]);
        EXPECT_EQ(r->level, ks::kLevelDebug);
        EXPECT_EQ(r->nargs, 0);
    }
}

// With the hardware keystore selected: an absent chip gives NO_KEYSTORE and
// the error message; a present one answers through the contract's stubs,
// which write nothing.
TEST_F(PacRecords, HardwareSelectedPaths) {
    const SamplePac p = sample_pac("hw");
    uint16_t index = 0;
    uint8_t *aid_out = nullptr;
    uint32_t aid_len = 0;
    int32_t flag = 7;
    struct Case {
        const char *what;
        std::function<int32_t()> call;
        int32_t absent, present;
        size_t deleted_events_present;
    } const cases[] = {
        {"store", [&] { return store(p); }, KS_NO_KEYSTORE, KS_UNKNOWN_FAILURE, 0},
        {"clear", [&] { return ks_clear_pac(p.aid.data(), p.aid.size()); }, KS_NO_KEYSTORE, KS_SUCCESS, 1},
        {"exists", [&] { return ks_pac_exists(p.aid.data(), p.aid.size(), &flag); }, KS_NO_KEYSTORE, KS_SUCCESS, 0},
        {"snmp exists", [&] { return ks_snmp_pac_exists(p.aid.data(), p.aid.size()); }, 0, 0, 0},
        {"by index", [&] { return ks_return_aid_by_index(&index, &aid_out, &aid_len); }, KS_NO_KEYSTORE,
         KS_NO_MORE_RECORDS, 0},
        {"snmp next", [&] { return snmp_next({}) == "none" ? 0 : 1; }, 0, 0, 0},
        {"return info", [&] { return ks_return_pac_info(p.aid.data(), p.aid.size(), &aid_out, &aid_len); },
         KS_UNKNOWN_FAILURE, KS_UNKNOWN_FAILURE, 0},
    };
    for (int present : {0, 1}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << " present " << present);
            reset_keystore();
            ks_use_sw_ks = 0;
            ks::hw_present_answer = present;
            EXPECT_EQ(c.call(), present ? c.present : c.absent);
            EXPECT_EQ(ksh_message_count(), present ? 0u : 1u);
            if (!present) {
                EXPECT_EQ(ksh_message_at(0), static_cast<const void *>(&msg_KEYSTORE_NO_KEYSTORE));
            }
            EXPECT_EQ(ksh_pac_event_count(), present ? c.deleted_events_present : 0u);
            EXPECT_EQ(ks_num_sym_keys, 0);
            EXPECT_TRUE(cache_entries().empty());
        }
    }
    EXPECT_EQ(flag, 7);  // the stub wrote no flag
    EXPECT_EQ(index, 0);
    EXPECT_EQ(aid_out, nullptr);

    // The clear drops the cache entry before the delete, whatever it reports.
    ks::hw_present_answer = 0;
    ASSERT_NE(pac_cache_add(p.aid.data(), p.aid.size(), p.opaque.data(), p.opaque.size(), p.info.data(),
                            p.info.size()),
              nullptr);
    EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), KS_NO_KEYSTORE);
    EXPECT_TRUE(cache_entries().empty());
}

}  // namespace
}  // namespace kstest
