// Known answers from tests/vectors through the raw primitives, and through a
// stored key used by name where only the keystore has the operation (the
// kstool transcripts run the rest by name). Every output has a guard byte
// (0xEE) after it, so a write past the result shows.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>

#include "keystore/ks_cipher.h"
#include "keystore/ks_epa.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_mschap.h"
#include "ks_des_key.h"
#include "ks_mschap_core.h"
#include "ks_vectors.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

const Bytes kHandle{KS_KEY_TYPE_SECRET, 'k'};
const char *const K = "k";
void store_secret(const Bytes &v) {
    ASSERT_EQ(ks_sw_store_sym_key(kHandle.data(), 2, nullptr, 0, v.data(), uint32_t(v.size()), nullptr, 0), KS_SUCCESS);
}
Bytes out_for(const Bytes &want) { return Bytes(want.size() + 1, 0xEE); }
Bytes guarded(const Bytes &want) { return cat(want, {0xEE}); }
uint32_t n32(const Bytes &b) { return uint32_t(b.size()); }

class VectorTest : public KeystoreTest {};

// One-shot and incremental (whole, and byte by byte). An empty key or empty
// data is passed as a null pointer with a length, which the primitives take
// as empty (the one-shot writes nothing without a key).
TEST_F(VectorTest, Hmac) {
    for (auto &v : read_vectors("hmac.txt")) {
        const bool sha1 = v["alg"] == "sha1";
        const Bytes key = value(v["key"]), data = value(v["data"]), mac = value(v["mac"]), want = guarded(mac);
        const uint8_t *k = key.empty() ? nullptr : key.data(), *d = data.empty() ? nullptr : data.data();
        const uint32_t kl = key.empty() ? 4 : n32(key), dl = data.empty() ? 5 : n32(data);
        Bytes o = out_for(mac);
        (sha1 ? hmac_sha : hmac_md5)(k, kl, d, dl, o.data());
        EXPECT_EQ(o, key.empty() ? out_for(mac) : want) << v["mac"];
        for (uint32_t chunk : {dl, 1u}) {
            hmac_md5_ctx m{};
            hmac_sha_ctx c{};
            m.md_ctx = c.md_ctx = EVP_MD_CTX_new();  // one of them uses it
            sha1 ? hmac_shainit(&c, k, kl) : hmac_md5init(&m, k, kl);
            for (uint32_t i = 0, n; i < dl; i += chunk)
                n = std::min(chunk, dl - i), sha1 ? hmac_shaupdate(&c, d ? d + i : d, n) : hmac_md5update(&m, d ? d + i : d, n);
            sha1 ? hmac_shafinal((o = out_for(mac)).data(), &c) : hmac_md5final((o = out_for(mac)).data(), &m);
            EXPECT_EQ(o, want) << v["mac"] << " in pieces of " << chunk;
            EXPECT_TRUE(!sha1 || Bytes(c.opad, c.opad + 64) == Bytes(64, 0)) << "the SHA-1 final clears its context";
        }
    }
}

// ECB with stored keys; the chaining raw (every mode, in place for the
// decryption) and through the stored-key CBC, which leaves the last cipher
// block as the next IV.
TEST_F(VectorTest, Aes) {
    for (auto &v : read_vectors("aes.txt")) {
        const Bytes plain = cat(value(v["Plaintext"]), value(v["Plaintext"])), key = value(v["Key"]), iv0 = value(v["Iv"]);
        const Bytes cipher = cat(value(v["Ciphertext"]), value(v["Ciphertext"]));
        const Bytes chain_in = value(v["ChainPlaintext"]), chain_out = value(v["ChainCiphertext"]);
        const Bytes iv_after(chain_out.end() - 16, chain_out.end());
        store_secret(key);
        Bytes o = out_for(cipher), iv = iv0;
        ASSERT_EQ(ks_aes_encrypt(K, plain.data(), o.data(), 32), KS_SUCCESS);
        EXPECT_EQ(o, guarded(cipher)) << v["Key"];
        ASSERT_EQ(ks_aes_decrypt(K, o.data(), o.data(), 32), KS_SUCCESS);
        EXPECT_EQ(o, guarded(plain));
        ASSERT_EQ(ks_aes_cbc_encrypt(K, iv.data(), chain_in.data(), 16, o.data()), KS_SUCCESS);
        ASSERT_EQ(ks_aes_cbc_encrypt(K, iv.data(), chain_in.data() + 16, 16, o.data() + 16), KS_SUCCESS);
        EXPECT_EQ(o, guarded(chain_out));
        EXPECT_EQ(iv, iv_after);
        ASSERT_EQ(ks_aes_cbc_decrypt(K, (iv = iv0).data(), o.data(), 32, o.data()), KS_SUCCESS);
        EXPECT_EQ(o, guarded(chain_in));
        EXPECT_EQ(iv, iv_after);
        AES_KEY enc, dec;
        AES_set_encrypt_key(key.data(), int(key.size() * 8), &enc);
        AES_set_decrypt_key(key.data(), int(key.size() * 8), &dec);
        for (uint32_t mode = KS_EPA_MODE_FIRST - 1; mode <= KS_EPA_MODE_LAST + 1; ++mode) {
            const bool ok = mode >= KS_EPA_MODE_FIRST && mode <= KS_EPA_MODE_LAST;
            epa_encrypt(mode, &enc, chain_in.data(), (o = out_for(chain_out)).data(), (iv = iv0).data(), 17);  // 2 blocks
            EXPECT_EQ(o, ok ? guarded(chain_out) : out_for(chain_out)) << mode;
            EXPECT_EQ(iv, ok ? iv_after : iv0) << mode;
            epa_decrypt(mode, &dec, o.data(), o.data(), (iv = iv0).data(), 32);
            EXPECT_EQ(o, ok ? guarded(chain_in) : out_for(chain_out)) << mode;
        }
    }
}

// The 56-bit key expansion; single and triple DES with stored 7- and 21-byte
// keys, encrypting two blocks and decrypting them in place.
TEST_F(VectorTest, Des) {
    for (auto &v : read_vectors("des.txt")) {
        const bool triple = v.count("Key21") != 0;
        const Bytes key = value(v[triple ? "Key21" : "Key7"]), c = value(v["Ciphertext"]), p = value(v["Plaintext"]);
        Bytes o = out_for(value(v["Key8"]));
        if (!triple) {
            ks::des_expand_key(key.data(), o.data());
            EXPECT_EQ(o, guarded(value(v["Key8"])));
        }
        if (p.empty()) continue;
        const Bytes in = triple ? p : cat(p, p), want = triple ? c : cat(c, c);
        store_secret(key);
        ASSERT_EQ((triple ? ks_3des_ecb_encrypt : ks_des_ecb_encrypt)(K, in.data(), 16, (o = out_for(want)).data(), 16), KS_SUCCESS);
        EXPECT_EQ(o, guarded(want)) << v["Ciphertext"];
        ASSERT_EQ((triple ? ks_3des_ecb_decrypt : ks_des_ecb_decrypt)(K, o.data(), 16, o.data(), 16), KS_SUCCESS);
        EXPECT_EQ(o, guarded(in));
    }
}

// Also: the empty password hashes as MD4 of nothing, only a password's
// first 256 characters count, and MD4, DES and RC4 come from the library's
// own context: the process's default one gains no legacy provider.
TEST_F(VectorTest, MsChapV2AndMppe) {
    auto v = read_vectors("mschapv2.txt").at(0);
    const Bytes pw = value(v["Password"]), auth = value(v["AuthenticatorChallenge"]), peer = value(v["PeerChallenge"]);
    const Bytes nt = value(v["NtResponse"]), user = cat(value(v["UserName"]), {0}), long_pw(300, 'p');
    const char *u = reinterpret_cast<const char *>(user.data());
    Bytes o = out_for(value(v["PasswordHash"])), cut(16);
    ASSERT_EQ(ks::nt_password_hash(pw.data(), n32(pw), o.data()), KS_SUCCESS);
    EXPECT_EQ(o, guarded(value(v["PasswordHash"])));
    ASSERT_EQ(ks::nt_password_hash(long_pw.data(), 256, cut.data()) + ks::nt_password_hash(long_pw.data(), 300, o.data()), 2);
    EXPECT_EQ(cut, Bytes(o.begin(), o.end() - 1));
    ASSERT_EQ(ks::nt_password_hash(nullptr, 0, o.data()), KS_SUCCESS);
    EXPECT_EQ(to_hex(o), "31d6cfe0d16ae931b73c59d7e0c089c0ee");
    ASSERT_EQ(ks::challenge_hash(peer.data(), auth.data(), u, (o = out_for(value(v["Challenge"]))).data()), KS_SUCCESS);
    EXPECT_EQ(o, guarded(value(v["Challenge"])));
    store_secret(pw);
    ASSERT_EQ(ks_GenerateNTResponse(K, auth.data(), peer.data(), u, (o = out_for(nt)).data()), KS_SUCCESS);
    EXPECT_EQ(o, guarded(nt));
    o = out_for(value(v["AuthenticatorResponse"]));
    ASSERT_EQ(ks_GenerateAuthenticatorResponse(K, nt.data(), peer.data(), auth.data(), u, reinterpret_cast<char *>(o.data())),
              KS_SUCCESS);
    EXPECT_EQ(o, guarded(value(v["AuthenticatorResponse"])));
    ASSERT_EQ(ks_GetMasterKey(K, nt.data(), (o = out_for(value(v["MasterKey"]))).data()), KS_SUCCESS);
    EXPECT_EQ(o, guarded(value(v["MasterKey"])));
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash(K, pw.data(), 10, (o = Bytes(516)).data()), KS_SUCCESS);
    EVP_MD *md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
    EXPECT_TRUE(OSSL_PROVIDER_available(nullptr, "legacy") == 0 && md4 == nullptr);
    EVP_MD_free(md4);
}

// The T-PRF over a stored secret and, for the RFC's vectors, over a PAC; a
// PAC's shared keys. An input over 512 bytes takes an allocation: when it
// fails, NO_MEMORY (T-PRF) or UNKNOWN_FAILURE (shared key), nothing written.
TEST_F(VectorTest, EapFast) {
    SamplePac p = sample_pac("aid");
    for (auto &v : read_vectors("eap_fast_tprf.txt")) {
        const Bytes label = value(v["Label"]), seed = value(v["Seed"]), want = value(v["Output"]);
        const uint32_t n = v.count("Length") ? uint32_t(std::stoul(v["Length"])) : n32(want);
        const bool big = label.size() + seed.size() + 24 > 512;
        store_secret(value(v["Key"]));
        for (uint32_t fail : {0u, 0x046000A5u}) {
            ksh_alloc_fail_tag(fail);
            Bytes o = out_for(want);
            EXPECT_EQ(ks_sw_sym_key_t_prf(kHandle.data(), 2, label.data(), n32(label), seed.data(), n32(seed), o.data(), n),
                      fail && big ? KS_NO_MEMORY : KS_SUCCESS) << v["Output"];
            EXPECT_EQ(o, fail && big ? out_for(want) : guarded(want));
        }
        ksh_alloc_clear_faults();
        if (v.count("Length") != 0) continue;
        p.key = value(v["Key"]);
        ASSERT_EQ(store(p), KS_SUCCESS);
        Bytes o = out_for(want);
        ASSERT_EQ(ks_pac_key_t_prf(p.aid.data(), 3, label.data(), n32(label), seed.data(), n32(seed), o.data(), n), KS_SUCCESS);
        EXPECT_EQ(o, guarded(want));
    }
    for (auto &v : read_vectors("eap_fast_shared_keys.txt")) {
        const Bytes label = cat(value(v["Label"]), {0}), id = value(v["DeviceId"]), want = cat(value(v["Output"]), Bytes(20, 0xEE));
        const bool big = label.size() - 1 + id.size() + 4 > 512;
        p.key = value(v["Key"]);
        for (uint32_t fail : {0u, 0x0460009Au}) {
            ASSERT_EQ(store(p), KS_SUCCESS);  // a fresh cache entry
            ksh_alloc_fail_tag(fail);
            Bytes o = out_for(want);
            EXPECT_EQ(ks_pac_shared_keys_t_prf(p.aid.data(), 3, reinterpret_cast<const char *>(id.data()), n32(id),
                                               reinterpret_cast<const char *>(label.data()), n32(label) - 1, o.data(),
                                               uint32_t(std::stoul(v["Length"]))),
                      fail && big ? KS_UNKNOWN_FAILURE : KS_SUCCESS) << v["Output"];
            EXPECT_EQ(o, fail && big ? out_for(want) : guarded(want));  // 20 bytes whatever the length
        }
        ksh_alloc_clear_faults();
    }
}

}  // namespace
}  // namespace kstest
