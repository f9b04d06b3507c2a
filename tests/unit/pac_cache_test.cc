// The PAC cache: hits without keystore reads, loads on demand, the queue
// operations, the owned records, and the two TLV return operations.
#include <cstring>
#include <string>

#include "keystore/ks_modes.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

constexpr uint32_t kTagEntry = 0x04600090;
constexpr uint32_t kTagRecord = 0x0460FF10;  // test-made derived records

class PacCache : public KeystoreTest {};

struct ReturnOp {
    const char *name;
    int32_t (*fn)(const uint8_t *, uint32_t, uint8_t **, uint32_t *);
    const Bytes SamplePac::*tlv;
    uint32_t copy_tag;
    uint32_t bad_args, fetch_failed, malloc_failed;
};

const ReturnOp kOps[] = {
    {"opaque", ks_return_pac_opaque, &SamplePac::opaque, 0x04600098, KS_TR_PAC_OPAQUE_BAD_ARGS,
     KS_TR_PAC_OPAQUE_FETCH_FAILED, KS_TR_PAC_OPAQUE_MALLOC_FAILED},
    {"info", ks_return_pac_info, &SamplePac::info, 0x04600099, KS_TR_PAC_INFO_BAD_ARGS, KS_TR_PAC_INFO_FETCH_FAILED,
     KS_TR_PAC_INFO_MALLOC_FAILED},
};

// Calls the operation and returns its status and the copy it handed out.
std::pair<int32_t, Bytes> fetch(const ReturnOp &op, const Bytes &aid) {
    uint8_t *out = nullptr;
    uint32_t len = 0;
    int32_t status = op.fn(aid.data(), static_cast<uint32_t>(aid.size()), &out, &len);
    Bytes copy = out != nullptr ? Bytes(out, out + len) : Bytes{};
    tagged_free(out);
    return {status, copy};
}

// The PAC table's traces so far, each as index/argument: the retrieval
// errors at error level on module entry 24, the load's trace (with the
// status it names) and the split's at debug level on entry 2.
std::string traces() {
    std::string s;
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        const bool debug = r->index == KS_TR_PAC_LOAD_META_FAILED || r->index <= KS_TR_PAC_SPLIT_INCOMPLETE;
        EXPECT_EQ(r->table, 1);
        EXPECT_EQ(r->module_id, trace_module_ids[debug ? ks::kModuleFront : ks::kModulePacErr]);
        EXPECT_EQ(r->level, debug ? ks::kLevelDebug : ks::kLevelError);
        s += std::to_string(r->index) + (r->index == KS_TR_PAC_LOAD_META_FAILED ? "/" + std::to_string(r->args[0].i) : "") + " ";
    }
    ksh_trace_clear();
    return s;
}
std::string T(uint32_t index, int arg = -1) { return std::to_string(index) + (arg >= 0 ? "/" + std::to_string(arg) : "") + " "; }

// A key removed behind the cache's back stays answerable from the entry,
// with the copy the only allocation. After a purge (which touches no key and
// tells nobody) a miss reloads the entry from the metadata, appending.
TEST_F(PacCache, HitsWithoutKeystoreReadsAndReloadAfterPurge) {
    const SamplePac p = sample_pac("cached"), a = sample_pac("alpha"), b = sample_pac("beta");
    for (const SamplePac *s : {&p, &a, &b}) ASSERT_EQ(store(*s), KS_SUCCESS);
    ASSERT_EQ(ks_sw_delete_key(cat(Bytes{KS_KEY_TYPE_PAC}, p.aid).data(), p.aid.size() + 1), KS_SUCCESS);
    ksh_pac_events_clear();
    for (const ReturnOp &op : kOps) {
        uint64_t calls = ksh_alloc_calls();
        EXPECT_EQ(fetch(op, p.aid), std::make_pair(int32_t{KS_SUCCESS}, p.*op.tlv)) << op.name;
        EXPECT_EQ(ksh_alloc_calls(), calls + 1) << op.name;
    }
    ks_pac_cache_purge();
    EXPECT_EQ(ks_pac_cacheq[0], nullptr);
    EXPECT_EQ(ks_num_sym_keys, 2);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagEntry), 0u);
    for (const ReturnOp &op : kOps) EXPECT_EQ(fetch(op, b.aid), std::make_pair(int32_t{KS_SUCCESS}, b.*op.tlv)) << op.name;
    EXPECT_EQ(fetch(kOps[0], a.aid).first, KS_SUCCESS);
    auto entries = cache_entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entry_aid(entries[0]), b.aid);
    EXPECT_EQ(entry_aid(entries[1]), a.aid);
    EXPECT_EQ(traces(), "");
    EXPECT_EQ(ksh_pac_event_count(), 0u);
}

// A PAC that cannot be loaded stays stored and uncached; the load or the
// split traces its fault, then the fetch fails. Metadata over 65535 bytes is
// read back with its length cut to 16 bits and so cannot be loaded.
TEST_F(PacCache, UnloadablePacsTraceTheLoadThenTheFetch) {
    const Bytes op = tlv(KS_PAC_TLV_OPAQUE, bytes("o")), in = tlv(KS_PAC_TLV_INFO, bytes("i"));
    SamplePac big = sample_pac("big");
    big.opaque = tlv(KS_PAC_TLV_OPAQUE, Bytes(65000, 0x5A));
    big.info = tlv(KS_PAC_TLV_INFO, Bytes(600, 0x11));
    ASSERT_EQ(store(big), KS_SUCCESS);
    ks_pac_cache_purge();
    const struct {
        const char *what;
        bool stored;
        Bytes meta;
        std::string split_trace;
    } cases[] = {
        {"no such PAC", false, {}, T(KS_TR_PAC_LOAD_META_FAILED, KS_RECORD_NOT_FOUND)},
        {"no metadata", true, {}, T(KS_TR_PAC_LOAD_META_FAILED, KS_SUCCESS)},
        {"two opaques", true, cat(cat(op, op), in), T(KS_TR_PAC_SPLIT_MULTIPLE_OPAQUES)},
        {"truncated info", true, cat(op, Bytes(in.begin(), in.end() - 1)), T(KS_TR_PAC_SPLIT_BAD_INFO_LEN)},
    };
    for (const ReturnOp &r : kOps) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << r.name << ": " << c.what);
            clear_table();
            ASSERT_EQ(c.stored ? store_raw(KS_KEY_TYPE_PAC, bytes("raw"), bytes("key"), c.meta) : KS_SUCCESS, KS_SUCCESS);
            traces();
            uint8_t *out = reinterpret_cast<uint8_t *>(0x1);
            uint32_t len = 9;
            EXPECT_EQ(r.fn(bytes("raw").data(), 3, &out, &len), KS_UNKNOWN_FAILURE);
            EXPECT_TRUE(out == reinterpret_cast<uint8_t *>(0x1) && len == 9);
            EXPECT_EQ(traces(), c.split_trace + T(r.fetch_failed));
            EXPECT_EQ(pac_stored(bytes("raw")), c.stored);
            EXPECT_TRUE(cache_entries().empty());
        }
    }
    ASSERT_EQ(store(big), KS_SUCCESS);
    EXPECT_EQ(fetch(kOps[0], big.aid).second, big.opaque);  // from the cache
    ks_pac_cache_purge();
    traces();
    EXPECT_EQ(fetch(kOps[0], big.aid).first, KS_UNKNOWN_FAILURE);
    EXPECT_EQ(traces(), T(KS_TR_PAC_SPLIT_BAD_OPAQUE_LEN) + T(KS_TR_PAC_OPAQUE_FETCH_FAILED));
}

// Each bad argument is traced with all four arguments; on a standby the
// operations refuse first, without a trace.
TEST_F(PacCache, BadArgumentsAreTracedButStandbyComesFirst) {
    const Bytes aid = bytes("aid"), aid32(32, 'a');
    uint8_t *out = nullptr;
    uint32_t len = 0;
    const struct {
        const uint8_t *aid;
        uint32_t aid_len;
        uint8_t **out;
        uint32_t *len;
    } cases[] = {{nullptr, 3, &out, &len}, {aid.data(), 0, &out, &len}, {aid32.data(), 32, &out, &len},
                 {aid.data(), 3, nullptr, &len}, {aid.data(), 3, &out, nullptr}};
    for (const ReturnOp &op : kOps) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << op.name << " aid_len " << c.aid_len);
            EXPECT_EQ(op.fn(c.aid, c.aid_len, c.out, c.len), KS_INVAL_ARGS);
            ASSERT_EQ(ksh_trace_count(), 1u);
            const ksh_trace_record *r = ksh_trace_at(0);
            ASSERT_EQ(r->nargs, 4);
            const std::string kinds = {r->args[0].kind, r->args[1].kind, r->args[2].kind, r->args[3].kind};
            EXPECT_EQ(kinds, "pipp");
            const std::vector<const void *> want = {c.aid, c.out, c.len};
            EXPECT_EQ(std::vector<const void *>({r->args[0].p, r->args[2].p, r->args[3].p}), want);
            EXPECT_EQ(r->args[1].i, static_cast<int32_t>(c.aid_len));
            EXPECT_EQ(traces(), T(op.bad_args));
            ks_is_standby = 1;
            EXPECT_EQ(op.fn(c.aid, c.aid_len, c.out, c.len), KS_STDBY_NOT_SUPPORTED);
            EXPECT_EQ(traces(), "");
            ks_is_standby = 0;
        }
    }
    EXPECT_EQ(out, nullptr);
}

// The copy: NO_MEMORY after its trace, the entry stays. On a miss, each
// allocation of the load in turn: the metadata copy (the load's trace names
// NO_MEMORY) and the entry (the fetch fails without a load trace).
TEST_F(PacCache, AllocationFailuresOfTheReturnPaths) {
    const SamplePac p = sample_pac("mem");
    ASSERT_EQ(store(p), KS_SUCCESS);
    for (const ReturnOp &op : kOps) {
        SCOPED_TRACE(op.name);
        ksh_alloc_fail_tag(op.copy_tag);
        EXPECT_EQ(fetch(op, p.aid).first, KS_NO_MEMORY);
        ksh_alloc_clear_faults();
        EXPECT_EQ(traces(), T(op.malloc_failed));
        EXPECT_EQ(cache_entries().size(), 1u);
        for (uint64_t n = 1; n <= 2; ++n) {
            ks_pac_cache_purge();
            ksh_alloc_fail_nth(n);
            EXPECT_EQ(fetch(op, p.aid).first, KS_UNKNOWN_FAILURE);
            ksh_alloc_clear_faults();
            EXPECT_TRUE(cache_entries().empty());
            EXPECT_EQ(traces(), (n == 1 ? T(KS_TR_PAC_LOAD_META_FAILED, KS_NO_MEMORY) : "") + T(op.fetch_failed));
        }
        EXPECT_EQ(fetch(op, p.aid).first, KS_SUCCESS);
    }
}

TEST_F(PacCache, QueueOperationsKeepOneEntryPerAidInOrder) {
    const Bytes op = tlv(KS_PAC_TLV_OPAQUE, {}), in = tlv(KS_PAC_TLV_INFO, {});
    auto add = [&](const std::string &aid) {
        return pac_cache_add(bytes(aid).data(), aid.size(), op.data(), op.size(), in.data(), in.size());
    };
    auto remove = [](const std::string &aid) { pac_cache_remove(bytes(aid).data(), aid.size()); };
    auto order = [] {
        std::string s;
        for (auto *e : cache_entries()) s += std::string(e->aid, e->aid + e->aid_len) + ",";
        return s;
    };
    for (const char *aid : {"a", "ab", "abc", "b"}) ASSERT_NE(add(aid), nullptr);
    EXPECT_EQ(pac_cache_find(bytes("ab").data(), 2), cache_entries()[1]);  // length and bytes both count
    EXPECT_EQ(pac_cache_find(bytes("abd").data(), 3), nullptr);
    remove("ab");  // middle
    remove("b");   // tail: a later add must still append
    ASSERT_NE(add("c"), nullptr);
    remove("a");   // head
    remove("zz");  // absent: nothing happens
    ASSERT_NE(add("abc"), nullptr);  // re-add moves it to the tail
    EXPECT_EQ(order(), "c,abc,");
    ksh_alloc_fail_tag(kTagEntry);  // a failed add leaves the old entry removed
    EXPECT_EQ(add("c"), nullptr);
    ksh_alloc_clear_faults();
    EXPECT_EQ(order(), "abc,");
}

// A record as the derivations make it: one block, the fields, then the
// output, label and seed bytes, all non-zero so a missed wipe shows.
template <typename Record>
Record *make_record(uint16_t output_len, uint16_t label_len, uint16_t seed_len = 0) {
    size_t size = sizeof(Record) + output_len + label_len + seed_len;
    auto *r = static_cast<Record *>(tagged_calloc(kTagRecord, 1, size));
    std::memset(r, 0xEE, size);
    auto *bytes = reinterpret_cast<uint8_t *>(r + 1);
    r->output = bytes;
    r->output_len = output_len;
    r->label = bytes + output_len;
    r->label_len = label_len;
    if constexpr (requires { r->seed; }) {
        r->seed = bytes + output_len + label_len;
        r->seed_len = seed_len;
    }
    return r;
}

// Replaced, removed or purged, an entry and its records are wiped and freed.
TEST_F(PacCache, EntriesOwnTheirRecordsAndAreWipedWhenDropped) {
    const SamplePac p = sample_pac("owner");
    auto add = [&] {
        return pac_cache_add(p.aid.data(), p.aid.size(), p.opaque.data(), p.opaque.size(), p.info.data(), p.info.size());
    };
    std::function<void()> drops[] = {[&] { ASSERT_NE(add(), nullptr); },
                                     [&] { pac_cache_remove(p.aid.data(), p.aid.size()); }, ks_pac_cache_purge};
    for (auto &drop : drops) {
        pac_cache_entry *e = add();
        ASSERT_NE(e, nullptr);
        e->derived = make_record<pac_derived_secret>(20, 9, 33);
        e->mack = make_record<pac_shared_key>(20, 8);
        e->kek = make_record<pac_shared_key>(16, 7);
        ksh_alloc_check_cleansed(1);
        uint64_t before = ksh_alloc_uncleansed_frees();
        drop();
        EXPECT_EQ(ksh_alloc_uncleansed_frees(), before) << std::hex << ksh_alloc_last_uncleansed_tag();
        ksh_alloc_check_cleansed(0);
        EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagRecord), 0u);
        ks_pac_cache_purge();
    }
}

}  // namespace
}  // namespace kstest
