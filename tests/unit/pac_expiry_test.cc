// PAC expiry and bulk clearing with a clock the tests control: the lifetime
// queries, the keep-or-remove test, and the old-PAC and clear-all walks over
// the software table and over a hardware keystore.
#include <csetjmp>
#include <cstring>
#include <set>

#include "keystore/ks_modes.h"
#include "keystore/ks_sw_keystore.h"
#include "ks_hw_seam.h"
#include "ks_pac_clock.h"
#include "ks_pac_hw_walk.h"
#include "ks_test_util.h"
#include "pac_builder.h"

namespace kstest {
namespace {

constexpr int32_t kNow = 1700000000;
time_t fixed_clock(time_t *t) {
    if (t != nullptr) *t = kNow;
    return kNow;
}
const Bytes kKey{1, 2, 3, 4};
const std::string kMe = "device-me";

class ExpiryTest : public KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        ks::pac_clock = &fixed_clock;
    }
    static void store_key(uint8_t type, const std::string &name) {
        Bytes h = cat({{type}, text(name)});
        ASSERT_EQ(ks_sw_store_sym_key(h.data(), uint32_t(h.size()), nullptr, 0, kKey.data(), 4, nullptr, 0),
                  KS_SUCCESS);
    }
    // The keys left in the table as "type:name".
    static std::vector<std::string> table() {
        std::vector<std::string> out;
        for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
            const ks_sym_key_entry *e = ks_sym_keys[i];
            out.push_back(std::to_string(e->data[0]) + ":" +
                          std::string(reinterpret_cast<const char *>(e->data) + 1, e->handle_len - 1));
        }
        return out;
    }
};

TEST_F(ExpiryTest, KeepOrRemove) {
    const Bytes me = iid(kMe), ahead = lifetime(kNow + 3600), past = lifetime(kNow - 1);
    const Bytes eight = tlv(KS_PAC_INFO_LIFETIME, cat({be32(0), be32(kNow - 100)}));
    Bytes truncated = cat({opaque(), info(cat({me, ahead}))});
    truncated.pop_back();
    const struct {
        const char *what;
        Bytes meta;
        const char *id;
        int32_t keep;
    } cases[] = {
        {"own, an hour ahead", cat({opaque(), info(cat({me, ahead}))}), kMe.c_str(), 1},
        {"PAC-Info first, lifetime first", cat({info(cat({ahead, me})), opaque()}), kMe.c_str(), 1},
        {"own, a second past", cat({opaque(), info(cat({me, past}))}), kMe.c_str(), 0},
        {"own, expiring this second", info(cat({me, lifetime(kNow)})), kMe.c_str(), 1},
        {"own, no lifetime", info(me), kMe.c_str(), 1},
        {"top bit set reads before 1970", info(cat({me, lifetime(0x80000000u)})), kMe.c_str(), 0},
        {"no identity", info(ahead), kMe.c_str(), 0},
        {"other identity", info(cat({iid("device-you"), ahead})), kMe.c_str(), 0},
        {"identity, NUL, more", info(cat({tlv(5, cat({text(kMe), {0, 'x'}})), ahead})), kMe.c_str(), 1},
        {"identity and one more byte", info(cat({iid(kMe + "x"), ahead})), kMe.c_str(), 0},
        {"identity one byte short", info(cat({iid("device-m"), ahead})), kMe.c_str(), 0},
        {"8-byte lifetime skipped", info(cat({me, eight, ahead})), kMe.c_str(), 1},
        {"8-byte lifetime, then past", info(cat({me, eight, past})), kMe.c_str(), 0},
        {"type bit 15 ignored", info(cat({tlv(0x8005, text(kMe)), tlv(0x8003, be32(kNow - 1))})), kMe.c_str(), 0},
        {"other elements skipped", info(cat({tlv(7, {1, 2}), me, tlv(0, {}), ahead})), kMe.c_str(), 1},
        {"stops once both are seen", info(cat({me, ahead, iid("device-you"), past})), kMe.c_str(), 1},
        {"a later lifetime still counts", info(cat({ahead, past, me})), kMe.c_str(), 0},
        {"a mismatch ends it", info(cat({iid("device-you"), me})), kMe.c_str(), 0},
        {"element overruns PAC-Info", info(cat({me, {0, 9, 0, 40}})), kMe.c_str(), 0},
        {"truncated PAC-Info", truncated, kMe.c_str(), 0},
        {"PAC-Opaque overruns", cat({{0, 2, 0, 50, 1}, info(me)}), kMe.c_str(), 0},
        {"empty PAC-Info", cat({opaque(), info({})}), kMe.c_str(), 0},
        {"no PAC-Info", opaque(), kMe.c_str(), 0},
        {"three bytes", {0, 9, 0}, kMe.c_str(), 0},
        {"null identity, empty I-ID", info(tlv(5, {})), nullptr, 1},
        {"null identity, I-ID starting with NUL", info(tlv(5, {0, 'a'})), nullptr, 1},
        {"empty identity, other I-ID", info(iid("a")), "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ks_sw_pac_still_valid(c.meta.data(), uint16_t(c.meta.size()), c.id), c.keep);
    }
    EXPECT_EQ(ks_sw_pac_still_valid(nullptr, 10, kMe.c_str()), 0);
    EXPECT_EQ(ks_sw_pac_still_valid(cases[0].meta.data(), 0, kMe.c_str()), 0);
}

TEST_F(ExpiryTest, LifetimeQueries) {
    const struct {
        const char *aid;
        Bytes elements;
        int32_t valid;
        uint32_t expiration;
    } cases[] = {
        {"ahead", cat({iid(kMe), lifetime(kNow + 3600)}), 1, kNow + 3600u},
        {"past", cat({iid(kMe), lifetime(kNow - 1)}), 0, kNow - 1u},
        {"now", lifetime(kNow), 0, kNow},
        {"none", iid(kMe), 0, 0},
        {"top-bit", lifetime(0x80000001u), 0, 0x80000001u},
        {"eight-first", cat({tlv(3, cat({be32(0), be32(kNow + 99)})), lifetime(kNow + 3600)}), 0, 0},
        {"bit15-after-other", cat({tlv(7, {1}), tlv(0x8003, be32(kNow + 5))}), 1, kNow + 5u},
        {"overrun", cat({tlv(7, {1}), Bytes{0, 3, 0, 9}}), 0, 0},
    };
    for (const auto &c : cases) ASSERT_EQ(store_pac(c.aid, kKey, c.elements), KS_SUCCESS);
    for (int pass = 0; pass < 2; ++pass) {  // from the cache, then from the key
        for (const auto &c : cases) {
            SCOPED_TRACE(c.aid);
            const std::string aid = c.aid;
            EXPECT_EQ(ks_valid_pac_exists(u8(aid), len32(aid)), c.valid);
            EXPECT_EQ(ks_get_pac_expiration(u8(aid), len32(aid)), c.expiration);
        }
        ks_pac_cache_purge();
    }
    EXPECT_EQ(ks_valid_pac_exists(u8(std::string("missing")), 7), 0);
    EXPECT_EQ(ks_get_pac_expiration(nullptr, 3), 0u);
    ks_is_standby = 1;
    EXPECT_EQ(ks_valid_pac_exists(u8(std::string("ahead")), 5), 0);
}

TEST_F(ExpiryTest, ClearOldPacsRemovesExactlyTheRejected) {
    store_key(KS_KEY_TYPE_SECRET, "s1");
    ASSERT_EQ(store_pac("keep", kKey, cat({iid(kMe), lifetime(kNow + 3600)})), KS_SUCCESS);
    ASSERT_EQ(store_pac("past", kKey, cat({iid(kMe), lifetime(kNow - 1)})), KS_SUCCESS);
    ASSERT_EQ(store_pac("other", kKey, iid("someone")), KS_SUCCESS);
    store_key(KS_KEY_TYPE_SECRET, "s2");
    ASSERT_EQ(store_pac("now", kKey, cat({iid(kMe), lifetime(kNow)})), KS_SUCCESS);
    ASSERT_EQ(store_pac("no-iid", kKey, lifetime(kNow + 3600)), KS_SUCCESS);
    ksh_pac_events_clear();
    EXPECT_EQ(ks_clear_old_pacs(kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"past", "other", "no-iid"}));
    EXPECT_EQ(table(), (std::vector<std::string>{"1:s1", "2:keep", "1:s2", "2:now"}));
    EXPECT_EQ(ks_sym_keys[4], nullptr);      // vacated slots are cleared
    EXPECT_EQ(ks_pac_cacheq[0], nullptr);    // the cache went first, also for PACs that stay
    EXPECT_EQ(ks_valid_pac_exists(u8(std::string("now")), 3), 0);  // stays, but is not valid

    // Called directly, the walk leaves the cache alone: the removed PAC is
    // still answered from there.
    ASSERT_EQ(store_pac("old", kKey, cat({iid("someone"), lifetime(kNow + 5)})), KS_SUCCESS);
    EXPECT_EQ(ks_sw_delete_old_pacs(kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(ks_num_sym_keys, 4);
    EXPECT_EQ(ks_get_pac_expiration(u8(std::string("old")), 3), uint32_t(kNow + 5));
}

TEST_F(ExpiryTest, ClearAllAndEmptyIdentity) {
    // An empty or null identity clears every PAC, as clear-all does; only
    // clearing old PACs is refused on a standby unit.
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        store_key(KS_KEY_TYPE_SECRET, "s");
        ASSERT_EQ(store_pac("a", kKey, cat({iid(kMe), lifetime(kNow + 3600)})), KS_SUCCESS);
        store_key(KS_KEY_TYPE_WDC, "w");
        ASSERT_EQ(store_pac("b", kKey, iid(kMe)), KS_SUCCESS);
        ASSERT_EQ(store_pac("c", kKey, {}), KS_SUCCESS);
        ksh_pac_events_clear();
        ks_is_standby = round == 3;
        if (round == 3) {
            EXPECT_EQ(ks_clear_old_pacs(""), KS_STDBY_NOT_SUPPORTED);
            EXPECT_EQ(ks_num_sym_keys, 5);
            EXPECT_NE(ks_pac_cacheq[0], nullptr);
        }
        const int32_t status = round == 0 ? ks_clear_old_pacs("") : round == 1 ? ks_clear_old_pacs(nullptr)
                                                                               : ks_clear_all_pacs();
        EXPECT_EQ(status, KS_SUCCESS);
        EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_EQ(table(), (std::vector<std::string>{"1:s", "81:w"}));
        EXPECT_EQ(ks_pac_cacheq[0], nullptr);
    }
}

jmp_buf g_jump;
std::string g_assert;
void catch_assert(const char *expression, const char *path, int) {
    g_assert = std::string(expression) + " @ " + path;
    longjmp(g_jump, 1);
}

TEST_F(ExpiryTest, NullSlotStopsTheOldPacWalk) {
    store_key(KS_KEY_TYPE_SECRET, "s");
    ASSERT_EQ(store_pac("a", kKey, iid(kMe)), KS_SUCCESS);
    ks_sym_key_entry *saved = ks_sym_keys[1];
    ks_sym_keys[1] = nullptr;
    ksh_set_assert_handler(&catch_assert);
    if (setjmp(g_jump) == 0) {
        ks_sw_delete_old_pacs(kMe.c_str());
        ADD_FAILURE() << "the walk went on past a null slot";
    }
    ksh_set_assert_handler(nullptr);
    ks_sym_keys[1] = saved;
    EXPECT_EQ(g_assert, "p != ((void*)0) @ keystore/src/ks_sw_keystore_crypto");
}

// A hardware keystore in memory, with faults.
struct FakeHw {
    std::vector<std::pair<std::string, Bytes>> keys;  // handle, metadata
    std::set<std::string> undeletable;                // handles the plain delete refuses
    std::string bad_meta;                             // handle whose metadata read fails
    bool write_nothing = false;
    int32_t index_status = KS_SUCCESS;
    std::vector<uint16_t> asked;
    std::vector<std::string> cleared;
    void add(uint8_t type, const std::string &name, const Bytes &meta = {}) {
        keys.emplace_back(std::string(1, char(type)) + name, meta);
    }
    int32_t erase(const std::string &h) {
        for (auto it = keys.begin(); it != keys.end(); ++it) {
            if (it->first == h) return keys.erase(it), KS_SUCCESS;
        }
        return KS_RECORD_NOT_FOUND;
    }
} *g_hw;

std::string handle_of(const uint8_t *h, uint32_t len) { return std::string(reinterpret_cast<const char *>(h), len); }
uint8_t *copy_out(const void *p, size_t n) {
    auto *b = static_cast<uint8_t *>(tagged_calloc(0x046000A1, 1, n + 1));
    std::memcpy(b, p, n);
    return b;
}
const ks::HwPacOps kFakeOps = {
    [](uint16_t i, uint8_t **out, uint8_t *len) -> int32_t {
        g_hw->asked.push_back(i);
        if (g_hw->index_status != KS_SUCCESS) return g_hw->index_status;
        if (i >= g_hw->keys.size()) return KS_NO_MORE_RECORDS;
        if (g_hw->write_nothing) return KS_SUCCESS;
        *out = copy_out(g_hw->keys[i].first.data(), g_hw->keys[i].first.size());
        *len = uint8_t(g_hw->keys[i].first.size());
        return KS_SUCCESS;
    },
    [](const uint8_t *h, uint8_t len, uint8_t **out, uint16_t *out_len) -> int32_t {
        if (handle_of(h, len) == g_hw->bad_meta) return KS_BAD_RESPONSE_FORMAT;
        for (const auto &k : g_hw->keys) {
            if (k.first == handle_of(h, len)) *out = copy_out(k.second.data(), k.second.size()), *out_len = uint16_t(k.second.size());
        }
        return KS_SUCCESS;
    },
    [](const uint8_t *h, uint8_t len) -> int32_t {
        return g_hw->undeletable.count(handle_of(h, len)) != 0 ? KS_TIMEOUT : g_hw->erase(handle_of(h, len));
    },
    // Clearing by A-ID removes the PAC even where the plain delete is refused.
    [](const uint8_t *aid, uint32_t len) -> int32_t {
        g_hw->cleared.push_back(handle_of(aid, len));
        return g_hw->erase("\x02" + handle_of(aid, len));
    },
};

class HwWalkTest : public ExpiryTest {
  protected:
    void SetUp() override {
        ExpiryTest::SetUp();
        g_hw = &hw_;
        ksh_set_ha_active(0);
    }
    void TearDown() override {
        ksh_set_ha_active(1);
        ExpiryTest::TearDown();
    }
    FakeHw hw_;
};

TEST_F(HwWalkTest, ClearAllPassesThe256thKeyAndPacsItCannotDelete) {
    for (int i = 0; i < 300; ++i) hw_.add(i % 3 ? KS_KEY_TYPE_SECRET : KS_KEY_TYPE_PAC, std::to_string(i));
    hw_.undeletable.insert("\x02" "150");
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_EQ(hw_.keys.size(), 201u);
    EXPECT_EQ(deleted_aids().size(), 99u);
    EXPECT_EQ(hw_.asked.back(), 201);  // the end, well past index 255 of the original table
    EXPECT_TRUE(hw_.cleared.empty());  // a standby unit tells no one
}

TEST_F(HwWalkTest, ClearAllOnTheActiveUnitClearsByAid) {
    ksh_set_ha_active(1);
    hw_.add(KS_KEY_TYPE_PAC, "a");
    hw_.add(KS_KEY_TYPE_PAC, "b");
    hw_.undeletable.insert("\x02" "b");
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_TRUE(hw_.keys.empty());
    EXPECT_EQ(hw_.cleared, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"a"}));
    auto ha = pac_traces(KS_TR_PAC_HA_CLEAR_ALL_NOTIFIED);  // only "b" was removed by the clear
    ASSERT_EQ(ha.size(), 1u);
    EXPECT_EQ(ha[0]->module_id, trace_module_ids[4]);
}

TEST_F(HwWalkTest, OldPacsByMetadataUntilOneCannotBeRead) {
    const Bytes keep = cat({opaque(), info(cat({iid(kMe), lifetime(kNow + 60)}))});
    const Bytes gone = cat({opaque(), info(cat({iid(kMe), lifetime(kNow - 60)}))});
    for (const char *name : {"gone1", "gone2"}) hw_.add(KS_KEY_TYPE_PAC, name, gone);
    hw_.add(KS_KEY_TYPE_SECRET, "s");
    hw_.add(KS_KEY_TYPE_PAC, "keep", keep);
    hw_.add(KS_KEY_TYPE_PAC, "stuck", gone);
    hw_.add(KS_KEY_TYPE_PAC, "gone3", gone);
    hw_.add(KS_KEY_TYPE_PAC, "bad", gone);
    hw_.add(KS_KEY_TYPE_PAC, "after", gone);
    hw_.undeletable.insert("\x02" "stuck");
    hw_.bad_meta = "\x02" "bad";
    EXPECT_EQ(ks::hw_delete_old_pacs(kFakeOps, kMe.c_str()), KS_BAD_RESPONSE_FORMAT);
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"gone1", "gone2", "gone3"}));
    EXPECT_EQ(hw_.keys.size(), 5u);  // s, keep, stuck, bad, after
    EXPECT_EQ(pac_traces(KS_TR_PAC_OLD_HW_META_FAILED).at(0)->args[0].i, KS_BAD_RESPONSE_FORMAT);
}

TEST_F(HwWalkTest, WalksEndWithoutAHandleOrOnAFailure) {
    hw_.add(KS_KEY_TYPE_PAC, "a", info(iid("x")));
    hw_.write_nothing = true;
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_EQ(ks::hw_delete_old_pacs(kFakeOps, kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(hw_.asked, (std::vector<uint16_t>{0, 0}));
    hw_.index_status = KS_TIMEOUT;
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_TIMEOUT);
    EXPECT_EQ(ks::hw_delete_old_pacs(kFakeOps, kMe.c_str()), KS_TIMEOUT);
    // The shipped contract writes no handle; an absent chip is refused.
    ks_use_sw_ks = 0;
    EXPECT_EQ(ks_clear_all_pacs(), KS_SUCCESS);
    EXPECT_EQ(ks_clear_old_pacs(kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(ksh_message_count(), 0u);
    ks::hw_present_answer = 0;
    EXPECT_EQ(ks_clear_all_pacs_internal(), KS_NO_KEYSTORE);
    EXPECT_EQ(ksh_message_count(), 1u);
    ksh_message_clear();  // the message is throttled: start afresh
    EXPECT_EQ(ks_clear_old_pacs_internal(kMe.c_str()), KS_NO_KEYSTORE);
    EXPECT_EQ(ksh_message_count(), 1u);
}

}  // namespace
}  // namespace kstest
