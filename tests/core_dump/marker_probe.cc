// SPDX-License-Identifier: Apache-2.0
// The child of the core-dump test: stores the marker secrets of a seed, runs
// every keyed operation with each of them, wipes its own copies, says "ready"
// on standard output and waits for standard input to close, so that the test
// can take a core of it meanwhile.
//
// Usage: ks_core_probe SEED (hexadecimal)
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keystore/keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "markers.h"

namespace {

using kscore::kMarkers;

int g_failures = 0;

void check(const char *what, const char *name, int32_t status) {
    if (status == KS_SUCCESS) return;
    std::fprintf(stderr, "%s %s: %s\n", what, name, ks_err_str(status));
    ++g_failures;
}

// Every operation keyed by a stored name; those the key's length does not
// suit fail early, the others compute with it.
void use_by_name(const char *name, const char *other) {
    uint8_t data[64] = {1, 2, 3}, out[600], iv[16] = {};
    const uint8_t *challenge = data + 16;
    (void)ks_hmac_md5(name, data, sizeof data, out);
    (void)ks_hmac_sha1(name, data, sizeof data, out);
    (void)ks_md5_hash(name, data, 5, data, 7, out);
    (void)ks_sha1_hash(name, data, 5, data, 7, out);
    (void)ks_aes_encrypt(name, data, out, 64);
    (void)ks_aes_decrypt(name, out, out, 64);
    (void)ks_aes_cbc_encrypt(name, iv, data, 64, out);
    (void)ks_aes_cbc_decrypt(name, iv, out, 64, out);
    (void)ks_des_ecb_encrypt(name, data, 16, out, 16);
    (void)ks_des_ecb_decrypt(name, out, 16, out, 16);
    (void)ks_3des_ecb_encrypt(name, data, 16, out, 16);
    (void)ks_3des_ecb_decrypt(name, out, 16, out, 16);
    (void)ks_GenerateNTResponse(name, challenge, challenge, "user", out);
    (void)ks_GenerateAuthenticatorResponse(name, data, challenge, challenge, "user", reinterpret_cast<char *>(out));
    (void)ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(name, other, out);
    (void)ks_GetMasterKey(name, data, out);
    const std::string handle = std::string(1, static_cast<char>(KS_KEY_TYPE_SECRET)) + name;
    (void)ks_sw_sym_key_t_prf(reinterpret_cast<const uint8_t *>(handle.data()), static_cast<uint32_t>(handle.size()),
                              data, 5, data, 16, out, 64);
}

void use_pac(const char *aid_text) {
    const auto *aid = reinterpret_cast<const uint8_t *>(aid_text);
    const auto aid_len = static_cast<uint32_t>(std::strlen(aid_text));
    uint8_t seed[32] = {9}, out[64];
    const auto *label = reinterpret_cast<const uint8_t *>("Session Key Generating Function");
    for (int i = 0; i < 2; ++i) {  // computed, then answered from the cache
        check("t-prf", aid_text, ks_pac_key_t_prf(aid, aid_len, label, 31, seed, sizeof seed, out, 40));
        check("mack", aid_text, ks_pac_shared_keys_t_prf(aid, aid_len, "device", 6, "ZAV-MACK", 8, out, 20));
        check("kek", aid_text, ks_pac_shared_keys_t_prf(aid, aid_len, "device", 6, "ZAV-KEK", 7, out, 20));
    }
    uint8_t *copy = nullptr;
    uint32_t len = 0;
    if (ks_return_pac_opaque(aid, aid_len, &copy, &len) == KS_SUCCESS) tagged_free(copy);
    if (ks_return_pac_info(aid, aid_len, &copy, &len) == KS_SUCCESS) tagged_free(copy);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const uint64_t seed = std::strtoull(argv[1], nullptr, 16);
    // A tracer the test starts may attach where ptrace is restricted to
    // ancestors.
    (void)prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    ksh_message_set_print(0);
    ksh_platform_start();

    uint8_t value[64];
    for (size_t i = 0; i < kscore::kMarkerCount; ++i) {
        const kscore::Marker &m = kMarkers[i];
        kscore::marker_bytes(seed, i, value);
        if (std::strcmp(m.name, "pac") == 0) {
            static const uint8_t opaque[] = {0, 2, 0, 3, 'o', 'p', 'q'}, info[] = {0, 9, 0, 0};
            check("store pac", m.name,
                  ks_store_pac(reinterpret_cast<const uint8_t *>(m.name), 3, value, static_cast<uint32_t>(m.len),
                               opaque, sizeof opaque, info, sizeof info));
        } else if (m.stored) {
            check("store", m.name,
                  ks_store_secret_and_metadata(m.name, nullptr, value, static_cast<uint32_t>(m.len), nullptr, 0));
        } else {
            uint8_t out[KS_PW_BLOCK_LEN];
            check("new password", m.name,
                  ks_NewPasswordEncryptedWithOldNtPasswordHash("pw", value, static_cast<uint32_t>(m.len), out));
        }
        explicit_bzero(value, sizeof value);
    }
    for (const kscore::Marker &m : kMarkers)
        if (m.stored && std::strcmp(m.name, "pac") != 0) use_by_name(m.name, "pw2");
    use_pac("pac");
    if (g_failures != 0) return 1;

    static const char kReady[] = "ready\n";
    if (write(STDOUT_FILENO, kReady, sizeof kReady - 1) != static_cast<ssize_t>(sizeof kReady - 1)) return 1;
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) continue;  // until standard input closes
    return 0;
}
