// Keys derived from stored keys and PACs: the T-PRF over any stored key, the
// T-PRF of a PAC with its cache record, and the shared keys.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>

#include "keystore/ks_modes.h"
#include "keystore/ks_sw_keystore.h"
#include "ks_hw_seam.h"
#include "ks_test_util.h"
#include "ks_vectors.h"
#include "pac_builder.h"

namespace kstest {
namespace {

constexpr uint32_t kTprfBufTag = 0x046000A5, kDerivedTag = 0x04600091, kMackTag = 0x04600092,
                   kKekTag = 0x04600093, kSharedBufTag = 0x0460009A;
constexpr uint8_t kGuard = 0xCC;
const Bytes kSecret{KS_KEY_TYPE_SECRET, 'k'};
const std::string kAid = "authority-1";
const Bytes kPacKey = from_hex("0B97390F37517809811EFD9C6E65942B632CE953893808BA360B037CD185E414");

Bytes hmac_sha1(const Bytes &key, const Bytes &data) {
    Bytes md(20);
    unsigned int len = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), md.data(), &len);
    return md;
}

// T(i) = HMAC(key, T(i-1) || label || 0x00 (non-empty label only) || seed || L || i).
Bytes ref_tprf(const Bytes &key, const Bytes &label, const Bytes &seed, uint32_t n) {
    Bytes s = cat({label, label.empty() ? Bytes{} : Bytes{0}, seed, {uint8_t(n >> 8), uint8_t(n)}}), out, t;
    for (uint8_t i = 1; out.size() < n; ++i) {
        t = hmac_sha1(key, cat({t, s, {i}}));
        out.insert(out.end(), t.begin(), t.end());
    }
    out.resize(n);
    return out;
}

Bytes ref_shared(const std::string &label, const std::string &id, uint32_t n) {
    return hmac_sha1(kPacKey, cat({{1}, text(label), {0}, text(id), {uint8_t(n / 32), uint8_t(n * 8)}}));
}

int32_t sw_tprf(const Bytes &label, const Bytes &seed, uint8_t *out, uint32_t n) {
    return ks_sw_sym_key_t_prf(kSecret.data(), 2, label.data(), uint32_t(label.size()), seed.data(),
                               uint32_t(seed.size()), out, n);
}
int32_t pac_tprf(const Bytes &label, const Bytes &seed, uint8_t *out, uint32_t n) {
    return ks_pac_key_t_prf(u8(kAid), len32(kAid), label.data(), uint32_t(label.size()), seed.data(),
                            uint32_t(seed.size()), out, n);
}
int32_t shared(const std::string &id, const char *label, uint8_t *out, uint32_t n) {
    return ks_pac_shared_keys_t_prf(u8(kAid), len32(kAid), id.c_str(), len32(id), label,
                                    uint32_t(std::strlen(label)), out, n);
}

class DeriveTest : public KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        store_secret(kPacKey);
        ASSERT_EQ(store_pac(kAid, kPacKey, iid("me")), KS_SUCCESS);
        ksh_trace_clear();
    }
    void store_secret(const Bytes &v) {
        ASSERT_EQ(ks_sw_store_sym_key(kSecret.data(), 2, nullptr, 0, v.data(), uint32_t(v.size()), nullptr, 0),
                  KS_SUCCESS);
    }
    // Removes the PAC-Key but not its cache entry: a success after this can
    // only come from the cache.
    void drop_pac_key() {
        Bytes h = cat({{KS_KEY_TYPE_PAC}, text(kAid)});
        ASSERT_EQ(ks_sw_delete_key(h.data(), uint32_t(h.size())), KS_SUCCESS);
    }
};

TEST_F(DeriveTest, Rfc4851AppendixBVectors) {
    const auto vectors = read_vectors("eap_fast_tprf.txt");
    ASSERT_EQ(vectors.size(), 3u);
    for (auto v : vectors) {
        SCOPED_TRACE(v["Label"]);
        const Bytes key = from_hex(v["Key"]), seed = from_hex(v["Seed"]), want = from_hex(v["Output"]);
        store_secret(key);
        ASSERT_EQ(store_pac(kAid, key, iid("me")), KS_SUCCESS);
        Bytes out(want.size()), pac_out(want.size());
        EXPECT_EQ(sw_tprf(text(v["Label"]), seed, out.data(), uint32_t(want.size())), KS_SUCCESS);
        EXPECT_EQ(pac_tprf(text(v["Label"]), seed, pac_out.data(), uint32_t(want.size())), KS_SUCCESS);
        EXPECT_EQ(out, want);
        EXPECT_EQ(pac_out, want);
    }
}

// Rows: label, seed, requested length, bytes written (its low 16 bits).
TEST_F(DeriveTest, TprfWritesExactlyTheLowSixteenBitsOfTheLength) {
    for (const auto &row : read_rows("tprf_lengths.txt")) {
        const Bytes label = text(row[0]), seed = text(row[1]);
        const uint32_t n = uint32_t(std::stoul(row[2])), written = uint32_t(std::stoul(row[3]));
        SCOPED_TRACE(n);
        Bytes out(written + 8, kGuard);
        ASSERT_EQ(sw_tprf(label, seed, out.data(), n), KS_SUCCESS);
        EXPECT_EQ(out, cat({ref_tprf(kPacKey, label, seed, written), Bytes(8, kGuard)}));
    }
    // An empty label has no separator: S is the seed alone.
    Bytes out(20);
    ASSERT_EQ(sw_tprf({}, text("seed"), out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, hmac_sha1(kPacKey, cat({text("seed"), {0, 20, 1}})));
    Bytes unknown{KS_KEY_TYPE_SECRET, 'x'};
    EXPECT_EQ(ks_sw_sym_key_t_prf(unknown.data(), 2, nullptr, 0, nullptr, 0, out.data(), 20), KS_RECORD_NOT_FOUND);
}

TEST_F(DeriveTest, InputBuffersAreStaticUpTo512Bytes) {
    // With the input allocations failing, only inputs beyond 512 bytes fail:
    // T-PRF label + seed + 24, shared key label + identity + 4.
    ksh_alloc_fail_tag(kTprfBufTag);
    for (size_t total : {488u, 489u}) {
        Bytes label(100, 'L'), seed(total - 100, 's'), out(45, kGuard);
        EXPECT_EQ(sw_tprf(label, seed, out.data(), 45), total == 488 ? KS_SUCCESS : KS_NO_MEMORY);
        EXPECT_EQ(out, total == 488 ? ref_tprf(kPacKey, label, seed, 45) : Bytes(45, kGuard));
    }
    ksh_alloc_fail_tag(kSharedBufTag);
    for (size_t total : {508u, 509u}) {
        std::string id(total - 8, 'i');
        Bytes out(20, kGuard);
        EXPECT_EQ(shared(id, "uncached", out.data(), 20), total == 508 ? KS_SUCCESS : KS_UNKNOWN_FAILURE);
        EXPECT_EQ(out, total == 508 ? ref_shared("uncached", id, 20) : Bytes(20, kGuard));
    }
    // Allowed to allocate, large inputs are computed and their buffers
    // released cleansed.
    ksh_alloc_clear_faults();
    ksh_alloc_check_cleansed(1);
    const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
    Bytes label(300, 'L'), seed(1000, 's'), out(45);
    EXPECT_EQ(sw_tprf(label, seed, out.data(), 45), KS_SUCCESS);
    EXPECT_EQ(out, ref_tprf(kPacKey, label, seed, 45));
    std::string id(600, 'i');
    EXPECT_EQ(shared(id, "ZAV-KEK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 20), ref_shared("ZAV-KEK", id, 20));
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), uncleansed);
    ksh_alloc_check_cleansed(0);
}

TEST_F(DeriveTest, TprfCacheHitsOnlyOnEqualInputs) {
    const Bytes label = text("label"), seed = text("seed-A");
    Bytes first(40), again(40);
    ASSERT_EQ(pac_tprf(label, seed, first.data(), 40), KS_SUCCESS);
    drop_pac_key();
    ASSERT_EQ(pac_tprf(label, seed, again.data(), 40), KS_SUCCESS);
    EXPECT_EQ(again, first);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_RETURNED_FROM_CACHE), 1u);
    EXPECT_EQ(pac_traces(KS_TR_PAC_TPRF_CACHE_OUTPUT).at(0)->args[0].i, 40);
    // Any other label, seed or length (a prefix included) needs the key.
    const struct {
        Bytes label, seed;
        uint32_t n;
    } misses[] = {{text("labex"), seed, 40}, {text("labe"), seed, 40}, {label, text("seed-"), 40},
                  {label, text("seed-B"), 40}, {label, seed, 39}, {{}, seed, 40}};
    for (const auto &m : misses) EXPECT_EQ(pac_tprf(m.label, m.seed, again.data(), m.n), KS_RECORD_NOT_FOUND);
}

TEST_F(DeriveTest, TprfAlternatingSeedsNeverHitAndTraceEachByte) {
    const Bytes seeds[] = {text("seed-A"), text("seed-B")};
    for (int i = 0; i < 4; ++i) {
        Bytes out(23);
        ASSERT_EQ(pac_tprf(text("label"), seeds[i % 2], out.data(), 23), KS_SUCCESS);
        EXPECT_EQ(out, ref_tprf(kPacKey, text("label"), seeds[i % 2], 23));
        auto traced = pac_traces(KS_TR_PAC_TPRF_CACHE_BYTE);
        ASSERT_EQ(traced.size(), 23u * (i + 1));
        EXPECT_EQ(traced.back()->args[0].i, out[22]);
    }
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_NOT_IN_CACHE), 4u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_RETURNED_FROM_CACHE), 0u);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kDerivedTag), 1u);
    // A failed derivation traces the caller's bytes and caches nothing.
    ksh_trace_clear();
    const std::string other = "no-such-aid";
    Bytes out(5, kGuard);
    EXPECT_EQ(ks_pac_key_t_prf(u8(other), len32(other), nullptr, 0, nullptr, 0, out.data(), 5), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(pac_traces(KS_TR_PAC_TPRF_GENERATED).at(0)->args[0].i, KS_RECORD_NOT_FOUND);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_OUTPUT_BYTE), 5u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_TPRF_WRITING_CACHE), 0u);
}

TEST_F(DeriveTest, EveryAllocationFailing) {
    // After a purge, each derivation loads the cache entry and adds a record;
    // this T-PRF also allocates its large input. Whichever allocation fails,
    // the result is right (only a failed T-PRF input is fatal), or nothing is
    // written, and nothing leaks.
    const Bytes label(300, 'L'), seed(300, 's');
    const Bytes want_tprf = ref_tprf(kPacKey, label, seed, 20), want_kek = ref_shared("ZAV-KEK", "dev", 20);
    for (bool tprf : {true, false}) {
        int fatal = 0;
        for (uint64_t nth = 1;; ++nth) {
            ks_pac_cache_purge();
            const uint64_t failed = ksh_alloc_failed_calls();
            ksh_alloc_fail_nth(nth);
            Bytes out(20, kGuard);
            const int32_t status = tprf ? pac_tprf(label, seed, out.data(), 20) : shared("dev", "ZAV-KEK", out.data(), 20);
            ksh_alloc_clear_faults();
            if (status == KS_NO_MEMORY) {
                ++fatal;
                EXPECT_EQ(out, Bytes(20, kGuard));
            } else {
                ASSERT_EQ(status, KS_SUCCESS) << nth;
                EXPECT_EQ(out, tprf ? want_tprf : want_kek);
            }
            if (ksh_alloc_failed_calls() == failed) break;
            ASSERT_LT(nth, 10u);
        }
        EXPECT_EQ(fatal, tprf ? 1 : 0);
    }
    EXPECT_GE(pac_trace_count(KS_TR_PAC_SK_POPULATE_FAILED), 1u);
}

TEST_F(DeriveTest, SharedKeyIsOneBlockWithTheLengthInBits) {
    for (uint32_t n : {16u, 20u, 1u, 40u}) {
        SCOPED_TRACE(n);
        ks_pac_cache_purge();
        Bytes out(48, kGuard);
        ASSERT_EQ(shared("device-7", "ZAV-MACK", out.data(), n), KS_SUCCESS);
        EXPECT_EQ(out, cat({ref_shared("ZAV-MACK", "device-7", n), Bytes(28, kGuard)}));
    }
    Bytes out(20);
    ASSERT_EQ(shared("d", "ZAV-KEK", out.data(), 16), KS_SUCCESS);
    EXPECT_EQ(out, hmac_sha1(kPacKey, cat({{1}, text("ZAV-KEK"), {0}, text("d"), {0x00, 0x80}})));
    ASSERT_EQ(shared("d", "", out.data(), 20), KS_SUCCESS);  // the separator follows an empty label too
    EXPECT_EQ(out, ref_shared("", "d", 20));
}

TEST_F(DeriveTest, SharedKeysCachedPerLabelWhateverTheIdentity) {
    Bytes mack(20), kek(20), out(20);
    ASSERT_EQ(shared("device-1", "ZAV-MACK", mack.data(), 20), KS_SUCCESS);
    ASSERT_EQ(shared("device-1", "ZAV-KEK", kek.data(), 20), KS_SUCCESS);
    ASSERT_EQ(shared("device-1", "ZAV-OTHER", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_NO_MATCHING_LABEL), 1u);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kMackTag) + ksh_alloc_tag_live_blocks(kKekTag), 2u);
    drop_pac_key();
    ksh_trace_clear();
    ASSERT_EQ(shared("device-2", "ZAV-MACK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, mack);
    ASSERT_EQ(shared("device-3", "ZAV-KEK", out.data(), 20), KS_SUCCESS);
    EXPECT_EQ(out, kek);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_MACK_FROM_CACHE), 1u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_KEK_FROM_CACHE), 1u);
    EXPECT_EQ(pac_trace_count(KS_TR_PAC_SK_HIT_BYTE), 40u);
    // Other lengths and other labels are never answered from the cache.
    EXPECT_EQ(shared("device-1", "ZAV-MACK", out.data(), 16), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(shared("device-1", "ZAV-OTHER", out.data(), 20), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_pac_check_cache_entry_for_shared_keys(u8(kAid), len32(kAid), nullptr, 8, out.data(), 20),
              KS_UNKNOWN_FAILURE);
}

TEST_F(DeriveTest, SharedKeyLabelTracesArePackedRecords) {
    Bytes out(20, 0x5A);  // 20 bytes are written whatever the length
    ASSERT_EQ(shared("dev", "ZAV-MACK", out.data(), 16), KS_SUCCESS);  // miss
    ASSERT_EQ(shared("dev", "ZAV-MACK", out.data(), 16), KS_SUCCESS);  // hit
    for (uint32_t index : {KS_TR_PAC_SK_MISS_LABEL, KS_TR_PAC_SK_HIT_LABEL}) {
        auto recs = pac_traces(index);
        ASSERT_EQ(recs.size(), 1u);
        ASSERT_TRUE(recs[0]->packed == 1 && recs[0]->nargs == 3);
        EXPECT_EQ(recs[0]->args[0].i * 1000 + recs[0]->args[2].i, 8016);
        EXPECT_STREQ(recs[0]->args[1].s, "ZAV-MACK");
    }
    EXPECT_EQ(pac_traces(KS_TR_PAC_SK_MISS_BYTE).at(0)->args[0].i, 0x5A);  // the buffer as passed in
}

TEST_F(DeriveTest, HardwareKeystore) {
    ks_use_sw_ks = 0;
    uint8_t out[20] = {};
    ks::hw_present_answer = 0;
    EXPECT_EQ(pac_tprf(text("l"), text("s"), out, 20), KS_NO_KEYSTORE);
    EXPECT_EQ(ksh_message_count(), 1u);
    ksh_message_clear();  // the message is throttled: start afresh
    EXPECT_EQ(shared("id", "ZAV-MACK", out, 20), KS_NO_KEYSTORE);
    EXPECT_EQ(ksh_message_count(), 1u);
    ksh_message_clear();
    ks::hw_present_answer = 1;
    EXPECT_EQ(pac_tprf(text("l"), text("s"), out, 20), KS_SUCCESS);
    EXPECT_EQ(shared("id", "ZAV-MACK", out, 20), KS_SUCCESS);
    EXPECT_EQ(ksh_message_count() + ksh_message_suppressed(), 0u);
}

}  // namespace
}  // namespace kstest
