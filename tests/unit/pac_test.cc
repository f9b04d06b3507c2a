// SPDX-License-Identifier: Apache-2.0
// PAC records, the PAC cache and the keys derived from a PAC, with a clock,
// a redundancy hook and a hardware keystore the tests control. Case tables
// are under tests/data; scenario transcripts (statuses, outputs, traces,
// notifications, table and cache) are golden files under tests/golden.
// Beside them, a PAC cache larger than its index holds.
#include <memory>
#include <set>

#include "ks_pac_cache_index.h"
#include "ks_pac_common.h"
#include "ks_vectors.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

constexpr int32_t kNow = 1700000000;
time_t fixed_clock(time_t *t) { return t != nullptr ? *t = kNow : kNow; }

class PacTest : public KeystoreTest {
  protected:
    void SetUp() override { KeystoreTest::SetUp(), ks::seams.clock = &fixed_clock; }
};

Bytes lifetime(int32_t t) {
    return tlv(KS_PAC_INFO_LIFETIME, {uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)});
}
const Bytes kMe = tlv(KS_PAC_INFO_IID, bytes("device-me"));
Bytes handle(const std::string &aid) { return cat(Bytes{KS_KEY_TYPE_PAC}, bytes(aid)); }
// The PAC-Info copy the library hands out for an A-ID, with the status.
std::pair<int32_t, Bytes> pac_info(const Bytes &aid) {
    uint8_t *out = nullptr;
    uint32_t len = 0;
    const int32_t st = ks_return_pac_info(aid.data(), n32(aid), &out, &len);
    const Bytes copy = out != nullptr ? Bytes(out, out + len) : Bytes{};
    return tagged_free(out), std::make_pair(st, copy);
}

// The metadata split (each fault named by one trace), the TLV reader under
// it, and the keep-or-remove test of the old-PAC clear.
TEST_F(PacTest, CaseTables) {
    for (const DataRow &c : read_rows("pac_split.txt")) {
        const Bytes m = value(c[1]);  // an exact-size heap copy: the sanitizers see a read past it
        std::unique_ptr<uint8_t[]> meta(new uint8_t[m.size() + 1]);
        std::copy(m.begin(), m.end(), meta.get());
        const uint8_t *o = nullptr, *i = nullptr;
        uint32_t ol = 0, il = 0;
        if (pac_meta_split(meta.get(), uint16_t(m.size()), &o, &ol, &i, &il))
            EXPECT_EQ(S(drain(), "ok ", o - meta.get(), " ", ol, " ", i - meta.get(), " ", il),
                      S(c[2], " ", c[3], " ", c[4], " ", c[5], " ", c[6]));
        else {
            const std::string t = drain();
            EXPECT_EQ(t.substr(0, t.find('"')) + S(std::count(t.begin(), t.end(), '\n')), "  " + c[2] + " m2 debug 1")
                << c[0];
        }
    }
    for (const DataRow &c : read_rows("pac_reader.txt")) {
        const Bytes b = value(c[1]);
        ks::pac::Reader r16(c[1] == "null" ? nullptr : b.data(), c[1] == "null" ? 7 : b.size()), r32 = r16, r = r16, v;
        uint16_t a = 7, t = 7;
        uint32_t w = 7;
        const bool ok[] = {r16.u16(a), r32.u32(w), r.tlv(t, v)};
        EXPECT_EQ(S(ok[0], ":", a, " ", ok[1], ":", w, " ", ok[2], ":", t, "/", v.size(), " ", r.size()), c[2]) << c[0];
    }
    for (const DataRow &c : read_rows("pac_still_valid.txt")) {
        const Bytes m = value(c[1]);
        EXPECT_EQ(ks_sw_pac_still_valid(m.empty() ? nullptr : m.data(), uint16_t(m.size()),
                                        c[2] == "-" ? nullptr : c[2].c_str()),
                  std::stoi(c[3]))
            << c[0];
    }
}

// The T-PRF and the shared keys: misses derive and fill the cache entry, a
// request equal in every input is answered from it (the PAC-Key gone), any
// other needs the key; each path's traces in full.
TEST_F(PacTest, DerivationsAndTheirTraces) {
    const SamplePac p = sample_pac("authority-1");
    std::string out;
    Bytes o(24);
    auto tprf = [&](const std::string &label, const std::string &seed, uint32_t n,
                    const std::string &aid = "authority-1") {
        std::fill(o.begin(), o.end(), 0xEE);
        const Bytes a = bytes(aid), l = bytes(label), s = bytes(seed);
        const int32_t st = ks_pac_key_t_prf(a.data(), n32(a), l.data(), n32(l), s.data(), n32(s), o.data(), n);
        out += step(S("t-prf ", aid, " ", label, "/", seed, "/", n, " ", to_hex(o)), st) + state();
    };
    auto shared = [&](const std::string &id, const std::string &label, uint32_t n, size_t label_len = 0) {
        std::fill(o.begin(), o.end(), 0xEE);
        const int32_t st = ks_pac_shared_keys_t_prf(p.aid.data(), 11, id.c_str(), uint32_t(id.size()), label.c_str(),
                                                    uint32_t(label_len ? label_len : label.size()), o.data(), n);
        out += step(S("shared key ", id, "/", label, "/", n, " ", to_hex(o)), st) + state();
    };
    auto drop_key = [&] {
        ASSERT_EQ(ks_sw_delete_key(handle("authority-1").data(), 12), KS_SUCCESS);
    };                                                          // the cache entry stays
    ASSERT_EQ(store(p) + store(sample_pac("authority-2")), 2);  // the entry looked up is not the last
    drain();
    tprf("x", "s", 1), tprf("x", "s", 1), tprf("y", "s", 1);  // 1-byte inputs and output: kept and compared whole
    tprf("label", "seed-A", 5), tprf("label", "seed-A", 5), tprf("label", "seed-B", 5), drop_key();
    tprf("label", "seed-B", 5), tprf("labex", "seed-B", 5), tprf("labe", "seed-B", 5), tprf("label", "seed-", 5);
    tprf("label", "seed-C", 5), tprf("label", "seed-B", 4), tprf("", "seed-B", 5),
        tprf("label", "seed-B", 5, "no-such");
    ASSERT_EQ(store(p), KS_SUCCESS);  // a fresh cache entry
    drain();
    shared("dev", "ZAV-MACK", 16), shared("dev", "ZAV-MACK", 16), shared("dev", "ZAV-KEK", 20),
        shared("dev", "ZAV-X", 20);
    drop_key();
    shared("other-device", "ZAV-KEK", 20), shared("dev", "ZAV-MACK", 20), shared("dev", "ZAV-X", 20);
    out += step("cached shared key, no output",
                ks_pac_check_cache_entry_for_shared_keys(p.aid.data(), 11, "ZAV-KEK", 7, nullptr, 20));
    ASSERT_EQ(store(p), KS_SUCCESS);  // after a purge, a derivation loads the entry again
    ks_pac_cache_purge(), drain(), tprf("label", "seed-A", 5), ks_pac_cache_purge(), shared("dev", "ZAV-KEK", 20);
    shared("dev", "ZAV-KEK", 20, 1), shared("dev", "ZAV-KEK", 20, 1);  // a label length of 1, kept whole
    // A PAC-Info that cannot be loaded: no PAC, a PAC key stored without
    // metadata, and one with a single byte of it.
    const uint8_t one = 0;
    ASSERT_EQ(ks_sw_store_sym_key(handle("bare").data(), 5, nullptr, 0, p.key.data(), 32, nullptr, 0), KS_SUCCESS);
    ASSERT_EQ(ks_sw_store_sym_key(handle("one").data(), 4, nullptr, 0, p.key.data(), 32, &one, 1), KS_SUCCESS);
    for (const std::string aid : {"no-such", "bare", "one"})
        out += step(S("info of ", aid), pac_info(bytes(aid)).first);
    expect_golden("golden/pac_derive.txt", out);
}

// More cached PACs than the cache's index holds (a PAC whose key goes keeps
// its entry): finds and removals walk the queue with the same answers; once
// few enough are left, the index is rebuilt from the queue and takes over,
// entries keeping their order.
TEST_F(PacTest, MoreCachedPacsThanTheCacheIndexHolds) {
    using ksmodel::queued;
    // The queue's A-IDs, head first.
    auto queued_aids = [] {
        std::vector<Bytes> aids;
        for (const pac_cache_entry *e : queued()) aids.emplace_back(e->aid, e->aid + e->aid_len);
        return aids;
    };
    // Every queued entry is found by its probe.
    auto all_found = [&] {
        for (pac_cache_entry *e : queued()) {
            pac_cache_entry *found = nullptr, *prev = nullptr;
            if (!ks::pac_cache_index_find(e->aid, e->aid_len, &found, &prev) || found != e) return false;
        }
        return true;
    };
    // 1-byte A-IDs sharing the index's probe runs are told apart by their
    // byte, before and after every other one is cleared through the index.
    for (int c = 1; c < 256; c += 8) ASSERT_EQ(store(sample_pac(std::string(1, char(c)))), KS_SUCCESS);
    for (int step : {8, 16}) {
        for (int c = 1; c < 256; c += step) {
            const SamplePac p = sample_pac(std::string(1, char(c)));
            ASSERT_EQ(pac_info(p.aid), std::make_pair(int32_t{KS_SUCCESS}, p.info)) << c;
        }
        EXPECT_TRUE(ks::pac_cache_index()->valid && all_found());
        for (int c = 9; step == 8 && c < 256; c += 16)
            ASSERT_EQ(ks_clear_pac(bytes(std::string(1, char(c))).data(), 1), KS_SUCCESS);
    }
    // The queue header is exported: a queue changed behind the cache's back
    // (its head, or with the head kept a middle entry, moved to the tail) is
    // noticed, and a removal of the moved entry unlinks it and no other.
    for (const bool head : {true, false}) {
        kstest::reset_keystore();
        for (const char *aid : {"qa", "qb", "qc"}) ASSERT_EQ(store(sample_pac(aid)), KS_SUCCESS);
        const std::vector<pac_cache_entry *> abc = queued();
        fifo_enqueue(ks_pac_cacheq, head ? fifo_dequeue(ks_pac_cacheq) : fifo_unlink(ks_pac_cacheq, abc[1], abc[0]));
        ASSERT_EQ(ks_clear_pac(bytes(head ? "qa" : "qb").data(), 2), KS_SUCCESS);
        EXPECT_EQ(queued_aids(), (std::vector<Bytes>{bytes(head ? "qb" : "qa"), bytes("qc")}));
        EXPECT_TRUE(all_found()) << head;
    }
    // An entry whose A-ID is queued already, put in at the head, leaves the
    // index out of use (it cannot be rebuilt) until the queue is whole again.
    pac_cache_entry twin = *queued()[1];
    fifo_enqueue(ks_pac_cacheq, &twin);
    for (int i = 0; i < 2; ++i) fifo_enqueue(ks_pac_cacheq, fifo_dequeue(ks_pac_cacheq));
    pac_cache_entry *found = nullptr, *prev = nullptr;
    EXPECT_FALSE(ks::pac_cache_index_find(twin.aid, twin.aid_len, &found, &prev));
    ASSERT_EQ(fifo_dequeue(ks_pac_cacheq), &twin);
    EXPECT_TRUE(all_found());
    kstest::reset_keystore();
    const int n = static_cast<int>(ks::kPacCacheIndexed) + 40;
    std::vector<Bytes> want;
    // Two 1-byte A-IDs, the first ahead of the second in the queue.
    auto aid_of = [n](int i) { return i == 1 ? std::string("x") : i == n - 1 ? std::string("y") : S("aid-", i); };
    // The index's buckets: none past its bound, and once it answers again,
    // the queue's entries and no other.
    auto indexed = [] {
        std::set<const void *> in;
        if (const ks::PacCacheIndex *x = ks::pac_cache_index())
            for (size_t i = 0; i < size_t{1} << x->bits; ++i)
                if (const void *e = ks::pac_cache_index_buckets(x)[i].entry) in.insert(e);
        return in;
    };
    for (int i = 0; i < n; ++i) {
        const SamplePac p = sample_pac(aid_of(i));
        ASSERT_EQ(store(p), KS_SUCCESS);
        ASSERT_EQ(ks_sw_delete_key(handle(aid_of(i)).data(), n32(p.aid) + 1), KS_SUCCESS);
        want.push_back(p.aid);
        // Each growth of the index keeps every entry.
        if (i < static_cast<int>(ks::kPacCacheIndexed)) {
            ASSERT_TRUE(all_found()) << i;
        }
    }
    EXPECT_EQ(indexed().size(), ks::kPacCacheIndexed);
    // Entries go from both ends and the middle until the index fits, then a
    // few more through it.
    std::vector<int> gone = {0, n - 1, n / 2};
    for (int i = 1; i <= 40; ++i) gone.push_back(i);
    gone.insert(gone.end(), {n - 2, n / 2 + 1});
    for (int i : gone) {
        const SamplePac p = sample_pac(aid_of(i));
        ASSERT_EQ(pac_info(p.aid), std::make_pair(int32_t{KS_SUCCESS}, p.info)) << i;
        EXPECT_EQ(ks_clear_pac(p.aid.data(), n32(p.aid)), KS_RECORD_NOT_FOUND);
        EXPECT_EQ(pac_info(p.aid).first, KS_UNKNOWN_FAILURE) << i;
        want.erase(std::find(want.begin(), want.end(), p.aid));
    }
    EXPECT_EQ(queued_aids(), want);
    EXPECT_TRUE(ks::pac_cache_index()->valid);
    const std::vector<pac_cache_entry *> q = queued();
    EXPECT_EQ(indexed(), std::set<const void *>(q.begin(), q.end()));
    // Every entry is still found by its probe after the removals moved them.
    EXPECT_TRUE(all_found());
}

// Each part of a cache entry is bounded so that the entry's size cannot
// wrap on a 32-bit size_t: a part past the bound refuses the add before
// anything is allocated, whichever part it is; at the bound the add goes on
// to allocate (made to fail here, so that no 16 MiB block is needed).
TEST_F(PacTest, CacheEntryPartsAreBounded) {
    constexpr uint32_t kBound = 0x01000000;
    const uint8_t p[4] = {};
    const struct {
        uint32_t aid, opaque, info;
        bool allocates;
    } rows[] = {{kBound, 4, 4, true},      {4, kBound, 4, true},      {4, 4, kBound, true},
                {kBound + 1, 4, 4, false}, {4, kBound + 1, 4, false}, {4, 4, kBound + 1, false}};
    for (const auto &r : rows) {
        const uint64_t failed = ksh_alloc_failed_calls();
        ksh_alloc_fail_nth(1);
        EXPECT_EQ(pac_cache_add(p, r.aid, p, r.opaque, p, r.info), nullptr);
        ksh_alloc_fail_nth(0);
        EXPECT_EQ(ksh_alloc_failed_calls() - failed, r.allocates ? 1u : 0u) << r.aid << " " << r.opaque;
    }
}

// A hardware keystore in memory, with faults, behind the two hardware walks.
struct FakeHw {
    std::vector<std::pair<std::string, Bytes>> keys;  // handle, metadata
    std::string undeletable, bad_meta, asked, cleared;
    bool write_nothing = false;
    int32_t index_status = KS_SUCCESS;
} * g_hw;
std::string text_of(const uint8_t *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }
uint8_t *copy_out(const Bytes &b) {
    return std::copy(b.begin(), b.end(), static_cast<uint8_t *>(tagged_calloc(ks::kTagHandleCopy, 1, b.size() + 1))) -
           b.size();
}
int32_t erase(const std::string &h) {
    auto it = std::find_if(g_hw->keys.begin(), g_hw->keys.end(), [&](const auto &k) { return k.first == h; });
    return it == g_hw->keys.end() ? KS_RECORD_NOT_FOUND : (g_hw->keys.erase(it), KS_SUCCESS);
}
const ks::HwPacOps kFakeOps = {
    [](uint16_t i, uint8_t **out, uint8_t *len) -> int32_t {
        g_hw->asked = std::to_string(i);
        if (i >= g_hw->keys.size()) return g_hw->index_status != KS_SUCCESS ? g_hw->index_status : KS_NO_MORE_RECORDS;
        if (!g_hw->write_nothing)  // also beside a failure: the caller releases the copy
            *out = copy_out(bytes(g_hw->keys[i].first)), *len = uint8_t(g_hw->keys[i].first.size());
        return g_hw->index_status;
    },
    [](const uint8_t *h, uint8_t len, uint8_t **out, uint16_t *out_len) -> int32_t {
        for (const auto &[handle, meta] : g_hw->keys)
            if (handle == text_of(h, len)) *out = copy_out(meta), *out_len = uint16_t(meta.size());
        return text_of(h, len) == g_hw->bad_meta ? KS_BAD_RESPONSE_FORMAT : KS_SUCCESS;
    },
    [](const uint8_t *h, uint8_t len) {
        return text_of(h, len) == g_hw->undeletable ? KS_TIMEOUT : erase(text_of(h, len));
    },
    [](const uint8_t *aid, uint32_t len) {  // removes the PAC even where the plain delete is refused
        return g_hw->cleared += " " + text_of(aid, len), erase("\x02" + text_of(aid, len));
    },
};

// A standby unit deletes past index 255 and passes over PACs it cannot
// delete; the active unit clears those by A-ID. The old-PAC walk reads each
// PAC's metadata and stops at the first it cannot read. Both end at a
// failed enumeration, where the backend writes no handle, and at the last
// index 16 bits can name.
TEST_F(PacTest, HardwareWalks) {
    std::string out;
    FakeHw hw;
    g_hw = &hw;
    ks::seams.hw_pacs = kFakeOps, ks_use_sw_ks = 0;
    auto walk = [&](const std::string &what, int32_t st) {
        out += step(S(what, ": last index asked ", hw.asked, ", cleared by A-ID:", hw.cleared, ", ", hw.keys.size(),
                      " keys left"),
                    st);
        hw.cleared.clear();
    };
    for (int i = 0; i < 300; ++i) hw.keys.push_back({S(char(i % 3 ? 1 : 2), i), {}});
    hw.undeletable = std::string(1, KS_KEY_TYPE_PAC) + "150";
    ksh_set_ha_active(0);
    walk("all PACs on the standby", ks_clear_all_pacs_internal());
    ksh_set_ha_active(1);
    walk("all PACs on the active unit", ks_clear_all_pacs_internal());
    const Bytes opaque = sample_pac("x").opaque,
                gone = cat(opaque, tlv(KS_PAC_TLV_INFO, cat(kMe, lifetime(kNow - 60))));
    hw.keys.clear();
    // (The sixth has an empty A-ID: its handle is the type byte alone.)
    for (const char *h : {"gone1", "gone2", "\x01s", "keep", "stuck", "", "bad", "after"})
        hw.keys.push_back({h[0] == 1 ? h : "\x02" + std::string(h), gone});
    hw.keys[3].second = cat(opaque, tlv(KS_PAC_TLV_INFO, cat(kMe, lifetime(kNow + 60))));
    hw.undeletable = "\x02stuck", hw.bad_meta = std::string(1, KS_KEY_TYPE_PAC) + "bad";
    walk("old PACs", ks_clear_old_pacs_internal("device-me"));
    hw.write_nothing = true;
    walk("all PACs, no handle written", ks_clear_all_pacs_internal());
    walk("old PACs, no handle written", ks_clear_old_pacs_internal("device-me"));
    hw.index_status = KS_TIMEOUT, hw.write_nothing = false;
    walk("all PACs, enumeration fails", ks_clear_all_pacs_internal());
    walk("old PACs, enumeration fails", ks_clear_old_pacs_internal("device-me"));
    hw.keys.assign(0x10001, {"\x01k", {}}), hw.index_status = KS_SUCCESS;
    walk("old PACs, more keys than 16 bits count", ks_clear_old_pacs_internal("device-me"));
    expect_golden("golden/pac_hardware_walks.txt", out);
}

}  // namespace
}  // namespace kstest
