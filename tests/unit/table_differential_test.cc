// Randomised sequences of key-table operations, run against the library and
// the reference model side by side. After every step each key must be found
// at the index the model gives it, with the model's value and metadata, a few
// absent handles must not be found, keyed HMACs must equal hmac_sha and
// hmac_md5 over the model's value, and AES must equal OpenSSL over it (so
// precomputed per-key state never outlives the key it was made for). The same sequences run with the handle index or
// the per-key state unable to allocate, and with changes made behind the
// index's back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>

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
    Sequence(uint32_t seed, int names) : rng_(seed), names_(names) {}

    // One random operation on both sides; the statuses must agree.
    void step() {
        switch (pick(16)) {
            case 0:
            case 1:
            case 2: store(std::nullopt); break;
            case 3: store(prefix()); break;
            case 4: insert_null_meta(); break;
            case 5: erase(); break;
            case 6: rename(); break;
            case 7: set_meta(); break;
            case 8: purge(); break;
            case 9: by_type(); break;
            case 10: old_pacs(); break;
            case 11: behind_the_back(); break;
            case 12: store_pac(); break;
            case 13: clear_pac(); break;
            case 14: purge_cache(); break;
            case 15: delete_old_pacs(); break;
        }
    }

    // The table as the model says, every key found at its index.
    void check(int step) {
        SCOPED_TRACE(testing::Message() << "after step " << step << " (" << last_ << ")");
        ASSERT_EQ(ks_num_sym_keys, model_.count());
        ASSERT_LE(ks_num_sym_keys, ks_sym_tab_size);
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
        std::vector<const pac_cache_entry *> cached;
        for (auto *e = static_cast<const pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link)
            cached.push_back(e);
        const auto &entries = keystore_.cache.entries();
        ASSERT_EQ(cached.size(), entries.size());
        for (size_t i = 0; i < cached.size(); ++i) {
            const pac_cache_entry *e = cached[i];
            ASSERT_EQ(Bytes(e->aid, e->aid + e->aid_len), entries[i].aid);
            ASSERT_EQ(Bytes(e->opaque, e->opaque + e->opaque_len), entries[i].opaque);
            ASSERT_EQ(Bytes(e->info, e->info + e->info_len), entries[i].info);
        }
        // Keyed crypto over a sample of keys (all of a small table).
        for (size_t n = 0; n < std::min<size_t>(keys.size(), 12); ++n) {
            size_t i = keys.size() <= 12 ? n : pick(static_cast<int>(keys.size()));
            check_crypto(static_cast<int32_t>(i), keys[i]);
        }
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    Bytes name() {
        int i = pick(names_);
        // Mostly short names, some long enough to need several hash words.
        std::string s = "k" + std::to_string(i);
        if (i % 7 == 3) s += std::string(24, static_cast<char>('a' + i % 26));
        return Bytes(s.begin(), s.end());
    }
    Bytes handle() {
        Bytes h{static_cast<uint8_t>(pick(4) == 0 ? KS_KEY_TYPE_PAC : KS_KEY_TYPE_SECRET)};
        Bytes n = name();
        h.insert(h.end(), n.begin(), n.end());
        return h;
    }
    Bytes random_bytes(size_t n) {
        Bytes b(n);
        for (auto &c : b) c = static_cast<uint8_t>(pick(256));
        return b;
    }
    Bytes value() {
        static const size_t kLens[] = {0, 1, 7, 16, 20, 24, 32, 64, 65, 100};
        return random_bytes(kLens[pick(10)]);
    }
    Bytes meta() {
        static const size_t kLens[] = {0, 0, 3, 10, 40};
        return random_bytes(kLens[pick(5)]);
    }
    // A type byte and the first characters of a name.
    Bytes prefix() {
        Bytes h = handle();
        h.resize(1 + pick(3));
        return h;
    }

    void store(const std::optional<Bytes> &p) {
        Bytes h = handle(), v = value(), m = meta();
        last_ = p ? "store with purge" : "store";
        int32_t st = ks_sw_store_sym_key(h.data(), len(h), p ? p->data() : nullptr, p ? len(*p) : 0, ptr(v), len(v),
                                         ptr(m), len(m));
        EXPECT_EQ(st, model_.store(h, p, v, m));
    }
    void insert_null_meta() {
        Bytes h = handle(), v = value();
        last_ = "insert, null metadata";
        uint32_t n = static_cast<uint32_t>(pick(5));
        EXPECT_EQ(ks_sym_key_insert(h.data(), len(h), ptr(v), len(v), nullptr, n), model_.insert(h, v, Bytes(n, 0)));
    }
    void erase() {
        Bytes h = handle();
        last_ = "delete";
        EXPECT_EQ(ks_sw_delete_key(h.data(), len(h)), model_.erase(h));
    }
    void rename() {
        Bytes from = handle(), to = handle();
        if (from == to) return;  // the front answers that case itself
        bool with_prefix = pick(4) == 0;
        Bytes p = with_prefix ? prefix() : Bytes{};
        last_ = "rename";
        EXPECT_EQ(ks_sw_rename_key(from.data(), len(from), to.data(), len(to), with_prefix ? p.data() : nullptr, len(p)),
                  model_.rename(from, to, with_prefix ? std::optional<Bytes>(p) : std::nullopt));
    }
    void set_meta() {
        Bytes h = handle(), m = meta();
        last_ = "metadata";
        EXPECT_EQ(ks_sw_add_sym_key_meta(h.data(), len(h), ptr(m), len(m)), model_.set_meta(h, m));
    }
    void purge() {
        Bytes p = prefix();
        if (pick(8) != 0) p.resize(std::max<size_t>(p.size(), 2));
        last_ = "purge";
        EXPECT_EQ(ks_sym_key_prefix_purge(p.data(), len(p)), model_.purge(p));
    }
    void by_type() {
        if (pick(4) != 0) return;  // rare: it empties much of the table
        uint8_t type = pick(2) ? KS_KEY_TYPE_PAC : KS_KEY_TYPE_SECRET;
        last_ = "delete by type";
        model_.delete_by_type(type, nullptr);
        EXPECT_EQ(ks_sw_delete_all_keys_by_type(type), KS_SUCCESS);
    }
    // A walk over the table that removes the PACs it rejects through the
    // shared removal step, as the old-PAC walk does (here: PACs with
    // metadata of 3 bytes).
    void old_pacs() {
        last_ = "old-PAC walk";
        auto rejected = [](const ks_sym_key_entry *p) {
            return p->handle_len != 0 && p->data[0] == KS_KEY_TYPE_PAC && p->meta_len == 3;
        };
        for (int32_t i = 0; i < ks_num_sym_keys;) {
            if (rejected(ks::sym_key_slot(i, ks::kSwCryptoPath))) ks::sym_key_remove(i);
            else ++i;
        }
        keystore_.delete_old_pacs([](const Bytes &m) { return m.size() != 3; });
    }
    // Removes the last key by hand, without the removal step: the index sees
    // the count change and rebuilds itself.
    void behind_the_back() {
        if (ks_num_sym_keys == 0 || pick(3) != 0) return;
        last_ = "removal behind the index's back";
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
        Bytes iid = tlv(5, Bytes{'d', 'e', 'v'});  // an I-ID naming the device "dev"
        Bytes opaque = tlv(KS_PAC_TLV_OPAQUE, random_bytes(pick(20)));
        Bytes info = tlv(KS_PAC_TLV_INFO, pick(2) ? iid : random_bytes(pick(20)));
        last_ = "PAC store";
        EXPECT_EQ(ks_store_pac(aid.data(), len(aid), key.data(), len(key), opaque.data(), len(opaque), info.data(),
                               len(info)),
                  keystore_.store_pac(aid, key, opaque, info));
    }
    void clear_pac() {
        Bytes aid = name();
        last_ = "PAC clear";
        EXPECT_EQ(ks_clear_pac(aid.data(), len(aid)), keystore_.clear_pac(aid));
    }
    // The library's old-PAC walk: PACs whose metadata does not name the
    // device go (the model asks the library's own keep-or-remove test).
    void delete_old_pacs() {
        if (pick(3) != 0) return;
        last_ = "old-PAC removal";
        const char *device = pick(2) ? "dev" : "";
        EXPECT_EQ(ks_sw_delete_old_pacs(device), KS_SUCCESS);
        keystore_.delete_old_pacs([&](const Bytes &m) {
            return ks_sw_pac_still_valid(ptr(m), static_cast<uint16_t>(m.size()), device) != 0;
        });
    }
    void purge_cache() {
        if (pick(4) != 0) return;
        last_ = "PAC cache purge";
        ks_pac_cache_purge();
        keystore_.cache.purge();
    }

    void check_crypto(int32_t slot, const ksmodel::Key &k) {
        const uint8_t data[] = "differential data for every key";
        for (bool sha1 : {true, false}) {
            // The keyed HMAC through the table equals hmac_sha / hmac_md5 over
            // the model's value (an empty value writes nothing either way).
            uint8_t got[20], want[20];
            std::memset(got, 0xEE, sizeof got);
            std::memset(want, 0xEE, sizeof want);
            ASSERT_EQ(ks_sw_hmac(k.handle.data(), len(k.handle), data, sizeof data, got,
                                 sha1 ? KS_DIGEST_SHA1 : KS_DIGEST_MD5),
                      KS_SUCCESS);
            (sha1 ? hmac_sha : hmac_md5)(ptr(k.value), len(k.value), data, sizeof data, want);
            EXPECT_EQ(kstest::to_hex(got, 20), kstest::to_hex(want, 20)) << "HMAC, slot " << slot;
            // And the key's precomputed state is there to be used.
            uint8_t again[20];
            bool done = ks::key_state_hmac(slot, sha1 ? ks::ossl::Md::kSha1 : ks::ossl::Md::kMd5, data, sizeof data,
                                           again);
            EXPECT_EQ(done, expect_state_ && !k.value.empty()) << "slot " << slot;
            if (done) {
                EXPECT_EQ(kstest::to_hex(again, sha1 ? 20 : 16), kstest::to_hex(want, sha1 ? 20 : 16));
            }
        }
        // The T-PRF's first block is HMAC-SHA-1(key, label || 0 || seed || L || 1)
        // with the stored value as key (its length read as 16 bits).
        if (!k.value.empty() && k.value.size() <= 0xFFFF) {
            const Bytes input{'l', 'a', 'b', 0, 's', 'e', 'e', 'd', 0, 20, 1};
            uint8_t got[20], want[20];
            ASSERT_EQ(ks_sw_sym_key_t_prf(k.handle.data(), len(k.handle), input.data(), 3, input.data() + 4, 4, got, 20),
                      KS_SUCCESS);
            hmac_sha(k.value.data(), len(k.value), input.data(), len(input), want);
            EXPECT_EQ(kstest::to_hex(got, 20), kstest::to_hex(want, 20)) << "T-PRF, slot " << slot;
        }
        const EVP_CIPHER *aes = k.value.size() == 16   ? EVP_aes_128_ecb()
                                : k.value.size() == 24 ? EVP_aes_192_ecb()
                                : k.value.size() == 32 ? EVP_aes_256_ecb()
                                                       : nullptr;
        uint8_t block[32];
        std::memcpy(block, data, sizeof block);
        bool done = ks::key_state_aes_ecb(slot, true, block, block, sizeof block) == ks::AesResult::kDone;
        EXPECT_EQ(done, aes != nullptr && expect_state_) << "slot " << slot;
        if (!done || aes == nullptr) return;
        uint8_t want[32];
        int n = 0;
        EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(c, aes, nullptr, k.value.data(), nullptr);
        EVP_CIPHER_CTX_set_padding(c, 0);
        EVP_EncryptUpdate(c, want, &n, data, sizeof want);
        EVP_CIPHER_CTX_free(c);
        EXPECT_EQ(kstest::to_hex(block, 32), kstest::to_hex(want, 32)) << "AES, slot " << slot;
        ASSERT_EQ(ks::key_state_aes_ecb(slot, false, block, block, sizeof block), ks::AesResult::kDone);
        EXPECT_EQ(0, std::memcmp(block, data, sizeof block)) << "AES round trip, slot " << slot;
    }

  public:
    bool expect_state_ = true;  // false: per-key state cannot be made

  private:
    std::mt19937 rng_;
    int names_;
    ksmodel::Keystore keystore_;
    ksmodel::KeyTable &model_ = keystore_.table;
    const char *last_ = "start";
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
        const char *what;
        uint32_t failing_tag;  // 0: none
        int names;             // size of the name pool: small pools collide often
    } runs[] = {
        {"index and per-key state", 0, 40},
        {"a larger table", 0, 400},
        {"no index", kTagIndex, 60},
    };
    uint32_t seed = 1;
    for (const auto &run : runs) {
        SCOPED_TRACE(run.what);
        kstest::reset_keystore();
        if (run.failing_tag == kTagIndex) ks::index_release();  // as if the allocation at load had failed
        ksh_alloc_fail_tag(run.failing_tag);
        ks_rf_disabled = 1;  // a PAC clear then has no standby to tell
        Sequence seq(seed++, run.names);
        seq.expect_state_ = run.failing_tag == 0;
        const uint64_t failed = ksh_alloc_failed_calls();
        for (int step = 0; step < 2500; ++step) {
            seq.step();
            ASSERT_NO_FATAL_FAILURE(seq.check(step));
            if (HasFailure()) return;
        }
        EXPECT_EQ(ks::index_present(), run.failing_tag != kTagIndex);
        if (run.failing_tag != 0) {
            EXPECT_GT(ksh_alloc_failed_calls(), failed) << "the failure was not reached";
        }
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

}  // namespace

namespace {

// A full table: every key found at its index after the refused inserts, after
// removals at the front and the end, and after changes made behind the
// index's back (which it must notice and rebuild from).
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

    // Behind the index's back: two slots swapped and the count lowered (as a
    // caller writing the globals might); the count change makes it rebuild.
    std::swap(ks_sym_keys[0], ks_sym_keys[1]);
    ks::sym_key_free_entry(ks_sym_keys[ks_num_sym_keys - 1]);
    ks_sym_keys[--ks_num_sym_keys] = nullptr;
    Bytes k0 = model.keys()[0].handle, k1 = model.keys()[1].handle;
    model.erase(model.keys().back().handle);
    model.erase(k0);
    model.erase(k1);
    ksmodel::KeyTable swapped;
    swapped.insert(k1, {}, {});
    swapped.insert(k0, {}, {});
    for (const auto &k : model.keys()) swapped.insert(k.handle, {}, {});
    model = swapped;
    all_found("after changes behind the index's back");

}

}  // namespace

namespace {

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
