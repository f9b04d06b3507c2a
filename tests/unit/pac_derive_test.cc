// Keys derived from stored keys and PACs: the T-PRF over any stored key, the
// T-PRF of a PAC with its cache record, and the shared keys.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "ks_hw_seam.h"
#include "ks_test_util.h"
#include "pac_builder.h"

namespace kstest {
namespace {

constexpr uint32_t kTprfBufTag = 0x046000A5;
constexpr uint32_t kDerivedTag = 0x04600091;
constexpr uint32_t kMackTag = 0x04600092;
constexpr uint32_t kKekTag = 0x04600093;
constexpr uint32_t kSharedBufTag = 0x0460009A;
constexpr uint32_t kCacheEntryTag = 0x04600090;
constexpr uint8_t kGuard = 0xCC;

Bytes hmac_sha1(const Bytes &key, const Bytes &data) {
    uint8_t md[20];
    unsigned int len = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), md, &len);
    return Bytes(md, md + 20);
}

// Straight from the definition: T(i) = HMAC(key, T(i-1) || S || L || i).
Bytes ref_tprf(const Bytes &key, const Bytes &label, const Bytes &seed, uint32_t n) {
    Bytes s = label;
    if (!label.empty()) s.push_back(0);
    s.insert(s.end(), seed.begin(), seed.end());
    s.push_back(static_cast<uint8_t>(n >> 8));
    s.push_back(static_cast<uint8_t>(n));
    Bytes out, t;
    for (uint8_t i = 1; out.size() < n; ++i) {
        t = hmac_sha1(key, cat({t, s, {i}}));
        out.insert(out.end(), t.begin(), t.end());
    }
    out.resize(n);
    return out;
}

const Bytes kSecretHandle{KS_KEY_TYPE_SECRET, 'k'};
const std::string kAid = "authority-1";
const Bytes kPacKey = from_hex("0B97390F37517809811EFD9C6E65942B632CE953893808BA360B037CD185E414");

void store_secret(const Bytes &value) {
    ASSERT_EQ(ks_sw_store_sym_key(kSecretHandle.data(), 2, nullptr, 0, value.data(),
                                  static_cast<uint32_t>(value.size()), nullptr, 0),
              KS_SUCCESS);
}

int32_t sw_tprf(const Bytes &label, const Bytes &seed, uint8_t *out, uint32_t n) {
    return ks_sw_sym_key_t_prf(kSecretHandle.data(), 2, label.data(), static_cast<uint32_t>(label.size()),
                               seed.data(), static_cast<uint32_t>(seed.size()), out, n);
}

int32_t pac_tprf(const Bytes &label, const Bytes &seed, uint8_t *out, uint32_t n) {
    return ks_pac_key_t_prf(u8(kAid), len32(kAid), label.data(), static_cast<uint32_t>(label.size()), seed.data(),
                            static_cast<uint32_t>(seed.size()), out, n);
}

struct Vector {
    Bytes key, seed, output;
    std::string label;
};

std::vector<Vector> load_vectors() {
    std::ifstream in(std::string(KS_TEST_VECTORS_DIR) + "/eap_fast_tprf.txt");
    std::vector<Vector> out;
    Vector v;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        std::string k = line.substr(0, eq), val = eq + 2 <= line.size() ? line.substr(eq + 2) : "";
        k.erase(k.find_last_not_of(' ') + 1);
        if (k == "Key") v.key = from_hex(val);
        if (k == "Label") v.label = val;
        if (k == "Seed") v.seed = from_hex(val);
        if (k == "Output") {
            v.output = from_hex(val);
            out.push_back(v);
            v = Vector{};
        }
    }
    return out;
}

using TprfTest = KeystoreTest;

TEST_F(TprfTest, AppendixBVectorsThroughStoredKeyAndPac) {
    std::vector<Vector> vectors = load_vectors();
    ASSERT_EQ(vectors.size(), 3u);
    for (const Vector &v : vectors) {
        SCOPED_TRACE(v.label);
        store_secret(v.key);
        ASSERT_EQ(store_pac(kAid, v.key, iid("me")), KS_SUCCESS);
        const Bytes label = text(v.label);
        const uint32_t n = static_cast<uint32_t>(v.output.size());
        Bytes out(n + 4, kGuard);
        EXPECT_EQ(sw_tprf(label, v.seed, out.data(), n), KS_SUCCESS);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), v.output);
        Bytes pac_out(n + 4, kGuard);
        EXPECT_EQ(pac_tprf(label, v.seed, pac_out.data(), n), KS_SUCCESS);
        EXPECT_EQ(Bytes(pac_out.begin(), pac_out.begin() + n), v.output);
        EXPECT_EQ(Bytes(out.begin() + n, out.end()), Bytes(4, kGuard));
    }
}

TEST_F(TprfTest, WritesExactlyTheOutputLength) {
    const Bytes key = text("0123456789abcdef"), label = text("label"), seed = text("seed");
    store_secret(key);
    // Around the block size and across a partial last block; 0 and 65536
    // (whose low 16 bits are 0) write nothing.
    const struct {
        uint32_t n;
        size_t written;
    } cases[] = {{1, 1}, {19, 19}, {20, 20}, {21, 21}, {40, 40}, {50, 50}, {0, 0}, {65536, 0}, {65536 + 3, 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        Bytes out(c.written + 8, kGuard);
        ASSERT_EQ(sw_tprf(label, seed, out.data(), c.n), KS_SUCCESS);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.written), ref_tprf(key, label, seed, c.written));
        EXPECT_EQ(Bytes(out.begin() + c.written, out.end()), Bytes(8, kGuard));
    }
    // The 50-byte output is T1 || T2 || 10 bytes of T3, each block chained on
    // the previous one.
    Bytes out(50);
    ASSERT_EQ(sw_tprf(label, seed, out.data(), 50), KS_SUCCESS);
    Bytes s = cat({label, {0}, seed, {0x00, 50}});
    Bytes t1 = hmac_sha1(key, cat({s, {1}}));
    Bytes t2 = hmac_sha1(key, cat({t1, s, {2}}));
    Bytes t3 = hmac_sha1(key, cat({t2, s, {3}}));
    EXPECT_EQ(out, cat({t1, t2, Bytes(t3.begin(), t3.begin() + 10)}));
}

TEST_F(TprfTest, SeparatorOnlyAfterANonEmptyLabel) {
    const Bytes key = text("k3y"), seed = text("the seed");
    store_secret(key);
    Bytes out(20);
    ASSERT_EQ(sw_tprf({}, seed, out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, hmac_sha1(key, cat({seed, {0x00, 20, 1}})));
    ASSERT_EQ(sw_tprf(text("L"), seed, out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, hmac_sha1(key, cat({text("L"), {0}, seed, {0x00, 20, 1}})));
    ASSERT_EQ(sw_tprf(text("L"), {}, out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, hmac_sha1(key, cat({text("L"), {0}, {0x00, 20, 1}})));
}

TEST_F(TprfTest, StaticBufferUpTo488BytesOfLabelAndSeed) {
    const Bytes key = text("boundary key");
    store_secret(key);
    // With allocations of the input buffer failing, only inputs that need it
    // fail: label + seed + 24 must exceed 512.
    ksh_alloc_fail_tag(kTprfBufTag);
    const struct {
        size_t label, seed;
        int32_t status;
    } cases[] = {{100, 388, KS_SUCCESS}, {0, 488, KS_SUCCESS}, {100, 389, KS_NO_MEMORY}, {489, 0, KS_NO_MEMORY}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label + c.seed);
        Bytes label(c.label, 'L'), seed(c.seed, 's'), out(45, kGuard);
        EXPECT_EQ(sw_tprf(label, seed, out.data(), 45), c.status);
        if (c.status == KS_SUCCESS) EXPECT_EQ(out, ref_tprf(key, label, seed, 45));
        else EXPECT_EQ(out, Bytes(45, kGuard));
    }
    // Allowed to allocate, the larger input is computed and its buffer is
    // released cleansed.
    ksh_alloc_clear_faults();
    ksh_alloc_check_cleansed(1);
    const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
    Bytes label(300, 'L'), seed(1000, 's'), out(45);
    EXPECT_EQ(sw_tprf(label, seed, out.data(), 45), KS_SUCCESS);
    EXPECT_EQ(out, ref_tprf(key, label, seed, 45));
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), uncleansed);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTprfBufTag), 0u);
    ksh_alloc_check_cleansed(0);
}

TEST_F(TprfTest, UnknownKeyIsNotFound) {
    uint8_t out[20];
    EXPECT_EQ(sw_tprf(text("l"), text("s"), out, 20), KS_RECORD_NOT_FOUND);
}

class PacTprfTest : public KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        ASSERT_EQ(store_pac(kAid, kPacKey, iid("me")), KS_SUCCESS);
        ksh_trace_clear();
    }
    // Removes the PAC-Key but not the cache entry: a later success can only
    // come from the cache.
    void drop_key() {
        Bytes h = cat({{KS_KEY_TYPE_PAC}, text(kAid)});
        ASSERT_EQ(ks_sw_delete_key(h.data(), static_cast<uint32_t>(h.size())), KS_SUCCESS);
    }
};

TEST_F(PacTprfTest, ArgumentsAndStandby) {
    uint8_t out[20];
    const Bytes aid32(32, 'a');
    const struct {
        const uint8_t *aid;
        uint32_t aid_len;
        uint8_t *out;
        uint32_t out_len;
    } bad[] = {{nullptr, 3, out, 20}, {u8(kAid), 0, out, 20}, {aid32.data(), 32, out, 20},
               {u8(kAid), len32(kAid), nullptr, 20}, {u8(kAid), len32(kAid), out, 0}};
    for (const auto &c : bad) {
        EXPECT_EQ(ks_pac_key_t_prf(c.aid, c.aid_len, nullptr, 0, nullptr, 0, c.out, c.out_len), KS_INVAL_ARGS);
        EXPECT_EQ(ks_pac_shared_keys_t_prf(c.aid, c.aid_len, "id", 2, "ZAV-MACK", 8, c.out, c.out_len),
                  KS_INVAL_ARGS);
    }
    ks_is_standby = 1;
    EXPECT_EQ(ks_pac_key_t_prf(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), KS_STDBY_NOT_SUPPORTED);
    EXPECT_EQ(ks_pac_shared_keys_t_prf(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), KS_STDBY_NOT_SUPPORTED);
    EXPECT_EQ(ksh_trace_count(), 0u);
}

TEST_F(PacTprfTest, RepeatIsServedFromTheCache) {
    const Bytes label = text("label"), seed = text("seed-A");
    Bytes first(40), second(40, kGuard);
    ASSERT_EQ(pac_tprf(label, seed, first.data(), 40), KS_SUCCESS);
    EXPECT_EQ(first, ref_tprf(kPacKey, label, seed, 40));
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_NOT_IN_CACHE), 1u);
    drop_key();
    ksh_trace_clear();
    ASSERT_EQ(pac_tprf(label, seed, second.data(), 40), KS_SUCCESS);
    EXPECT_EQ(second, first);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_FOUND_IN_CACHE), 1u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_RETURNED_FROM_CACHE), 1u);
    ASSERT_EQ(pac_trace_count(KS_TR_PAC_TPRF_CACHE_OUTPUT), 1u);
    EXPECT_EQ(pac_traces(KS_TR_PAC_TPRF_CACHE_OUTPUT)[0]->args[0].i, 40);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_NOT_IN_CACHE), 0u);

    // Any input that differs (label, seed or output length, also a prefix of
    // the cached one) misses and needs the key, which is gone.
    const struct {
        Bytes label, seed;
        uint32_t n;
    } misses[] = {{text("labex"), seed, 40}, {text("labe"), seed, 40}, {label, text("seed-B"), 40},
                  {label, text("seed-"), 40}, {label, seed, 39}, {{}, seed, 40}};
    for (const auto &m : misses) {
        Bytes out(40);
        EXPECT_EQ(pac_tprf(m.label, m.seed, out.data(), m.n), KS_RECORD_NOT_FOUND);
    }
}

TEST_F(PacTprfTest, AlternatingSeedsNeverHit) {
    const Bytes label = text("label");
    const Bytes seeds[] = {text("seed-A"), text("seed-B")};
    for (int i = 0; i < 4; ++i) {
        Bytes out(20);
        ASSERT_EQ(pac_tprf(label, seeds[i % 2], out.data(), 20), KS_SUCCESS);
        EXPECT_EQ(out, ref_tprf(kPacKey, label, seeds[i % 2], 20));
    }
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_NOT_IN_CACHE), 4u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_FOUND_IN_CACHE), 3u);  // a record, but not these inputs
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_RETURNED_FROM_CACHE), 0u);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kDerivedTag), 1u);  // one record per PAC
}

TEST_F(PacTprfTest, TracesEveryOutputByte) {
    const Bytes label = text("label"), seed = text("seed");
    Bytes out(23);
    ASSERT_EQ(pac_tprf(label, seed, out.data(), 23), KS_SUCCESS);
    auto generated = pac_traces(KS_TR_PAC_TPRF_GENERATED);
    ASSERT_EQ(generated.size(), 1u);
    EXPECT_EQ(generated[0]->args[0].i, KS_SUCCESS);
    EXPECT_EQ(generated[0]->module_id, trace_module_ids[2]);
    EXPECT_EQ(generated[0]->level, 0x7000000u);
    EXPECT_EQ(pac_traces(KS_TR_PAC_TPRF_OUTPUT_LEN)[0]->args[0].i, 23);
    EXPECT_EQ(pac_traces(KS_TR_PAC_TPRF_WRITING_CACHE)[0]->args[0].i, 23);
    for (uint32_t index : {KS_TR_PAC_TPRF_OUTPUT_BYTE, KS_TR_PAC_TPRF_CACHE_BYTE}) {
        auto bytes_traced = pac_traces(index);
        ASSERT_EQ(bytes_traced.size(), 23u);
        for (size_t i = 0; i < 23; ++i) EXPECT_EQ(bytes_traced[i]->args[0].i, out[i]);
    }
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_CACHE_END), 1u);
}

TEST_F(PacTprfTest, FailureIsReturnedAndNothingCached) {
    const std::string other = "no-such-aid";
    Bytes out(5, kGuard);
    EXPECT_EQ(ks_pac_key_t_prf(u8(other), len32(other), nullptr, 0, nullptr, 0, out.data(), 5),
              KS_RECORD_NOT_FOUND);
    EXPECT_EQ(pac_traces(KS_TR_PAC_TPRF_GENERATED)[0]->args[0].i, KS_RECORD_NOT_FOUND);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_OUTPUT_BYTE), 5u);  // the caller's bytes, whatever the status
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_WRITING_CACHE), 0u);
    EXPECT_EQ(out, Bytes(5, kGuard));
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kDerivedTag), 0u);
}

TEST_F(PacTprfTest, UncachedPacIsLoadedAndCached) {
    const Bytes label = text("label"), seed = text("seed");
    ks_pac_cache_purge();
    Bytes out(20), again(20);
    ASSERT_EQ(pac_tprf(label, seed, out.data(), 20), KS_SUCCESS);
    drop_key();
    ASSERT_EQ(pac_tprf(label, seed, again.data(), 20), KS_SUCCESS);
    EXPECT_EQ(again, out);
}

TEST_F(PacTprfTest, FailedRecordOrEntryStillDeliversTheResult) {
    const Bytes label = text("label"), seed = text("seed");
    const Bytes want = ref_tprf(kPacKey, label, seed, 20);
    for (uint32_t tag : {kDerivedTag, kCacheEntryTag}) {
        SCOPED_TRACE(tag);
        ks_pac_cache_purge();
        ksh_alloc_fail_tag(tag);
        Bytes out(20);
        ASSERT_EQ(pac_tprf(label, seed, out.data(), 20), KS_SUCCESS);
        EXPECT_EQ(out, want);
        ksh_alloc_clear_faults();
        EXPECT_EQ(ksh_alloc_tag_live_blocks(kDerivedTag), 0u);
    }
    // A record that replaced an older one and failed leaves none behind.
    Bytes out(20);
    ASSERT_EQ(pac_tprf(label, seed, out.data(), 20), KS_SUCCESS);
    ksh_alloc_fail_tag(kDerivedTag);
    ASSERT_EQ(pac_tprf(label, text("other"), out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kDerivedTag), 0u);
}

TEST_F(PacTprfTest, EveryAllocationFailing) {
    // Large label and seed so that the input buffer is allocated too; after a
    // purge, the derivation also loads the cache entry and adds the record.
    // Whichever allocation fails, the output is right or the status is
    // NO_MEMORY with nothing written, and nothing leaks.
    const Bytes label(300, 'L'), seed(300, 's');
    const Bytes want = ref_tprf(kPacKey, label, seed, 30);
    int no_memory = 0;
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(nth);
        ks_pac_cache_purge();
        const uint64_t failed = ksh_alloc_failed_calls();
        ksh_alloc_fail_nth(nth);
        Bytes out(30, kGuard);
        const int32_t status = pac_tprf(label, seed, out.data(), 30);
        ksh_alloc_clear_faults();
        if (status == KS_NO_MEMORY) {
            ++no_memory;
            EXPECT_EQ(out, Bytes(30, kGuard));
        } else {
            EXPECT_EQ(status, KS_SUCCESS);
            EXPECT_EQ(out, want);
        }
        if (ksh_alloc_failed_calls() == failed) break;
        ASSERT_LT(nth, 10u);
    }
    EXPECT_EQ(no_memory, 1);  // only the input buffer is fatal
}

TEST_F(PacTprfTest, HardwareKeystore) {
    ks_use_sw_ks = 0;
    uint8_t out[20] = {};
    ks::hw_present_answer = 0;
    EXPECT_EQ(pac_tprf(text("l"), text("s"), out, 20), KS_NO_KEYSTORE);
    EXPECT_EQ(ks_pac_shared_keys_t_prf(u8(kAid), len32(kAid), "id", 2, "ZAV-MACK", 8, out, 20), KS_NO_KEYSTORE);
    EXPECT_EQ(ksh_message_count(), 2u);
    ks::hw_present_answer = 1;
    EXPECT_EQ(pac_tprf(text("l"), text("s"), out, 20), KS_SUCCESS);
    EXPECT_EQ(ksh_message_count(), 2u);
}

// ---- Shared keys ----

Bytes ref_shared(const Bytes &key, const std::string &label, const std::string &id, uint32_t n) {
    return hmac_sha1(key, cat({{1}, text(label), {0}, text(id),
                               {static_cast<uint8_t>(n / 32), static_cast<uint8_t>(n * 8)}}));
}

class SharedKeysTest : public PacTprfTest {
  protected:
    int32_t derive(const std::string &id, const char *label, uint8_t *out, uint32_t n) {
        return ks_pac_shared_keys_t_prf(u8(kAid), len32(kAid), id.c_str(), len32(id), label,
                                        label != nullptr ? static_cast<uint32_t>(std::strlen(label)) : 0, out, n);
    }
};

TEST_F(SharedKeysTest, OneBlockWithTheLengthInBits) {
    // L is the output length in bits; 20 bytes are written whatever it is.
    for (uint32_t n : {16u, 20u, 1u, 40u}) {
        SCOPED_TRACE(n);
        ks_pac_cache_purge();
        Bytes out(48, kGuard);
        ASSERT_EQ(derive("device-7", "ZAV-MACK", out.data(), n), KS_SUCCESS);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 20), ref_shared(kPacKey, "ZAV-MACK", "device-7", n));
        EXPECT_EQ(Bytes(out.begin() + 20, out.end()), Bytes(28, kGuard));
    }
    // 16 bytes: L = 00 80.
    Bytes out(20);
    ks_pac_cache_purge();
    ASSERT_EQ(derive("d", "ZAV-KEK", out.data(), 16), KS_SUCCESS);
    EXPECT_EQ(out, hmac_sha1(kPacKey, cat({{1}, text("ZAV-KEK"), {0}, text("d"), {0x00, 0x80}})));
}

TEST_F(SharedKeysTest, CachedPerLabelWhateverTheIdentity) {
    Bytes mack(20), kek(20);
    ASSERT_EQ(derive("device-1", "ZAV-MACK", mack.data(), 20), KS_SUCCESS);
    ASSERT_EQ(derive("device-1", "ZAV-KEK", kek.data(), 20), KS_SUCCESS);
    EXPECT_NE(mack, kek);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kMackTag), 1u);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kKekTag), 1u);
    drop_key();
    ksh_trace_clear();
    // Another identity still hits: the identity is not part of the match.
    Bytes out(20, kGuard);
    ASSERT_EQ(derive("device-2", "ZAV-MACK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, mack);
    ASSERT_EQ(derive("device-3", "ZAV-KEK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, kek);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_MACK_FROM_CACHE), 1u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_KEK_FROM_CACHE), 1u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_RETURNED_FROM_CACHE), 2u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_HIT_BYTE), 40u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_HIT_END), 2u);
    // Another output length misses and needs the key.
    EXPECT_EQ(derive("device-1", "ZAV-MACK", out.data(), 16), KS_RECORD_NOT_FOUND);
}

TEST_F(SharedKeysTest, LabelTracesArePackedRecords) {
    Bytes out(16, 0x5A);
    ASSERT_EQ(derive("dev", "ZAV-MACK", out.data(), 16), KS_SUCCESS);
    ASSERT_EQ(derive("dev", "ZAV-MACK", out.data(), 16), KS_SUCCESS);
    for (uint32_t index : {KS_TR_PAC_SK_MISS_LABEL, KS_TR_PAC_SK_HIT_LABEL}) {
        auto recs = pac_traces(index);
        ASSERT_EQ(recs.size(), 1u);
        const ksh_trace_record *r = recs[0];
        EXPECT_EQ(r->packed, 1);
        EXPECT_EQ(r->module_id, trace_module_ids[2]);
        ASSERT_EQ(r->nargs, 3);
        EXPECT_EQ(r->args[0].i, 8);
        EXPECT_STREQ(r->args[1].s, "ZAV-MACK");
        EXPECT_EQ(r->args[2].i, 16);
    }
    // The miss shows the identity, the A-ID byte by byte and the caller's
    // buffer as it was passed in.
    auto dev = pac_traces(KS_TR_PAC_SK_DEVICE_ID);
    ASSERT_EQ(dev.size(), 1u);
    EXPECT_EQ(dev[0]->args[0].i, 3);
    EXPECT_STREQ(dev[0]->args[1].s, "dev");
    auto aid_bytes = pac_traces(KS_TR_PAC_SK_AID_BYTE);
    ASSERT_EQ(aid_bytes.size(), kAid.size());
    EXPECT_EQ(aid_bytes[0]->args[0].i, kAid[0]);
    auto miss_bytes = pac_traces(KS_TR_PAC_SK_MISS_BYTE);
    ASSERT_EQ(miss_bytes.size(), 16u);
    EXPECT_EQ(miss_bytes[0]->args[0].i, 0x5A);
}

TEST_F(SharedKeysTest, OtherLabelsAreNeverCached) {
    Bytes first(20), second(20);
    ASSERT_EQ(derive("d", "ZAV-OTHER", first.data(), 20), KS_SUCCESS);
    ASSERT_EQ(derive("d", "ZAV-OTHER", second.data(), 20), KS_SUCCESS);
    EXPECT_EQ(first, ref_shared(kPacKey, "ZAV-OTHER", "d", 20));
    EXPECT_EQ(second, first);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_NO_MATCHING_LABEL), 2u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_NOT_IN_CACHE), 2u);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kMackTag) + ksh_alloc_tag_live_blocks(kKekTag), 0u);
    // An empty label still gets its 0x00 separator.
    ASSERT_EQ(derive("d", "", first.data(), 20), KS_SUCCESS);
    EXPECT_EQ(first, ref_shared(kPacKey, "", "d", 20));
}

TEST_F(SharedKeysTest, CacheCheckWithoutEntryOrLabel) {
    uint8_t out[20];
    EXPECT_EQ(ks_pac_check_cache_entry_for_shared_keys(u8(kAid), len32(kAid), nullptr, 8, out, 20),
              KS_UNKNOWN_FAILURE);
    ks_pac_cache_purge();
    EXPECT_EQ(ks_pac_check_cache_entry_for_shared_keys(u8(kAid), len32(kAid), "ZAV-MACK", 8, out, 20),
              KS_UNKNOWN_FAILURE);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_NOT_IN_CACHE), 2u);
}

TEST_F(SharedKeysTest, StaticBufferUpTo508BytesOfLabelAndIdentity) {
    ksh_alloc_fail_tag(kSharedBufTag);
    const struct {
        size_t label, id;
        int32_t status;
    } cases[] = {{8, 500, KS_SUCCESS}, {0, 508, KS_SUCCESS}, {8, 501, KS_UNKNOWN_FAILURE}, {509, 0, KS_UNKNOWN_FAILURE}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label + c.id);
        std::string label(c.label, 'L'), id(c.id, 'i');
        Bytes out(20, kGuard);
        EXPECT_EQ(derive(id, label.c_str(), out.data(), 20), c.status);
        if (c.status == KS_SUCCESS) EXPECT_EQ(out, ref_shared(kPacKey, label, id, 20));
        else EXPECT_EQ(out, Bytes(20, kGuard));
    }
    ksh_alloc_clear_faults();
    std::string id(600, 'i');
    Bytes out(20);
    ASSERT_EQ(derive(id, "ZAV-MACK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, ref_shared(kPacKey, "ZAV-MACK", id, 20));
}

TEST_F(SharedKeysTest, FailedCacheStepsStillDeliverTheResult) {
    const Bytes want = ref_shared(kPacKey, "ZAV-KEK", "d", 20);
    Bytes out(20);
    ksh_alloc_fail_tag(kKekTag);
    ASSERT_EQ(derive("d", "ZAV-KEK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, want);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kKekTag), 0u);
    ksh_alloc_clear_faults();

    ks_pac_cache_purge();
    ksh_alloc_fail_tag(kCacheEntryTag);
    ksh_trace_clear();
    ASSERT_EQ(derive("d", "ZAV-KEK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, want);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_POPULATE_FAILED), 1u);
    ksh_alloc_clear_faults();

    ksh_trace_clear();
    ASSERT_EQ(derive("d", "ZAV-KEK", out.data(), 20), KS_SUCCESS);
    auto populated = pac_traces(KS_TR_PAC_SK_POPULATED);
    ASSERT_EQ(populated.size(), 1u);
    EXPECT_EQ(populated[0]->args[0].p, ks_pac_cacheq[0]);
}

TEST_F(SharedKeysTest, MissingPacIsNotFound) {
    const std::string other = "nobody";
    uint8_t out[20];
    EXPECT_EQ(ks_pac_shared_keys_t_prf(u8(other), len32(other), "d", 1, "ZAV-MACK", 8, out, 20),
              KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kMackTag), 0u);
}

}  // namespace
}  // namespace kstest
