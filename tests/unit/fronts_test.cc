// The front operations (and the software operations behind the digests) as
// a caller sees them: each on every backend (the software keystore with and
// without the keys, the hardware contract with the chip present and absent)
// against a golden file, and libcrypto failures inside the crypto ones.
#include <algorithm>
#include <cstring>
#include <functional>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "keystore/ks_secret.h"
#include "ks_hw_seam.h"
#include "ossl_fault.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

// Everything an operation may write, filled with a pattern before each call.
struct Outputs {
    uint8_t buf[600], iv[16], *ptr, len8;
    char *name, text[64];
    uint32_t len32, w1, w2;
    uint16_t len16, idx;
    int32_t flag;
} g, g_before;

void fill() {
    std::memset(&g, 0xEE, sizeof g);
    g.text[0] = '\0', g.idx = 0, g.len8 = 16;
    g_before = g;
}
bool touched() { return std::memcmp(&g, &g_before, sizeof g) != 0; }

struct Op {
    const char *label;
    std::function<int32_t()> call;
    bool number = false;  // answers a number, not a status
};

// The answer, "(wrote)" when an output changed, then what the host recorded;
// copies handed out are released.
std::string run(const Op &op) {
    fill();
    const int32_t r = op.call();
    const bool wrote = touched();
    if (g.ptr != g_before.ptr) tagged_free(g.ptr);
    if (g.name != g_before.name) tagged_free(g.name);
    return std::string(op.label) + (wrote ? " (wrote): " : ": ") + (op.number ? std::to_string(r) : ks_err_str(r)) + "\n" + drain();
}

const uint8_t kIn[600] = {1, 2, 3};
const SamplePac kPac = sample_pac("aid");
const uint8_t *const A = kPac.aid.data();
const Bytes kS{KS_KEY_TYPE_SECRET, 'k'}, kP{KS_KEY_TYPE_PAC, 'a', 'i', 'd'}, kE{KS_KEY_TYPE_SECRET, 'e'};

const Op kOps[] = {
    {"snmp_password_exists", [] { return ks_snmp_password_exists("k"); }, true},
    {"return_wdc", [] { return keystore_return_wdc("k", &g.ptr, &g.len16); }},
    {"hmac_md5", [] { return ks_hmac_md5("k", kIn, 64, g.buf); }},
    {"hmac_sha1", [] { return ks_hmac_sha1("k", kIn, 64, g.buf); }},
    {"sha1_hash", [] { return ks_sha1_hash("k", kIn, 8, kIn, 8, g.buf); }},
    {"sw hmac, selector 2", [] { return ks_sw_hmac(kS.data(), 2, kIn, 2, g.buf, 2); }},
    {"sw hash, selector 0xffffffff", [] { return ks_sw_hash(kS.data(), 2, kIn, 2, nullptr, 0, g.buf, 0xFFFFFFFFu); }},
    {"sw hash of a PAC-Key", [] { return ks_sw_hash(kP.data(), 4, kIn, 2, nullptr, 0, g.buf, KS_DIGEST_MD5); }},
    {"sw hmac, empty secret", [] { return ks_sw_hmac(kE.data(), 2, kIn, 2, g.buf, KS_DIGEST_SHA1); }},
    {"sw hash of nothing", [] { return ks_sw_hash(kE.data(), 2, nullptr, 0, nullptr, 0, g.buf, KS_DIGEST_SHA1); }},
    {"sw hash, null piece with a length", [] { return ks_sw_hash(kS.data(), 2, nullptr, 9, kIn, 2, g.buf, KS_DIGEST_MD5); }},
    {"nt_response", [] { return ks_GenerateNTResponse("k", kIn, kIn, "user", g.buf); }},
    {"auth_response", [] { return ks_GenerateAuthenticatorResponse("k", kIn, kIn, kIn, "user", g.text); }},
    {"snmp_pac_exists", [] { return ks_snmp_pac_exists(A, 3); }, true},
    {"compact_fw_memory", [] { return ks_compact_fw_memory(); }},
    {"fw_version", [] { return ks_return_fw_version_and_status(&g.w1, &g.w2); }},
    {"dump_eeprom", [] { return ks_dump_eeprom(g.buf, 64); }},
    {"write_eeprom_byte", [] { return ks_write_eeprom_byte(0x00FFFFFF, 3); }},
    {"clear_old_pacs_internal", [] { return ks_clear_old_pacs_internal("someone"); }},
    {"clear_all_pacs_internal", [] { return ks_clear_all_pacs_internal(); }},
};
const Op &op(const std::string &label) {
    return *std::find_if(std::begin(kOps), std::end(kOps), [&](const Op &o) { return o.label == label; });
}

class FrontsTest : public KeystoreTest {};

// Each on a fresh keystore holding the secrets k (16 bytes), des (7), des3
// (21) and e (empty), and the PAC aid; the transcript shows the table and
// the cache afterwards.
TEST_F(FrontsTest, EveryOperationOnEachBackend) {
    std::string out;
    const char *modes[] = {"software", "software, nothing stored", "hardware present", "hardware absent"};
    for (int mode = 0; mode < 4; ++mode) {
        out += std::string("# ") + modes[mode] + "\n";
        for (const Op &o : kOps) {
            reset_keystore();
            for (auto [name, len] : {std::pair{"k", 16}, {"des", 7}, {"des3", 21}})
                ASSERT_EQ(mode == 1 || ks_store_secret_and_metadata(name, nullptr, kIn, len, kIn, 3) == KS_SUCCESS, true);
            ASSERT_EQ(mode == 1 || (store(kPac) == KS_SUCCESS && ks_sw_store_sym_key(kE.data(), 2, nullptr, 0, kIn, 0, nullptr, 0) == KS_SUCCESS), true);
            drain();
            ks_use_sw_ks = mode < 2;
            ks::hw_present_answer = mode != 3;
            out += run(o);
            out += state();
        }
    }
    expect_golden("golden/fronts_backends.txt", out);
}

// Each libcrypto allocation of an operation fails in turn, until a run
// completes: every run gives the right result, or writes nothing and (but
// for the primitives, which cannot) says so. The authenticator response
// alone answers SUCCESS with nothing written, exactly when one of its own
// two SHA-1 contexts cannot be made.
TEST_F(FrontsTest, LibcryptoFailuresNeverGiveAWrongResult) {
    if (!ossl_faults_available()) GTEST_SKIP() << "libcrypto allocated before the hook";
    const std::pair<Op, int> cases[] = {  // the operation, and its quiet failures (-1: any)
        {{"hmac_md5 primitive", [] { return hmac_md5(kIn, 80, kIn, 9, g.buf), KS_SUCCESS; }}, -1},
        {{"hmac_sha primitive", [] { return hmac_sha(kIn, 80, kIn, 9, g.buf), KS_SUCCESS; }}, -1},
        {op("hmac_sha1"), 0}, {op("hmac_md5"), 0}, {op("sha1_hash"), 0}, {op("nt_response"), 0}, {op("auth_response"), 2},
    };
    for (const auto &[o, quiet_expected] : cases) {
        // A fresh key each time: its per-key digest states are made again.
        auto stored = [] { return ks_store_secret_and_metadata("k", nullptr, kIn, 80, nullptr, 0) == KS_SUCCESS; };
        ASSERT_TRUE(stored());
        fill();
        ASSERT_EQ(o.call(), KS_SUCCESS);
        const Outputs want = g;
        int quiet = 0;
        bool completed = false;
        const uint64_t failed_before = ossl_failed_allocations();
        for (uint64_t n = 1; n < 300 && !completed && stored(); ++n) {
            const uint64_t failed = ossl_failed_allocations();
            fill();
            ossl_fail_nth(n);
            const int32_t st = o.call();
            ossl_fail_nth(0);
            completed = ossl_failed_allocations() == failed;
            quiet += st == KS_SUCCESS && !touched();
            EXPECT_TRUE(std::memcmp(&g, &want, sizeof g) == 0 || (!touched() && !completed)) << o.label << " " << n << ": " << st;
        }
        EXPECT_TRUE(completed && ossl_failed_allocations() > failed_before) << o.label;
        EXPECT_TRUE(quiet_expected < 0 || quiet == quiet_expected) << o.label << ": " << quiet;
    }
}

}  // namespace
}  // namespace kstest
