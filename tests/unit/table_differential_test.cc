// Randomised sequences of key-table operations, run against the library and
// the reference model side by side. After every step each key must be found
// at the index the model gives it, with the model's value and metadata,
// absent handles must not be found, and keyed HMACs must equal hmac_sha and
// hmac_md5 over the model's value (so precomputed per-key state never
// outlives the key it was made for). The same sequences run with the handle
// index unable to allocate and with changes made behind the index's back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../model/ks_model.h"
#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_pac_internal.h"
#include "ks_sw_index.h"
#include "ks_sw_key_state.h"
#include "ks_sw_table.h"
#include "ks_test_util.h"

namespace {

using ksmodel::Bytes;

constexpr uint32_t kTagIndex = 0x04600095;

const uint8_t *ptr(const Bytes &b) { return b.empty() ? nullptr : b.data(); }
uint32_t len(const Bytes &b) { return static_cast<uint32_t>(b.size()); }

class Sequence {
  public:
    Sequence(uint32_t seed, int names, bool expect_state) : rng_(seed), names_(names), expect_state_(expect_state) {}

    // One random operation on both sides; the statuses must agree.
    void step() {
        Bytes h = handle(), h2 = handle(), v = value(), m = meta(), p = prefix();
        switch (pick(12)) {
            case 0:
            case 1: EXPECT_EQ(ks_sw_store_sym_key(h.data(), len(h), nullptr, 0, ptr(v), len(v), ptr(m), len(m)),
                              model_.store(h, std::nullopt, v, m));
                break;
            case 2: EXPECT_EQ(ks_sw_store_sym_key(h.data(), len(h), p.data(), len(p), ptr(v), len(v), ptr(m), len(m)),
                              model_.store(h, p, v, m));
                break;
            case 3: EXPECT_EQ(ks_sw_delete_key(h.data(), len(h)), model_.erase(h)); break;
            case 4:
                if (h == h2) break;  // the front answers that case itself
                if (pick(4) == 0) {
                    EXPECT_EQ(ks_sw_rename_key(h.data(), len(h), h2.data(), len(h2), p.data(), len(p)),
                              model_.rename(h, h2, p));
                } else {
                    EXPECT_EQ(ks_sw_rename_key(h.data(), len(h), h2.data(), len(h2), nullptr, 0),
                              model_.rename(h, h2, std::nullopt));
                }
                break;
            case 5: EXPECT_EQ(ks_sw_add_sym_key_meta(h.data(), len(h), ptr(m), len(m)), model_.set_meta(h, m)); break;
            case 6:
                if (pick(8) != 0) p.resize(std::max<size_t>(p.size(), 2));
                EXPECT_EQ(ks_sym_key_prefix_purge(p.data(), len(p)), model_.purge(p));
                break;
            case 7:
                if (pick(4) != 0) break;  // rare: it empties much of the table
                model_.delete_by_type(h[0], nullptr);
                EXPECT_EQ(ks_sw_delete_all_keys_by_type(h[0]), KS_SUCCESS);
                break;
            case 8: store_pac(); break;
            case 9: EXPECT_EQ(ks_clear_pac(h.data() + 1, len(h) - 1), keystore_.clear_pac(Bytes(h.begin() + 1, h.end())));
                break;
            case 10:
                if (pick(3) == 0) delete_old_pacs();
                break;
            case 11:
                if (pick(3) == 0) behind_the_back();
                break;
        }
    }

    // The table as the model says, every key found at its index.
    void check(int step) {
        SCOPED_TRACE(testing::Message() << "after step " << step);
        ASSERT_EQ(ks_num_sym_keys, model_.count());
        const auto &keys = model_.keys();
        for (size_t i = 0; i < keys.size(); ++i) {
            const ksmodel::Key &k = keys[i];
            ASSERT_EQ(ks_sym_key_find(ptr(k.handle), len(k.handle)), static_cast<int32_t>(i));
            const ks_sym_key_entry *e = ks_sym_keys[i];
            ASSERT_EQ(Bytes(ks::entry_value(e), ks::entry_value(e) + e->value_len), k.value);
            ASSERT_EQ(Bytes(ks::entry_meta(e), ks::entry_meta(e) + e->meta_len), k.meta);
        }
        for (int n = 0; n < 4; ++n) {
            Bytes h = handle();
            ASSERT_EQ(ks_sym_key_find(ptr(h), len(h)), model_.find(h));
        }
        // The PAC cache, head to tail.
        const auto &entries = keystore_.cache.entries();
        size_t n = 0;
        for (auto *e = static_cast<const pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link, ++n) {
            ASSERT_LT(n, entries.size());
            ASSERT_EQ(Bytes(e->aid, e->aid + e->aid_len), entries[n].aid);
            ASSERT_EQ(Bytes(e->info, e->info + e->info_len), entries[n].info);
        }
        ASSERT_EQ(n, entries.size());
        // Keyed HMACs over a sample of keys (all of a small table).
        for (size_t j = 0; j < std::min<size_t>(keys.size(), 12); ++j) {
            size_t i = keys.size() <= 12 ? j : pick(static_cast<int>(keys.size()));
            check_hmac(static_cast<int32_t>(i), keys[i]);
        }
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    // Mostly short names, some long enough to need several hash words.
    Bytes name() {
        int i = pick(names_);
        std::string s = "k" + std::to_string(i);
        if (i % 7 == 3) s += std::string(24, static_cast<char>('a' + i % 26));
        return Bytes(s.begin(), s.end());
    }
    Bytes handle() {
        Bytes h{static_cast<uint8_t>(pick(4) == 0 ? KS_KEY_TYPE_PAC : KS_KEY_TYPE_SECRET)}, n = name();
        h.insert(h.end(), n.begin(), n.end());
        return h;
    }
    Bytes random_bytes(size_t n) {
        Bytes b(n);
        for (auto &c : b) c = static_cast<uint8_t>(pick(256));
        return b;
    }
    Bytes value() { return random_bytes(std::vector<size_t>{0, 1, 7, 16, 20, 64, 65, 100}[pick(8)]); }
    Bytes meta() { return random_bytes(std::vector<size_t>{0, 0, 3, 10, 40}[pick(5)]); }
    // A type byte and the first characters of a name.
    Bytes prefix() {
        Bytes h = handle();
        h.resize(1 + pick(3));
        return h;
    }

    // Removes the last key by hand, without the removal step: the index sees
    // the count change and rebuilds itself.
    void behind_the_back() {
        if (ks_num_sym_keys == 0) return;
        int32_t last = ks_num_sym_keys - 1;
        ks::sym_key_free_entry(ks_sym_keys[last]);
        ks_sym_keys[last] = nullptr;
        ks_num_sym_keys = last;
        model_.erase(model_.keys().back().handle);
    }

    // PAC records through the PAC store: the key and the cache change together.
    static Bytes tlv(uint16_t type, const Bytes &value) {
        Bytes t{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(value.size() >> 8),
                static_cast<uint8_t>(value.size())};
        t.insert(t.end(), value.begin(), value.end());
        return t;
    }
    void store_pac() {
        Bytes aid = name(), key = random_bytes(1 + pick(40));
        Bytes opaque = tlv(KS_PAC_TLV_OPAQUE, random_bytes(pick(20)));
        Bytes info = tlv(KS_PAC_TLV_INFO, pick(2) ? tlv(5, Bytes{'d', 'e', 'v'}) : random_bytes(pick(20)));
        EXPECT_EQ(ks_store_pac(aid.data(), len(aid), key.data(), len(key), opaque.data(), len(opaque), info.data(),
                               len(info)),
                  keystore_.store_pac(aid, key, opaque, info));
    }
    // The library's old-PAC walk: PACs whose metadata does not name the
    // device go (the model asks the library's own keep-or-remove test).
    void delete_old_pacs() {
        const char *device = pick(2) ? "dev" : "";
        EXPECT_EQ(ks_sw_delete_old_pacs(device), KS_SUCCESS);
        keystore_.delete_old_pacs([&](const Bytes &m) {
            return ks_sw_pac_still_valid(ptr(m), static_cast<uint16_t>(m.size()), device) != 0;
        });
    }

    // The keyed HMAC through the table equals hmac_sha / hmac_md5 over the
    // model's value, and the key's precomputed state is there to be used.
    void check_hmac(int32_t slot, const ksmodel::Key &k) {
        const uint8_t data[] = "differential data for every key";
        for (bool sha1 : {true, false}) {
            uint8_t got[20], want[20], again[20];
            std::memset(got, 0xEE, sizeof got);
            std::memset(want, 0xEE, sizeof want);
            ASSERT_EQ(ks_sw_hmac(k.handle.data(), len(k.handle), data, sizeof data, got,
                                 sha1 ? KS_DIGEST_SHA1 : KS_DIGEST_MD5),
                      KS_SUCCESS);
            (sha1 ? hmac_sha : hmac_md5)(ptr(k.value), len(k.value), data, sizeof data, want);
            EXPECT_EQ(kstest::to_hex(got, 20), kstest::to_hex(want, 20)) << "HMAC, slot " << slot;
            bool done = ks::key_state_hmac(slot, sha1 ? ks::ossl::Md::kSha1 : ks::ossl::Md::kMd5, data, sizeof data,
                                           again);
            EXPECT_EQ(done, expect_state_ && !k.value.empty()) << "slot " << slot;
            if (done) {
                EXPECT_EQ(kstest::to_hex(again, sha1 ? 20 : 16), kstest::to_hex(want, sha1 ? 20 : 16));
            }
        }
    }

    std::mt19937 rng_;
    int names_;
    bool expect_state_;  // false: per-key state cannot be made
    ksmodel::Keystore keystore_;
    ksmodel::KeyTable &model_ = keystore_.table;
};

class TableDifferentialTest : public kstest::KeystoreTest {
  protected:
    void TearDown() override {
        ksh_alloc_clear_faults();
        ks::index_allocate();  // as the library had it at load
        kstest::KeystoreTest::TearDown();
        EXPECT_EQ(ks::index_state_records_in_use(), 0) << "per-key state outlived its keys";
    }
};

TEST_F(TableDifferentialTest, RandomSequencesMatchTheModel) {
    const struct {
        bool index;
        int names;  // size of the name pool: small pools collide often
    } runs[] = {{true, 40}, {true, 400}, {false, 60}};
    uint32_t seed = 1;
    for (const auto &run : runs) {
        SCOPED_TRACE(testing::Message() << "index " << run.index << " names " << run.names);
        kstest::reset_keystore();
        if (!run.index) ks::index_release();  // as if the allocation at load had failed
        if (!run.index) ksh_alloc_fail_tag(kTagIndex);
        ks_rf_disabled = 1;  // a PAC clear then has no standby to tell
        Sequence seq(seed++, run.names, run.index);
        for (int step = 0; step < 2500 && !HasFailure(); ++step) {
            seq.step();
            ASSERT_NO_FATAL_FAILURE(seq.check(step));
        }
        EXPECT_EQ(ks::index_present(), run.index);
        ksh_alloc_clear_faults();
        kstest::reset_keystore();
        EXPECT_EQ(ks::index_state_records_in_use(), 0);
        ks::index_allocate();
    }
}

// Per-key state is wiped with its key, however the key goes or changes.
TEST_F(TableDifferentialTest, PerKeyStateIsWipedWhenItsKeyGoes) {
    const uint8_t h[] = {1, 'k'}, v[16] = {1, 2, 3}, data[] = "x";
    const Bytes other{1, 'o'}, longer{1, 'k', 'k', 'k'};
    const struct {
        const char *what;
        std::function<void()> op;
    } cases[] = {
        {"delete", [&] { ks_sw_delete_key(h, 2); }},
        {"re-store", [&] { ks_sw_store_sym_key(h, 2, nullptr, 0, v, 16, nullptr, 0); }},
        {"purge", [&] { ks_sym_key_prefix_purge(h, 1); }},
        {"metadata growth", [&] { ks_sw_add_sym_key_meta(h, 2, data, 2); }},
        {"rename in place", [&] { ks_sw_rename_key(h, 2, other.data(), 2, nullptr, 0); }},
        {"rename into a new entry", [&] { ks_sw_rename_key(h, 2, longer.data(), 4, nullptr, 0); }},
        {"delete by type", [&] { ks_sw_delete_all_keys_by_type(1); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        ASSERT_EQ(ks_sw_store_sym_key(h, 2, nullptr, 0, v, 16, nullptr, 0), KS_SUCCESS);
        uint8_t out[32];
        ASSERT_TRUE(ks::key_state_hmac(0, ks::ossl::Md::kSha1, data, 1, out));
        ASSERT_EQ(ks::key_state_aes_ecb(0, true, out, out, 16), ks::AesResult::kDone);
        ASSERT_EQ(ks::index_state_records_in_use(), 1);
        const uint64_t calls = ksh_alloc_calls();
        ASSERT_TRUE(ks::key_state_hmac(0, ks::ossl::Md::kMd5, data, 1, out));  // made once, then reused
        EXPECT_EQ(ksh_alloc_calls(), calls);
        c.op();
        EXPECT_EQ(ks::index_state_records_in_use(), 0);  // the record is wiped
    }
}

// A full table: every key found at its index after the refused inserts and
// after removals at the front and the end.
TEST_F(TableDifferentialTest, IndexFollowsAFullTable) {
    ksmodel::KeyTable model;
    auto handle = [](int i) {
        std::string s = "\x01key" + std::to_string(i);
        return Bytes(s.begin(), s.end());
    };
    auto all_found = [&](const char *when) {
        SCOPED_TRACE(when);
        ASSERT_EQ(ks_num_sym_keys, model.count());
        for (int32_t i = 0; i < model.count(); ++i) {
            const Bytes &h = model.keys()[i].handle;
            ASSERT_EQ(ks_sym_key_find(h.data(), len(h)), i);
        }
    };
    for (int i = 0; i < KS_MAX_KEYS; ++i) {
        Bytes h = handle(i);
        ASSERT_EQ(ks_sym_key_insert(h.data(), len(h), h.data(), len(h), nullptr, 0), model.insert(h, h, {}));
    }
    Bytes extra = handle(KS_MAX_KEYS), again = handle(7);
    EXPECT_EQ(ks_sym_key_insert(extra.data(), len(extra), nullptr, 0, nullptr, 0), KS_KEYSTORE_FULL);
    EXPECT_EQ(ks_sym_key_insert(again.data(), len(again), nullptr, 0, nullptr, 0), KS_KEYSTORE_FULL);
    EXPECT_EQ(ks_sym_key_find(extra.data(), len(extra)), -1);
    all_found("full");

    const Bytes first = handle(0), last = handle(KS_MAX_KEYS - 1);
    ASSERT_EQ(ks_sw_delete_key(first.data(), len(first)), model.erase(first));
    ASSERT_EQ(ks_sw_delete_key(last.data(), len(last)), model.erase(last));
    ASSERT_EQ(ks_sym_key_insert(first.data(), len(first), nullptr, 0, nullptr, 0), model.insert(first, {}, {}));
    all_found("after removals and a re-insert");
}

// AES-ECB through the key's own contexts gives what the plain per-call path
// gives (the index released), for every key size, both directions, aligned
// and unaligned values, and input and output in place, apart or overlapping
// by part of the data.
TEST_F(TableDifferentialTest, KeyedAesMatchesThePlainPath) {
    const int offsets[] = {0, 64, 16, -16, 8, -8, 48};  // out - in, in bytes
    for (uint32_t key_len : {16u, 24u, 32u}) {
        for (const char *name : {"abc", "abcd"}) {  // values 4-byte aligned, then not
            for (int32_t encrypt : {1, 0}) {
                for (int off : offsets) {
                    SCOPED_TRACE(testing::Message() << key_len << " " << name << " enc " << encrypt << " off " << off);
                    uint8_t run[2][192];
                    for (int plain = 0; plain < 2; ++plain) {
                        kstest::reset_keystore();
                        Bytes h{KS_KEY_TYPE_SECRET}, v(key_len);
                        h.insert(h.end(), name, name + std::strlen(name));
                        for (uint32_t i = 0; i < key_len; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
                        ASSERT_EQ(ks_sw_store_sym_key(h.data(), len(h), nullptr, 0, v.data(), key_len, nullptr, 0),
                                  KS_SUCCESS);
                        if (plain) ks::index_release();
                        uint8_t *buf = run[plain];
                        for (int i = 0; i < 192; ++i) buf[i] = static_cast<uint8_t>(i);
                        uint8_t *in = buf + 64, *out = in + off;
                        ASSERT_EQ(ks_sw_aes(h.data(), len(h), in, out, 64, encrypt), KS_SUCCESS);
                        ASSERT_EQ(ks::index_present(), plain == 0);
                        ks::index_allocate();
                    }
                    EXPECT_EQ(kstest::to_hex(run[0], 192), kstest::to_hex(run[1], 192));
                }
            }
        }
    }
}

}  // namespace
