// The PAC cache: hits without keystore reads, loads on demand, the queue
// operations, the owned records, and the two TLV return operations.
#include <cstring>
#include <string>

#include "keystore/ks_modes.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

constexpr uint32_t kTagEntry = 0x04600090;
constexpr uint32_t kTagOpaqueCopy = 0x04600098;
constexpr uint32_t kTagInfoCopy = 0x04600099;
constexpr uint32_t kTagRecord = 0x0460FF10;  // test-made derived records

class PacCache : public KeystoreTest {};

using ReturnFn = int32_t (*)(const uint8_t *, uint32_t, uint8_t **, uint32_t *);

struct ReturnOp {
    const char *name;
    ReturnFn fn;
    const Bytes SamplePac::*tlv;
    uint32_t copy_tag;
    uint32_t bad_args, fetch_failed, malloc_failed;
};

const ReturnOp kOps[] = {
    {"opaque", ks_return_pac_opaque, &SamplePac::opaque, kTagOpaqueCopy, KS_TR_PAC_OPAQUE_BAD_ARGS,
     KS_TR_PAC_OPAQUE_FETCH_FAILED, KS_TR_PAC_OPAQUE_MALLOC_FAILED},
    {"info", ks_return_pac_info, &SamplePac::info, kTagInfoCopy, KS_TR_PAC_INFO_BAD_ARGS,
     KS_TR_PAC_INFO_FETCH_FAILED, KS_TR_PAC_INFO_MALLOC_FAILED},
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

// Trace i is the PAC table's message `index`: the retrieval errors at error
// level on module entry 24, the load's trace at debug level on entry 2.
void expect_trace(size_t i, uint32_t index) {
    ASSERT_LT(i, ksh_trace_count());
    const ksh_trace_record *r = ksh_trace_at(i);
    const bool load = index == KS_TR_PAC_LOAD_META_FAILED;
    EXPECT_EQ(r->table, 1);
    EXPECT_EQ(r->index, index);
    EXPECT_EQ(r->module_id, trace_module_ids[load ? ks::kModuleFront : ks::kModulePacErr]);
    EXPECT_EQ(r->level, load ? ks::kLevelDebug : ks::kLevelError);
}

void expect_load_trace(size_t i, int32_t status) {
    expect_trace(i, KS_TR_PAC_LOAD_META_FAILED);
    ASSERT_EQ(ksh_trace_at(i)->nargs, 1);
    EXPECT_EQ(ksh_trace_at(i)->args[0].i, status);
}

TEST_F(PacCache, HitsAreServedWithoutReadingTheKeystore) {
    const SamplePac p = sample_pac("cached");
    ASSERT_EQ(store(p), KS_SUCCESS);
    // A key removed behind the cache's back stays answerable from the entry.
    ASSERT_EQ(ks_sw_delete_key(cat(Bytes{KS_KEY_TYPE_PAC}, p.aid).data(), p.aid.size() + 1), KS_SUCCESS);
    for (const ReturnOp &op : kOps) {
        SCOPED_TRACE(op.name);
        uint64_t calls = ksh_alloc_calls();
        auto [status, copy] = fetch(op, p.aid);
        EXPECT_EQ(status, KS_SUCCESS);
        EXPECT_EQ(copy, p.*op.tlv);
        EXPECT_EQ(ksh_alloc_calls(), calls + 1);  // the copy only
    }
    EXPECT_EQ(ksh_trace_count(), 0u);
    EXPECT_EQ(cache_entries().size(), 1u);
}

TEST_F(PacCache, PurgeEmptiesTheCacheAndAMissReloadsFromMetadata) {
    const SamplePac a = sample_pac("alpha"), b = sample_pac("beta");
    ASSERT_EQ(store(a), KS_SUCCESS);
    ASSERT_EQ(store(b), KS_SUCCESS);
    ksh_pac_events_clear();

    ks_pac_cache_purge();
    EXPECT_TRUE(cache_entries().empty());
    EXPECT_EQ(ks_pac_cacheq[0], nullptr);
    EXPECT_EQ(ks_num_sym_keys, 2);           // no key touched
    EXPECT_EQ(ksh_pac_event_count(), 0u);    // nobody told
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagEntry), 0u);

    for (const ReturnOp &op : kOps) {
        SCOPED_TRACE(op.name);
        auto [status, copy] = fetch(op, b.aid);
        EXPECT_EQ(status, KS_SUCCESS);
        EXPECT_EQ(copy, b.*op.tlv);
        auto entries = cache_entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entry_aid(entries[0]), b.aid);
    }
    // Entries made after a purge append behind the reloaded one.
    EXPECT_EQ(fetch(kOps[0], a.aid).first, KS_SUCCESS);
    auto entries = cache_entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entry_aid(entries[1]), a.aid);
    EXPECT_EQ(ksh_trace_count(), 0u);
}

TEST_F(PacCache, MissingPacTracesTheLoadThenTheFetch) {
    for (const ReturnOp &op : kOps) {
        SCOPED_TRACE(op.name);
        ksh_trace_clear();
        uint8_t *out = reinterpret_cast<uint8_t *>(0x1);
        uint32_t len = 9;
        EXPECT_EQ(op.fn(bytes("nobody").data(), 6, &out, &len), KS_UNKNOWN_FAILURE);
        EXPECT_EQ(out, reinterpret_cast<uint8_t *>(0x1));
        EXPECT_EQ(len, 9u);
        ASSERT_EQ(ksh_trace_count(), 2u);
        expect_load_trace(0, KS_RECORD_NOT_FOUND);
        expect_trace(1, op.fetch_failed);
        EXPECT_EQ(ksh_trace_at(1)->nargs, 0);
        EXPECT_TRUE(cache_entries().empty());
    }
}

TEST_F(PacCache, BadArgumentsAreTracedButStandbyComesFirst) {
    const Bytes aid = bytes("aid"), aid32(32, 'a');
    uint8_t *out = nullptr;
    uint32_t len = 0;
    struct Case {
        const uint8_t *aid;
        uint32_t aid_len;
        uint8_t **out;
        uint32_t *len;
    } const cases[] = {
        {nullptr, 3, &out, &len},
        {aid.data(), 0, &out, &len},
        {aid32.data(), 32, &out, &len},
        {aid.data(), 3, nullptr, &len},
        {aid.data(), 3, &out, nullptr},
    };
    for (const ReturnOp &op : kOps) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << op.name << " aid_len " << c.aid_len);
            ksh_trace_clear();
            EXPECT_EQ(op.fn(c.aid, c.aid_len, c.out, c.len), KS_INVAL_ARGS);
            ASSERT_EQ(ksh_trace_count(), 1u);
            expect_trace(0, op.bad_args);
            const ksh_trace_record *r = ksh_trace_at(0);
            ASSERT_EQ(r->nargs, 4);
            EXPECT_EQ(r->args[0].kind, 'p');
            EXPECT_EQ(r->args[0].p, c.aid);
            EXPECT_EQ(r->args[1].kind, 'i');
            EXPECT_EQ(r->args[1].i, static_cast<int32_t>(c.aid_len));
            EXPECT_EQ(r->args[2].p, static_cast<const void *>(c.out));
            EXPECT_EQ(r->args[3].p, static_cast<const void *>(c.len));

            ksh_trace_clear();
            ks_is_standby = 1;
            EXPECT_EQ(op.fn(c.aid, c.aid_len, c.out, c.len), KS_STDBY_NOT_SUPPORTED);
            EXPECT_EQ(ksh_trace_count(), 0u);
            ks_is_standby = 0;
        }
    }
    EXPECT_EQ(out, nullptr);
}

TEST_F(PacCache, AllocationFailuresOfTheReturnPaths) {
    const SamplePac p = sample_pac("mem");
    ASSERT_EQ(store(p), KS_SUCCESS);
    for (const ReturnOp &op : kOps) {
        SCOPED_TRACE(op.name);
        // The copy: NO_MEMORY after its trace; the entry stays.
        ksh_trace_clear();
        ksh_alloc_fail_tag(op.copy_tag);
        EXPECT_EQ(fetch(op, p.aid).first, KS_NO_MEMORY);
        ASSERT_EQ(ksh_trace_count(), 1u);
        expect_trace(0, op.malloc_failed);
        EXPECT_EQ(cache_entries().size(), 1u);
        ksh_alloc_clear_faults();

        // On a miss, each allocation of the load fails in turn: the metadata
        // copy (the load's trace names NO_MEMORY) and the entry (the fetch
        // fails without a load trace).
        for (uint64_t n = 1; n <= 2; ++n) {
            SCOPED_TRACE(n);
            ks_pac_cache_purge();
            ksh_trace_clear();
            ksh_alloc_fail_nth(n);
            EXPECT_EQ(fetch(op, p.aid).first, KS_UNKNOWN_FAILURE);
            ksh_alloc_clear_faults();
            EXPECT_TRUE(cache_entries().empty());
            if (n == 1) {
                ASSERT_EQ(ksh_trace_count(), 2u);
                expect_load_trace(0, KS_NO_MEMORY);
                expect_trace(1, op.fetch_failed);
            } else {
                ASSERT_EQ(ksh_trace_count(), 1u);
                expect_trace(0, op.fetch_failed);
            }
        }
        EXPECT_EQ(fetch(op, p.aid).first, KS_SUCCESS);
    }
}

TEST_F(PacCache, UnusableMetadataLeavesThePacStoredAndUncached) {
    const Bytes op = tlv(KS_PAC_TLV_OPAQUE, bytes("o")), in = tlv(KS_PAC_TLV_INFO, bytes("i"));
    struct Case {
        const char *what;
        Bytes meta;
        std::vector<uint32_t> traces;
    } const cases[] = {
        {"no metadata", {}, {KS_TR_PAC_LOAD_META_FAILED, KS_TR_PAC_OPAQUE_FETCH_FAILED}},
        {"two opaques", cat(cat(op, op), in), {KS_TR_PAC_SPLIT_MULTIPLE_OPAQUES, KS_TR_PAC_OPAQUE_FETCH_FAILED}},
        {"truncated info", cat(op, Bytes(in.begin(), in.end() - 1)),
         {KS_TR_PAC_SPLIT_BAD_INFO_LEN, KS_TR_PAC_OPAQUE_FETCH_FAILED}},
    };
    const Bytes aid = bytes("raw");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(store_raw(KS_KEY_TYPE_PAC, aid, bytes("key"), c.meta), KS_SUCCESS);
        ksh_trace_clear();
        EXPECT_EQ(fetch(kOps[0], aid).first, KS_UNKNOWN_FAILURE);
        EXPECT_EQ(pac_traces(), c.traces);
        EXPECT_TRUE(pac_stored(aid));
        EXPECT_TRUE(cache_entries().empty());
        if (c.meta.empty()) expect_load_trace(0, KS_SUCCESS);  // no metadata: the load names SUCCESS
    }
}

// Metadata over 65535 bytes is read back with its length cut to 16 bits; the
// split then finds the PAC-Opaque overrunning what is left.
TEST_F(PacCache, OversizeMetadataIsStoredButCannotBeLoaded) {
    SamplePac p = sample_pac("big");
    p.opaque = tlv(KS_PAC_TLV_OPAQUE, Bytes(65000, 0x5A));
    p.info = tlv(KS_PAC_TLV_INFO, Bytes(600, 0x11));
    ASSERT_EQ(store(p), KS_SUCCESS);
    EXPECT_EQ(fetch(kOps[0], p.aid).second, p.opaque);  // from the cache

    ks_pac_cache_purge();
    ksh_trace_clear();
    EXPECT_EQ(fetch(kOps[0], p.aid).first, KS_UNKNOWN_FAILURE);
    EXPECT_EQ(pac_traces(), (std::vector<uint32_t>{KS_TR_PAC_SPLIT_BAD_OPAQUE_LEN, KS_TR_PAC_OPAQUE_FETCH_FAILED}));
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

TEST_F(PacCache, EntriesOwnTheirRecordsAndAreWipedWhenDropped) {
    const SamplePac p = sample_pac("owner");
    auto add = [&] {
        return pac_cache_add(p.aid.data(), p.aid.size(), p.opaque.data(), p.opaque.size(), p.info.data(),
                             p.info.size());
    };
    std::function<void()> drops[] = {
        [&] { ASSERT_NE(add(), nullptr); },  // replaced
        [&] { pac_cache_remove(p.aid.data(), p.aid.size()); },
        [&] { ks_pac_cache_purge(); },
    };
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
