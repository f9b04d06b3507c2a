// PAC expiry and bulk clearing: the lifetime queries, the keep-or-remove test,
// the old-PAC and clear-all walks over the software table and over a
// hardware keystore, with a clock the tests control.
#include <csetjmp>
#include <cstring>
#include <map>

#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "ks_hw_seam.h"
#include "ks_pac_clock.h"
#include "ks_pac_hw_walk.h"
#include "ks_test_util.h"
#include "pac_builder.h"

namespace kstest {
namespace {

constexpr int32_t kNow = 1700000000;
time_t g_now = kNow;
time_t fixed_clock(time_t *t) {
    if (t != nullptr) *t = g_now;
    return g_now;
}

const Bytes kKey{1, 2, 3, 4};
const std::string kMe = "device-me";

class ExpiryTest : public KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        g_now = kNow;
        ks::pac_clock = &fixed_clock;
    }
    static bool exists(uint8_t type, const std::string &name) {
        Bytes h = cat({{type}, text(name)});
        int32_t flag = 0;
        ks_sw_key_exists(h.data(), static_cast<uint32_t>(h.size()), &flag);
        return flag == 1;
    }
    static void store_secret(const std::string &name) {
        Bytes h = cat({{KS_KEY_TYPE_SECRET}, text(name)});
        ASSERT_EQ(ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0, kKey.data(), 4,
                                      nullptr, 0),
                  KS_SUCCESS);
    }
};

int32_t still_valid(const Bytes &info_elements, const char *device_id) {
    Bytes meta = cat({opaque(), info(info_elements)});
    return ks_sw_pac_still_valid(meta.data(), static_cast<uint16_t>(meta.size()), device_id);
}

TEST_F(ExpiryTest, KeepOrRemove) {
    const uint32_t ahead = kNow + 3600, past = kNow - 1, now = kNow;
    const Bytes me = iid(kMe);
    const Bytes lifetime8 = tlv(KS_PAC_INFO_LIFETIME, cat({be32(0), be32(kNow - 100)}));
    const struct {
        const char *what;
        Bytes elements;
        int32_t keep;
    } cases[] = {
        {"own, an hour ahead", cat({me, lifetime(ahead)}), 1},
        {"own, lifetime first", cat({lifetime(ahead), me}), 1},
        {"own, a second past", cat({me, lifetime(past)}), 0},
        {"own, expiring this second", cat({me, lifetime(now)}), 1},
        {"own, no lifetime", me, 1},
        {"own, past with top bit set", cat({me, lifetime(0x80000000u)}), 0},
        {"no identity", lifetime(ahead), 0},
        {"other identity", cat({iid("device-you"), lifetime(ahead)}), 0},
        {"identity, NUL, more bytes", cat({tlv(KS_PAC_INFO_IID, cat({text(kMe), {0, 'x', 'y'}})), lifetime(ahead)}), 1},
        {"identity and one more byte", cat({iid(kMe + "x"), lifetime(ahead)}), 0},
        {"identity one byte short", cat({iid(kMe.substr(0, kMe.size() - 1)), lifetime(ahead)}), 0},
        {"8-byte lifetime skipped", cat({me, lifetime8, lifetime(ahead)}), 1},
        {"8-byte lifetime, then past", cat({me, lifetime8, lifetime(past)}), 0},
        {"type bit 15 ignored", cat({tlv(0x8005, text(kMe)), tlv(0x8003, be32(past))}), 0},
        {"type bit 15, valid", cat({tlv(0x8005, text(kMe)), tlv(0x8003, be32(ahead))}), 1},
        {"other elements skipped", cat({tlv(7, {1, 2}), me, tlv(0, {}), lifetime(ahead)}), 1},
        // The walk stops once both are seen: what follows is not read.
        {"stops after identity and lifetime", cat({me, lifetime(ahead), iid("device-you"), lifetime(past)}), 1},
        {"a later lifetime still counts", cat({lifetime(ahead), lifetime(past), me}), 0},
        {"a mismatching identity ends it", cat({iid("device-you"), me, lifetime(ahead)}), 0},
        {"element overruns the PAC-Info", cat({me, tlv(3, be32(ahead)), {0, 9, 0, 40}}), 0},
        {"empty PAC-Info", {}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(still_valid(c.elements, kMe.c_str()), c.keep);
    }
}

TEST_F(ExpiryTest, KeepOrRemoveMalformedMetadata) {
    const Bytes good_info = info(cat({iid(kMe), lifetime(kNow + 10)}));
    Bytes short_info = good_info;
    short_info.pop_back();  // length field one byte longer than the TLV
    Bytes bad_opaque = cat({Bytes{0, 2, 0, 50, 1}, good_info});
    const struct {
        const char *what;
        Bytes meta;
        int32_t keep;
    } cases[] = {
        {"PAC-Info after PAC-Opaque", cat({opaque(), good_info}), 1},
        {"PAC-Info first", cat({good_info, opaque()}), 1},
        {"PAC-Info alone", good_info, 1},
        {"no PAC-Info", opaque(), 0},
        {"truncated PAC-Info", cat({opaque(), short_info}), 0},
        {"PAC-Opaque overruns", bad_opaque, 0},
        {"three bytes", {0, 9, 0}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ks_sw_pac_still_valid(c.meta.data(), static_cast<uint16_t>(c.meta.size()), kMe.c_str()), c.keep);
    }
    EXPECT_EQ(ks_sw_pac_still_valid(nullptr, 10, kMe.c_str()), 0);
    EXPECT_EQ(ks_sw_pac_still_valid(good_info.data(), 0, kMe.c_str()), 0);
}

TEST_F(ExpiryTest, NullIdentityIsTheEmptyText) {
    EXPECT_EQ(still_valid(tlv(KS_PAC_INFO_IID, {}), nullptr), 1);
    EXPECT_EQ(still_valid(tlv(KS_PAC_INFO_IID, {0, 'a'}), nullptr), 1);
    EXPECT_EQ(still_valid(iid("a"), nullptr), 0);
    EXPECT_EQ(still_valid(iid("a"), ""), 0);
}

TEST_F(ExpiryTest, LifetimeQueries) {
    const Bytes me = iid(kMe);
    const struct {
        const char *aid;
        Bytes elements;
        int32_t valid;
        uint32_t expiration;
    } cases[] = {
        {"ahead", cat({me, lifetime(kNow + 3600)}), 1, kNow + 3600u},
        {"past", cat({me, lifetime(kNow - 1)}), 0, kNow - 1u},
        {"now", cat({me, lifetime(kNow)}), 0, kNow},
        {"none", me, 0, 0},
        {"top-bit", lifetime(0x80000001u), 0, 0x80000001u},
        {"eight-first", cat({tlv(3, cat({be32(0), be32(kNow + 99)})), lifetime(kNow + 3600)}), 0, 0},
        {"bit15", tlv(0x8003, be32(kNow + 5)), 1, kNow + 5u},
        {"after-other", cat({tlv(7, {1}), lifetime(kNow + 5)}), 1, kNow + 5u},
        {"overrun", cat({tlv(7, {1}), Bytes{0, 3, 0, 9}}), 0, 0},
    };
    for (const auto &c : cases) ASSERT_EQ(store_pac(c.aid, kKey, c.elements), KS_SUCCESS);
    // Answered from the cache, and read back from the key after a purge.
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.aid);
            const std::string aid = c.aid;
            EXPECT_EQ(ks_valid_pac_exists(u8(aid), len32(aid)), c.valid);
            EXPECT_EQ(ks_get_pac_expiration(u8(aid), len32(aid)), c.expiration);
        }
        ks_pac_cache_purge();
    }
    const std::string missing = "missing";
    EXPECT_EQ(ks_valid_pac_exists(u8(missing), len32(missing)), 0);
    EXPECT_EQ(ks_get_pac_expiration(u8(missing), len32(missing)), 0u);
    EXPECT_EQ(ks_get_pac_expiration(nullptr, 3), 0u);
    ks_is_standby = 1;
    EXPECT_EQ(ks_valid_pac_exists(u8(std::string("ahead")), 5), 0);
}

TEST_F(ExpiryTest, ClearOldPacs) {
    store_secret("secret-a");
    ASSERT_EQ(store_pac("keep-ahead", kKey, cat({iid(kMe), lifetime(kNow + 3600)})), KS_SUCCESS);
    ASSERT_EQ(store_pac("gone-past", kKey, cat({iid(kMe), lifetime(kNow - 1)})), KS_SUCCESS);
    ASSERT_EQ(store_pac("gone-other", kKey, cat({iid("someone"), lifetime(kNow + 3600)})), KS_SUCCESS);
    store_secret("secret-b");
    ASSERT_EQ(store_pac("keep-now", kKey, cat({iid(kMe), lifetime(kNow)})), KS_SUCCESS);
    ASSERT_EQ(store_pac("keep-forever", kKey, iid(kMe)), KS_SUCCESS);
    ASSERT_EQ(store_pac("gone-last", kKey, lifetime(kNow + 3600)), KS_SUCCESS);
    ksh_pac_events_clear();

    EXPECT_EQ(ks_clear_old_pacs(kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"gone-past", "gone-other", "gone-last"}));
    for (const char *aid : {"keep-ahead", "keep-now", "keep-forever"}) EXPECT_TRUE(exists(KS_KEY_TYPE_PAC, aid));
    for (const char *aid : {"gone-past", "gone-other", "gone-last"}) EXPECT_FALSE(exists(KS_KEY_TYPE_PAC, aid));
    EXPECT_TRUE(exists(KS_KEY_TYPE_SECRET, "secret-a"));
    EXPECT_TRUE(exists(KS_KEY_TYPE_SECRET, "secret-b"));
    EXPECT_EQ(ks_num_sym_keys, 5);
    // The whole cache went first, also the entries of PACs that stay.
    EXPECT_EQ(ks_pac_cacheq[0], nullptr);
    // The valid PAC is valid; the one expiring this second stays but is not.
    EXPECT_EQ(ks_valid_pac_exists(u8(std::string("keep-ahead")), 10), 1);
    EXPECT_EQ(ks_valid_pac_exists(u8(std::string("keep-now")), 8), 0);
}

TEST_F(ExpiryTest, AdjacentPacsToRemoveAreAllRemoved) {
    for (const char *aid : {"p1", "p2", "p3"}) ASSERT_EQ(store_pac(aid, kKey, iid("x")), KS_SUCCESS);
    store_secret("s");
    ASSERT_EQ(store_pac("p4", kKey, iid("x")), KS_SUCCESS);
    ksh_pac_events_clear();
    EXPECT_EQ(ks_sw_delete_old_pacs(kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"p1", "p2", "p3", "p4"}));
    ASSERT_EQ(ks_num_sym_keys, 1);
    EXPECT_EQ(ks_sym_keys[1], nullptr);  // vacated slots are cleared
    // Called directly, the walk leaves the cache alone.
    uint8_t *info_copy = nullptr;
    uint32_t info_len = 0;
    ASSERT_EQ(ks_return_pac_info(u8(std::string("p1")), 2, &info_copy, &info_len), KS_SUCCESS);
    tagged_free(info_copy);
}

TEST_F(ExpiryTest, EmptyIdentityClearsEveryPac) {
    for (const char *id : {"", static_cast<const char *>(nullptr)}) {
        store_secret("s");
        ASSERT_EQ(store_pac("a", kKey, cat({iid(kMe), lifetime(kNow + 3600)})), KS_SUCCESS);
        ASSERT_EQ(store_pac("b", kKey, iid(kMe)), KS_SUCCESS);
        ksh_pac_events_clear();
        EXPECT_EQ(ks_clear_old_pacs(id), KS_SUCCESS);
        EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(ks_num_sym_keys, 1);
        EXPECT_TRUE(exists(KS_KEY_TYPE_SECRET, "s"));
    }
}

TEST_F(ExpiryTest, StandbyRefusesOldButNotAll) {
    store_secret("s");
    ASSERT_EQ(store_pac("a", kKey, iid("other")), KS_SUCCESS);
    ASSERT_EQ(store_pac("b", kKey, iid("other")), KS_SUCCESS);
    ksh_pac_events_clear();
    ks_is_standby = 1;
    EXPECT_EQ(ks_clear_old_pacs(kMe.c_str()), KS_STDBY_NOT_SUPPORTED);
    EXPECT_EQ(ks_clear_old_pacs(""), KS_STDBY_NOT_SUPPORTED);
    EXPECT_EQ(ks_num_sym_keys, 3);
    EXPECT_NE(ks_pac_cacheq[0], nullptr);
    EXPECT_EQ(ksh_pac_event_count(), 0u);

    EXPECT_EQ(ks_clear_all_pacs(), KS_SUCCESS);
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ks_num_sym_keys, 1);
    EXPECT_EQ(ks_pac_cacheq[0], nullptr);
}

TEST_F(ExpiryTest, ClearAllLeavesOtherKeyTypes) {
    store_secret("s1");
    ASSERT_EQ(store_pac("a", kKey, iid(kMe)), KS_SUCCESS);
    Bytes wdc{KS_KEY_TYPE_WDC, 'w'};
    ASSERT_EQ(ks_sw_store_sym_key(wdc.data(), 2, nullptr, 0, kKey.data(), 4, nullptr, 0), KS_SUCCESS);
    ASSERT_EQ(store_pac("b", kKey, iid(kMe)), KS_SUCCESS);
    ASSERT_EQ(store_pac("c", kKey, {}), KS_SUCCESS);
    store_secret("s2");
    ksh_pac_events_clear();
    EXPECT_EQ(ks_clear_all_pacs(), KS_SUCCESS);
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(ks_num_sym_keys, 3);
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) EXPECT_NE(ks_sym_keys[i]->data[0], KS_KEY_TYPE_PAC);
    EXPECT_TRUE(exists(KS_KEY_TYPE_SECRET, "s1"));
    EXPECT_TRUE(exists(KS_KEY_TYPE_SECRET, "s2"));
    EXPECT_TRUE(exists(KS_KEY_TYPE_WDC, "w"));
    EXPECT_EQ(ks_pac_cacheq[0], nullptr);
}

jmp_buf g_assert_jump;
std::string g_assert_expr, g_assert_path;
void catch_assert(const char *expression, const char *path, int) {
    g_assert_expr = expression;
    g_assert_path = path;
    longjmp(g_assert_jump, 1);
}

TEST_F(ExpiryTest, NullSlotStopsTheOldPacWalk) {
    store_secret("s");
    ASSERT_EQ(store_pac("a", kKey, iid(kMe)), KS_SUCCESS);
    ks_sym_key_entry *saved = ks_sym_keys[1];
    ks_sym_keys[1] = nullptr;
    ksh_set_assert_handler(&catch_assert);
    if (setjmp(g_assert_jump) == 0) {
        ks_sw_delete_old_pacs(kMe.c_str());
        ADD_FAILURE() << "the walk went on past a null slot";
    }
    ksh_set_assert_handler(nullptr);
    ks_sym_keys[1] = saved;
    EXPECT_EQ(g_assert_expr, "p != ((void*)0)");
    EXPECT_EQ(g_assert_path, "keystore/src/ks_sw_keystore_crypto");
}

// ---- Hardware keystore ----

// A hardware keystore in memory: keys by index, metadata per key, and faults.
struct FakeHw {
    struct Key {
        Bytes handle, meta;
    };
    std::vector<Key> keys;
    std::map<std::string, int32_t> delete_fails;  // A-ID -> status
    std::string meta_fail_aid;
    int32_t meta_fail_status = KS_TIMEOUT;
    int32_t index_fail_at = -1;
    bool write_nothing = false;
    std::vector<uint16_t> asked;
    std::vector<std::string> cleared;

    void add(uint8_t type, const std::string &name, const Bytes &meta = {}) {
        keys.push_back({cat({{type}, text(name)}), meta});
    }
    size_t find(const uint8_t *h, uint8_t len) const {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i].handle == Bytes(h, h + len)) return i;
        }
        return keys.size();
    }
};
FakeHw *g_hw = nullptr;

int32_t fake_by_index(uint16_t index, uint8_t **out, uint8_t *len) {
    g_hw->asked.push_back(index);
    if (static_cast<int32_t>(index) == g_hw->index_fail_at) return KS_TIMEOUT;
    if (index >= g_hw->keys.size()) return KS_NO_MORE_RECORDS;
    if (g_hw->write_nothing) return KS_SUCCESS;
    const Bytes &h = g_hw->keys[index].handle;
    *out = static_cast<uint8_t *>(tagged_calloc(0x046000A1, 1, h.size()));
    std::memcpy(*out, h.data(), h.size());
    *len = static_cast<uint8_t>(h.size());
    return KS_SUCCESS;
}
int32_t fake_get_meta(const uint8_t *h, uint8_t len, uint8_t **out, uint16_t *out_len) {
    if (std::string(h + 1, h + len) == g_hw->meta_fail_aid) return g_hw->meta_fail_status;
    size_t i = g_hw->find(h, len);
    const Bytes &m = g_hw->keys[i].meta;
    *out = static_cast<uint8_t *>(tagged_calloc(0x046000A3, 1, m.size() + 1));
    std::memcpy(*out, m.data(), m.size());
    *out_len = static_cast<uint16_t>(m.size());
    return KS_SUCCESS;
}
int32_t fake_delete(const uint8_t *h, uint8_t len) {
    size_t i = g_hw->find(h, len);
    if (i == g_hw->keys.size()) return KS_RECORD_NOT_FOUND;
    auto f = g_hw->delete_fails.find(std::string(h + 1, h + len));
    if (f != g_hw->delete_fails.end()) return f->second;
    g_hw->keys.erase(g_hw->keys.begin() + static_cast<long>(i));
    return KS_SUCCESS;
}
// Clearing by A-ID removes the PAC even where the plain delete is refused.
int32_t fake_clear_pac(const uint8_t *aid, uint32_t aid_len) {
    g_hw->cleared.emplace_back(aid, aid + aid_len);
    Bytes h = cat({{KS_KEY_TYPE_PAC}, Bytes(aid, aid + aid_len)});
    size_t i = g_hw->find(h.data(), static_cast<uint8_t>(h.size()));
    if (i == g_hw->keys.size()) return KS_RECORD_NOT_FOUND;
    g_hw->keys.erase(g_hw->keys.begin() + static_cast<long>(i));
    return KS_SUCCESS;
}
const ks::HwPacOps kFakeOps = {&fake_by_index, &fake_get_meta, &fake_delete, &fake_clear_pac};

class HwWalkTest : public ExpiryTest {
  protected:
    void SetUp() override {
        ExpiryTest::SetUp();
        g_hw = &hw_;
        ksh_set_ha_active(0);
    }
    void TearDown() override {
        ksh_set_ha_active(1);
        g_hw = nullptr;
        ExpiryTest::TearDown();
    }
    std::vector<std::string> remaining() const {
        std::vector<std::string> out;
        for (const auto &k : hw_.keys) out.emplace_back(k.handle.begin() + 1, k.handle.end());
        return out;
    }
    FakeHw hw_;
};

TEST_F(HwWalkTest, ClearAllPassesThe256thKey) {
    for (int i = 0; i < 300; ++i) {
        hw_.add(i % 3 == 0 ? KS_KEY_TYPE_PAC : KS_KEY_TYPE_SECRET, "k" + std::to_string(i));
    }
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_EQ(hw_.keys.size(), 200u);
    for (const auto &k : hw_.keys) EXPECT_EQ(k.handle[0], KS_KEY_TYPE_SECRET);
    EXPECT_EQ(deleted_aids().size(), 100u);
    EXPECT_EQ(hw_.asked.back(), 200);  // the end, past index 255
}

TEST_F(HwWalkTest, ClearAllMovesPastAPacItCannotDelete) {
    hw_.add(KS_KEY_TYPE_PAC, "a");
    hw_.add(KS_KEY_TYPE_PAC, "stuck");
    hw_.add(KS_KEY_TYPE_SECRET, "s");
    hw_.add(KS_KEY_TYPE_PAC, "b");
    hw_.delete_fails["stuck"] = KS_TIMEOUT;
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_EQ(remaining(), (std::vector<std::string>{"stuck", "s"}));
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(hw_.cleared.empty());  // a standby unit does not tell anyone
}

TEST_F(HwWalkTest, ClearAllOnTheActiveUnitTellsTheStandby) {
    ksh_set_ha_active(1);
    hw_.add(KS_KEY_TYPE_PAC, "a");
    hw_.add(KS_KEY_TYPE_PAC, "b");
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_TRUE(hw_.keys.empty());
    EXPECT_EQ(hw_.cleared, (std::vector<std::string>{"a", "b"}));
    // The delete removed each PAC, so the clear by A-ID found nothing: no HA
    // trace. Where only the clear removes it, the trace follows.
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_HA_CLEAR_ALL_NOTIFIED), 0u);
    hw_.add(KS_KEY_TYPE_PAC, "c");
    hw_.delete_fails["c"] = KS_TIMEOUT;
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_TRUE(hw_.keys.empty());
    auto ha = pac_traces(KS_TR_PAC_HA_CLEAR_ALL_NOTIFIED);
    ASSERT_EQ(ha.size(), 1u);
    EXPECT_EQ(ha[0]->module_id, trace_module_ids[4]);
    EXPECT_EQ(ha[0]->level, 0x7000000u);
}

TEST_F(HwWalkTest, WalksEndWhenNoHandleIsWrittenOrOnFailure) {
    hw_.add(KS_KEY_TYPE_PAC, "a", cat({opaque(), info(iid("x"))}));
    hw_.write_nothing = true;
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_SUCCESS);
    EXPECT_EQ(ks::hw_delete_old_pacs(kFakeOps, kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(hw_.asked, (std::vector<uint16_t>{0, 0}));
    hw_.write_nothing = false;
    hw_.index_fail_at = 0;
    EXPECT_EQ(ks::hw_delete_all_pacs(kFakeOps), KS_TIMEOUT);
    EXPECT_EQ(ks::hw_delete_old_pacs(kFakeOps, kMe.c_str()), KS_TIMEOUT);
    EXPECT_EQ(hw_.keys.size(), 1u);
}

TEST_F(HwWalkTest, OldPacsByMetadata) {
    const Bytes keep = cat({opaque(), info(cat({iid(kMe), lifetime(kNow + 60)}))});
    const Bytes gone = cat({opaque(), info(cat({iid(kMe), lifetime(kNow - 60)}))});
    hw_.add(KS_KEY_TYPE_PAC, "gone1", gone);
    hw_.add(KS_KEY_TYPE_PAC, "gone2", gone);
    hw_.add(KS_KEY_TYPE_SECRET, "s");
    hw_.add(KS_KEY_TYPE_PAC, "keep", keep);
    hw_.add(KS_KEY_TYPE_PAC, "stuck", gone);
    hw_.add(KS_KEY_TYPE_PAC, "gone3", gone);
    hw_.delete_fails["stuck"] = KS_TIMEOUT;
    EXPECT_EQ(ks::hw_delete_old_pacs(kFakeOps, kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(remaining(), (std::vector<std::string>{"s", "keep", "stuck"}));
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"gone1", "gone2", "gone3"}));
}

TEST_F(HwWalkTest, OldPacsStopAtUnreadableMetadata) {
    const Bytes gone = cat({opaque(), info(iid("other"))});
    hw_.add(KS_KEY_TYPE_PAC, "gone1", gone);
    hw_.add(KS_KEY_TYPE_PAC, "bad", gone);
    hw_.add(KS_KEY_TYPE_PAC, "gone2", gone);
    hw_.meta_fail_aid = "bad";
    hw_.meta_fail_status = KS_BAD_RESPONSE_FORMAT;
    EXPECT_EQ(ks::hw_delete_old_pacs(kFakeOps, kMe.c_str()), KS_BAD_RESPONSE_FORMAT);
    auto t = pac_traces(KS_TR_PAC_OLD_HW_META_FAILED);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0]->args[0].i, KS_BAD_RESPONSE_FORMAT);
    // What was removed before stays removed.
    EXPECT_EQ(remaining(), (std::vector<std::string>{"bad", "gone2"}));
    EXPECT_EQ(deleted_aids(), (std::vector<std::string>{"gone1"}));
}

TEST_F(HwWalkTest, ShippedStubsEndAtOnceAndAbsentChipIsRefused) {
    ks_use_sw_ks = 0;
    EXPECT_EQ(ks_clear_all_pacs(), KS_SUCCESS);
    EXPECT_EQ(ks_clear_old_pacs(kMe.c_str()), KS_SUCCESS);
    EXPECT_EQ(ksh_message_count(), 0u);
    ks::hw_present_answer = 0;
    EXPECT_EQ(ks_clear_all_pacs_internal(), KS_NO_KEYSTORE);
    EXPECT_EQ(ks_clear_old_pacs_internal(kMe.c_str()), KS_NO_KEYSTORE);
    EXPECT_EQ(ksh_message_count(), 2u);
}

}  // namespace
}  // namespace kstest
