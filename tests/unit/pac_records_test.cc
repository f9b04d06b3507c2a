// PAC records: store and replace, clear with its redundancy hook, existence,
// the two walks, the metadata split and the hardware-selected paths.
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "keystore/ks_hw.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_modes.h"
#include "ks_hw_seam.h"
#include "ks_pac_seam.h"
#include "ks_vectors.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

using Events = std::vector<std::pair<int, Bytes>>;

class PacRecords : public KeystoreTest {};

// Cases in tests/data/pac_store.txt: only a valid store leaves a key, a
// notification and a cache entry.
TEST_F(PacRecords, StoreChecksStandbyArgumentsAndHeaders) {
    for (const DataRow &c : read_rows("pac_store.txt")) {
        SCOPED_TRACE(c[0]);
        reset_keystore();
        const Bytes aid = bytes(c[1]), key(std::stoul(c[2]), 0xA0), opaque = from_hex(c[3]), info = from_hex(c[4]);
        const int null_arg = std::stoi(c[5]);
        auto ptr = [&](int arg, const Bytes &b) { return null_arg == arg ? nullptr : b.data(); };
        ks_is_standby = c[6] == "STDBY_NOT_SUPPORTED";
        EXPECT_STREQ(ks_err_str(ks_store_pac(ptr(1, aid), aid.size(), ptr(2, key), key.size(), ptr(3, opaque),
                                             opaque.size(), ptr(4, info), info.size())),
                     c[6].c_str());
        const size_t stored = c[6] == "SUCCESS" ? 1 : 0;
        EXPECT_EQ(static_cast<size_t>(ks_num_sym_keys) + ksh_pac_event_count() + cache_entries().size(), 3 * stored);
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
    EXPECT_EQ(pac_events(), (Events{{1, first.aid}, {1, other.aid}, {1, second.aid}}));
    auto entries = cache_entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entry_aid(entries[1]), second.aid);
    EXPECT_EQ(Bytes(entries[1]->opaque, entries[1]->opaque + entries[1]->opaque_len), second.opaque);
    EXPECT_EQ(Bytes(entries[1]->info, entries[1]->info + entries[1]->info_len), second.info);
}

// Every allocation of a store fails in turn: NO_MEMORY and no trace of the
// PAC, except that a failed cache entry is only made later, on demand.
TEST_F(PacRecords, StoreUnderEveryAllocationFailure) {
    const SamplePac p = sample_pac("fault");
    for (uint64_t n = 1; n < 20; ++n) {
        SCOPED_TRACE(n);
        reset_keystore();
        uint64_t failed = ksh_alloc_failed_calls();
        ksh_alloc_fail_nth(n);
        int32_t status = store(p);
        ksh_alloc_clear_faults();
        if (ksh_alloc_failed_calls() == failed) {
            EXPECT_EQ(status, KS_SUCCESS);
            return;
        }
        const bool stored = status == KS_SUCCESS;
        EXPECT_TRUE(stored || status == KS_NO_MEMORY);
        EXPECT_EQ(pac_stored(p.aid), stored);
        EXPECT_EQ(ksh_pac_event_count(), stored ? 1u : 0u);
        EXPECT_TRUE(cache_entries().empty());
        uint8_t *out = nullptr;
        uint32_t len = 0;
        EXPECT_EQ(stored ? ks_return_pac_info(p.aid.data(), p.aid.size(), &out, &len) : KS_SUCCESS, KS_SUCCESS);
        EXPECT_EQ(Bytes(out, out + len), stored ? p.info : Bytes{});
        tagged_free(out);
    }
    FAIL() << "the store never completed";
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

// The cache entry goes and the deletion is announced even without a PAC; the
// standby hears of it unless redundancy is off, and its RECORD_NOT_FOUND
// counts as success. No standby check; argument faults notify nobody.
TEST_F(PacRecords, ClearNotifiesAndTellsTheStandby) {
    const struct {
        int rf_disabled;
        bool stored;
        int32_t standby_answer, want;
        int want_calls;
    } cases[] = {
        {0, true, KS_SUCCESS, KS_SUCCESS, 1},       {0, true, KS_RECORD_NOT_FOUND, KS_SUCCESS, 1},
        {0, true, KS_HA_ERROR, KS_HA_ERROR, 1},     {0, false, KS_SUCCESS, KS_RECORD_NOT_FOUND, 0},
        {1, true, KS_HA_ERROR, KS_SUCCESS, 0},
    };
    const SamplePac p = sample_pac("ha");
    auto *saved = ks::pac_ha_delete_key;
    ks::pac_ha_delete_key = HaScript::hook;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rf_disabled << c.stored << c.standby_answer);
        ASSERT_EQ(c.stored ? store(p) : KS_SUCCESS, KS_SUCCESS);
        ks_rf_disabled = c.rf_disabled;
        HaScript::answer = c.standby_answer;
        HaScript::calls = 0;
        ksh_pac_events_clear();
        EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), c.want);
        EXPECT_EQ(HaScript::calls, c.want_calls);
        EXPECT_EQ(HaScript::handle, c.want_calls ? cat(Bytes{KS_KEY_TYPE_PAC}, p.aid) : Bytes{});
        HaScript::handle.clear();
        EXPECT_FALSE(pac_stored(p.aid));
        EXPECT_TRUE(cache_entries().empty());
        EXPECT_EQ(pac_events(), (Events{{0, p.aid}}));
    }
    ks::pac_ha_delete_key = saved;
    ksh_pac_events_clear();
    ks_is_standby = 1;
    EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ksh_pac_event_count(), 1u);
}

TEST_F(PacRecords, ExistsChecksTheKeyType) {
    const Bytes aid = bytes("here"), secret = bytes("secret");
    ASSERT_EQ(store(sample_pac("here")), KS_SUCCESS);
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, secret, bytes("v")), KS_SUCCESS);  // a secret's name is no A-ID
    int32_t flag = 7;
    EXPECT_EQ(ks_pac_exists(aid.data(), 4, &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(ks_pac_exists(secret.data(), 6, &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(ks_snmp_pac_exists(aid.data(), 4) * 10 + ks_snmp_pac_exists(secret.data(), 6), 10);
}

// Over secret, PAC, secret, PAC: each call gives the next PAC's A-ID and the
// index past it; the index counts all keys.
TEST_F(PacRecords, ByIndexWalkSkipsSecretsAndCountsAllKeys) {
    const SamplePac a = sample_pac("pac-a"), b = sample_pac("pac-bb");
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, bytes("s0"), bytes("v")), KS_SUCCESS);
    ASSERT_EQ(store(a), KS_SUCCESS);
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, bytes("s2"), bytes("v")), KS_SUCCESS);
    ASSERT_EQ(store(b), KS_SUCCESS);
    uint16_t index = 0;
    std::vector<std::pair<Bytes, uint16_t>> seen;
    uint8_t *aid = nullptr;
    uint32_t len = 0;
    int32_t status;
    while ((status = ks_return_aid_by_index(&index, &aid, &len)) == KS_SUCCESS && seen.size() < 3) {
        seen.emplace_back(Bytes(aid, aid + len), index);
        tagged_free(aid);
    }
    EXPECT_EQ(status, KS_NO_MORE_RECORDS);
    EXPECT_EQ(seen, (std::vector<std::pair<Bytes, uint16_t>>{{a.aid, 2}, {b.aid, 4}}));
    EXPECT_EQ(index, 4);  // untouched by the last call
    index = 1;  // a failed handle copy passes back unchanged, the index untouched
    ksh_alloc_fail_nth(1);
    EXPECT_EQ(ks_return_aid_by_index(&index, &aid, &len), KS_NO_MEMORY);
    EXPECT_EQ(index, 1);
}

// Next A-ID after `from`, or "none".
std::string snmp_next(const Bytes &from, uint8_t size = 16) {
    uint8_t out[32] = {}, len = size;
    if (ks_snmp_get_next_pac(from.empty() ? nullptr : from.data(), from.size(), out, &len) != 1) return "none";
    return to_hex(out, len);
}

// Keys are right-aligned 16-byte numbers in unsigned byte order: 61 62 comes
// after 62 and before 61 01 63; 00 61 and 61 are equal, the first stored wins.
TEST_F(PacRecords, SnmpWalkOrdersRightAlignedUnsignedKeys) {
    for (const char *aid : {"\x61\x01\x63", "\x62", "\x61\x62", "\x80", "\x7f"}) ASSERT_EQ(store(sample_pac(aid)), KS_SUCCESS);
    ASSERT_EQ(store_raw(KS_KEY_TYPE_SECRET, bytes("\x70"), bytes("v")), KS_SUCCESS);
    ASSERT_EQ(store(sample_pac(std::string(20, 'z'))), KS_SUCCESS);  // known by its first 16 bytes
    const std::string z16 = to_hex(Bytes(16, 'z').data(), 16);
    const std::pair<std::string, std::string> steps[] = {
        {"", "62"},     {"00", "62"},       {"62", "7f"},        {"7f", "80"},  {"80", "6162"},
        {"ff", "6162"}, {"6162", "610163"}, {"610163", z16},     {z16, "none"},
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
    ks_is_standby = 0;
    for (bool padded_first : {true, false}) {
        clear_table();
        ASSERT_EQ(store(sample_pac(padded_first ? std::string("\0\x61", 2) : "\x61")), KS_SUCCESS);
        ASSERT_EQ(store(sample_pac(padded_first ? "\x61" : std::string("\0\x61", 2))), KS_SUCCESS);
        EXPECT_EQ(snmp_next({}), padded_first ? "0061" : "61");
    }
}

// Cases in tests/data/pac_split.txt; each failure names one debug trace.
TEST_F(PacRecords, SplitFindsBothTlvsOrNamesTheFault) {
    const std::map<std::string, uint32_t> traces = {
        {"MULTIPLE_INFOS", KS_TR_PAC_SPLIT_MULTIPLE_INFOS}, {"MULTIPLE_OPAQUES", KS_TR_PAC_SPLIT_MULTIPLE_OPAQUES},
        {"INCOMPLETE", KS_TR_PAC_SPLIT_INCOMPLETE},         {"UNKNOWN_TYPE", KS_TR_PAC_SPLIT_UNKNOWN_TYPE},
        {"BAD_OPAQUE_LEN", KS_TR_PAC_SPLIT_BAD_OPAQUE_LEN}, {"BAD_INFO_LEN", KS_TR_PAC_SPLIT_BAD_INFO_LEN}};
    for (const DataRow &c : read_rows("pac_split.txt")) {
        SCOPED_TRACE(c[0]);
        ksh_trace_clear();
        // An exact-size heap copy, so that a read past the end is caught by
        // the sanitizers.
        const Bytes m = from_hex(c[1]);
        std::unique_ptr<uint8_t[]> meta(new uint8_t[m.size() + 1]);
        std::copy(m.begin(), m.end(), meta.get());
        const uint8_t *opaque = nullptr, *info = nullptr;
        uint32_t opaque_len = 0, info_len = 0;
        bool ok = pac_meta_split(meta.get(), static_cast<uint16_t>(m.size()), &opaque, &opaque_len, &info, &info_len);
        ASSERT_EQ(ok, c[2] == "ok");
        if (ok) {
            EXPECT_EQ(ksh_trace_count(), 0u);
            EXPECT_EQ((std::vector<long>{opaque - meta.get(), opaque_len, info - meta.get(), info_len}),
                      (std::vector<long>{std::stol(c[3]), std::stol(c[4]), std::stol(c[5]), std::stol(c[6])}));
            continue;
        }
        ASSERT_EQ(ksh_trace_count(), 1u);
        const ksh_trace_record *r = ksh_trace_at(0);
        EXPECT_EQ(std::vector<uint32_t>({uint32_t(r->table), r->index, r->module_id, r->level, uint32_t(r->nargs)}),
                  std::vector<uint32_t>({1, traces.at(c[2]), trace_module_ids[ks::kModuleFront], ks::kLevelDebug, 0}));
    }
}

// With the hardware keystore selected: an absent chip gives NO_KEYSTORE and
// the error message; a present one answers through the contract's stubs,
// which write nothing.
TEST_F(PacRecords, HardwareSelectedPaths) {
    const SamplePac p = sample_pac("hw");
    uint16_t index = 0;
    uint8_t *out = nullptr;
    uint32_t out_len = 0;
    int32_t flag = 7;
    const struct {
        const char *what;
        std::function<int32_t()> call;
        int32_t absent, present;
        size_t deleted_events_present;
    } cases[] = {
        {"store", [&] { return store(p); }, KS_NO_KEYSTORE, KS_UNKNOWN_FAILURE, 0},
        {"clear", [&] { return ks_clear_pac(p.aid.data(), p.aid.size()); }, KS_NO_KEYSTORE, KS_SUCCESS, 1},
        {"exists", [&] { return ks_pac_exists(p.aid.data(), p.aid.size(), &flag); }, KS_NO_KEYSTORE, KS_SUCCESS, 0},
        {"snmp exists", [&] { return ks_snmp_pac_exists(p.aid.data(), p.aid.size()); }, 0, 0, 0},
        {"by index", [&] { return ks_return_aid_by_index(&index, &out, &out_len); }, KS_NO_KEYSTORE,
         KS_NO_MORE_RECORDS, 0},
        {"snmp next", [&] { return snmp_next({}) == "none" ? 0 : 1; }, 0, 0, 0},
        {"return info", [&] { return ks_return_pac_info(p.aid.data(), p.aid.size(), &out, &out_len); },
         KS_UNKNOWN_FAILURE, KS_UNKNOWN_FAILURE, 0},
    };
    for (int present : {0, 1}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << " present " << present);
            reset_keystore();
            ks_use_sw_ks = 0;
            ks::hw_present_answer = present;
            EXPECT_EQ(c.call(), present ? c.present : c.absent);
            EXPECT_EQ(ksh_message_count(), present ? 0u : 1u);
            EXPECT_EQ(ksh_message_at(0), present ? nullptr : static_cast<const void *>(&msg_KEYSTORE_NO_KEYSTORE));
            EXPECT_EQ(ksh_pac_event_count(), present ? c.deleted_events_present : 0u);
            EXPECT_EQ(ks_num_sym_keys, 0);
            EXPECT_TRUE(cache_entries().empty());
        }
    }
    EXPECT_EQ(flag + index, 7);  // the stubs wrote nothing
    EXPECT_EQ(out, nullptr);
    // The clear drops the cache entry before the delete, whatever it reports.
    ks::hw_present_answer = 0;
    ASSERT_NE(pac_cache_add(p.aid.data(), p.aid.size(), p.opaque.data(), p.opaque.size(), p.info.data(), p.info.size()),
              nullptr);
    EXPECT_EQ(ks_clear_pac(p.aid.data(), p.aid.size()), KS_NO_KEYSTORE);
    EXPECT_TRUE(cache_entries().empty());
}

}  // namespace
}  // namespace kstest
