// SPDX-License-Identifier: Apache-2.0
// Known answers from tests/vectors through the raw primitives and the
// software operations (the kstool transcripts run them through stored keys
// by name). Every output has a guard byte (0xEE) after it, so a write past
// the result shows.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "ks_crypto.h"
#include "ks_des_key.h"
#include "ks_mschap_core.h"
#include "ks_vectors.h"
#include "ossl_fault.h"
#include "pac_test_util.h"

namespace kstest {
namespace {

Bytes out_for(const Bytes &want) { return Bytes(want.size() + 1, 0xEE); }
Bytes guarded(const Bytes &want) { return cat(want, {0xEE}); }

class VectorTest : public KeystoreTest {};

// One-shot, incremental (whole, and byte by byte) and with the key stored. An
// empty key or empty data is passed as a null pointer with a length, which
// the primitives take as empty (the one-shot writes nothing without a key).
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
                n = std::min(chunk, dl - i),
                sha1 ? hmac_shaupdate(&c, d ? d + i : d, n) : hmac_md5update(&m, d ? d + i : d, n);
            sha1 ? hmac_shafinal((o = out_for(mac)).data(), &c) : hmac_md5final((o = out_for(mac)).data(), &m);
            EXPECT_EQ(o, want) << v["mac"] << " in pieces of " << chunk;
            EXPECT_TRUE(!sha1 || Bytes(c.opad, c.opad + 64) == Bytes(64, 0)) << "the SHA-1 final clears its context";
        }
        // A stored key: its per-key state is made on the first use and kept for the second.
        const Bytes h{KS_KEY_TYPE_SECRET, 'k'};
        if (key.empty() || ks_sw_store_sym_key(h.data(), 2, nullptr, 0, k, kl, nullptr, 0) != KS_SUCCESS) continue;
        for (int use = 0; use < 2; ++use) {
            EXPECT_EQ(ks_sw_hmac(h.data(), 2, d, dl, (o = out_for(mac)).data(), sha1 ? KS_DIGEST_SHA1 : KS_DIGEST_MD5),
                      KS_SUCCESS);
            EXPECT_EQ(o, want) << v["mac"] << " stored, use " << use;
        }
    }
    // An init that fails (at each of libcrypto's allocations in turn; a key
    // longer than a block is digested first) leaves the context unkeyed, even
    // one keyed before: updates pass it by and final writes nothing.
    const Bytes key(80, 'k');
    for (uint64_t n = 1; ossl_faults_available(); ++n) {
        hmac_sha_ctx c{};
        c.md_ctx = EVP_MD_CTX_new(), hmac_shainit(&c, key.data(), 3);
        const bool init_failed = ossl_fail_at(n, [&] { hmac_shainit(&c, key.data(), n32(key)); });
        Bytes o(KS_HMAC_SHA1_LEN + 1, 0xEE);
        hmac_shaupdate(&c, key.data(), 3), hmac_shafinal(o.data(), &c);
        if (!init_failed) break;
        EXPECT_EQ(o, Bytes(KS_HMAC_SHA1_LEN + 1, 0xEE)) << "libcrypto allocation " << n;
    }
    // A final with nowhere to write still clears and frees the context.
    hmac_sha_ctx c{};
    c.md_ctx = EVP_MD_CTX_new(), hmac_shainit(&c, key.data(), 3), hmac_shafinal(nullptr, &c);
    EXPECT_EQ(Bytes(c.opad, c.opad + 64), Bytes(64, 0));
}

// The chaining in every mode (only 28 to 30 are taken), a part block counted
// whole, the chaining value left for the next call, decryption in place.
TEST_F(VectorTest, AesChaining) {
    for (auto &v : read_vectors("aes.txt")) {
        const Bytes key = value(v["Key"]), iv0 = value(v["Iv"]), in = value(v["ChainPlaintext"]),
                    out = value(v["ChainCiphertext"]);
        AES_KEY enc, dec;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the EPA contract: schedules from libcrypto's AES
        AES_set_encrypt_key(key.data(), int(key.size() * 8), &enc);
        AES_set_decrypt_key(key.data(), int(key.size() * 8), &dec);
#pragma GCC diagnostic pop
        for (uint32_t mode = KS_EPA_MODE_FIRST - 1; mode <= KS_EPA_MODE_LAST + 1; ++mode) {
            const bool ok = mode >= KS_EPA_MODE_FIRST && mode <= KS_EPA_MODE_LAST;
            Bytes o = out_for(out), iv = iv0;
            epa_encrypt(mode, &enc, in.data(), o.data(), iv.data(), 17);
            EXPECT_EQ(o, ok ? guarded(out) : out_for(out)) << mode;
            EXPECT_EQ(iv, ok ? Bytes(out.end() - 16, out.end()) : iv0) << mode;
            epa_decrypt(mode, &dec, o.data(), o.data(), (iv = iv0).data(), 32);
            EXPECT_EQ(o, ok ? guarded(in) : out_for(out)) << mode;
        }
    }
    A_RC4Init();  // the contract's RC4 entry points do nothing
    EXPECT_EQ(A_RC4Update(), 0);
}

TEST_F(VectorTest, DesKeyExpansion) {
    for (auto &v : read_vectors("des.txt")) {
        Bytes o = out_for(value(v["Key8"]));
        if (v.count("Key7") == 0) continue;
        ks::des_expand_key(value(v["Key7"]).data(), o.data());
        EXPECT_EQ(o, guarded(value(v["Key8"])));
    }
}

// Also: MD4 and RC4 come from the library's own context, and the process's
// default one gains no legacy provider.
TEST_F(VectorTest, MsChapV2) {
    auto v = read_vectors("mschapv2.txt").at(0);
    const Bytes pw = value(v["Password"]), user = cat(value(v["UserName"]), {0});
    Bytes o = out_for(value(v["PasswordHash"]));
    ASSERT_EQ(ks::nt_password_hash(pw.data(), n32(pw), o.data()), KS_SUCCESS);
    EXPECT_EQ(o, guarded(value(v["PasswordHash"])));
    // A password past 256 characters is hashed as its first 256.
    const Bytes longest(300, 'p');
    Bytes whole(ks::kNtHashLen + 1, 0xEE), cut = whole;
    ASSERT_EQ(ks::nt_password_hash(longest.data(), 300, whole.data()), KS_SUCCESS);
    ASSERT_EQ(ks::nt_password_hash(longest.data(), 256, cut.data()), KS_SUCCESS);
    EXPECT_EQ(whole, cut);
    const Bytes peer = value(v["PeerChallenge"]), auth = value(v["AuthenticatorChallenge"]);
    o = out_for(value(v["Challenge"]));
    ASSERT_EQ(ks::challenge_hash(peer.data(), auth.data(), reinterpret_cast<const char *>(user.data()), o.data()),
              KS_SUCCESS);
    EXPECT_EQ(o, guarded(value(v["Challenge"])));
    Bytes unnamed(o.size(), 0xEE);  // a null user name is hashed as an empty one
    ks::challenge_hash(peer.data(), auth.data(), "", o.data());
    ks::challenge_hash(peer.data(), auth.data(), nullptr, unnamed.data());
    EXPECT_EQ(unnamed, o);
    // A 1-byte user name is hashed too: SHA-1 of both challenges and the name.
    const Bytes hashed = cat(cat(peer, auth), {'u'});
    uint8_t sha1[20];
    ASSERT_EQ(EVP_Digest(hashed.data(), hashed.size(), sha1, nullptr, EVP_sha1(), nullptr), 1);
    ks::challenge_hash(peer.data(), auth.data(), "u", o.data());
    EXPECT_EQ(o, guarded(Bytes(sha1, sha1 + 8)));
    ASSERT_EQ(ks_store_secret_and_metadata("k", nullptr, pw.data(), n32(pw), nullptr, 0), KS_SUCCESS);
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("k", pw.data(), 10, (o = Bytes(516)).data()), KS_SUCCESS);
    // Deciphered with the old password's hash, the block ends in the new
    // password as UTF-16LE and its byte length, little endian (here 400).
    const Bytes longer(200, 'n');
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("k", longer.data(), 200, o.data()), KS_SUCCESS);
    uint8_t old_hash[ks::kNtHashLen];
    ASSERT_EQ(ks::nt_password_hash(pw.data(), n32(pw), old_hash), KS_SUCCESS);
    ks::crypto::CipherCall rc4(ks::crypto::Cipher::kRc4, old_hash, false);
    ASSERT_TRUE(rc4.ok() && rc4.run(o.data(), o.data(), o.size()) && rc4.finish());
    Bytes tail;
    for (int i = 0; i < 200; ++i) tail.insert(tail.end(), {'n', 0});
    EXPECT_EQ(Bytes(o.end() - 404, o.end()), cat(tail, {0x90, 0x01, 0, 0}));
    EVP_MD *md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
    EXPECT_TRUE(OSSL_PROVIDER_available(nullptr, "legacy") == 0 && md4 == nullptr);
    EVP_MD_free(md4);
}

// The T-PRF over a stored secret, and a PAC's shared keys (20 bytes written
// whatever the length asked for).
TEST_F(VectorTest, EapFast) {
    const Bytes h{KS_KEY_TYPE_SECRET, 'k'};
    SamplePac p = sample_pac("aid");
    for (auto &v : read_vectors("eap_fast_tprf.txt")) {
        const Bytes label = value(v["Label"]), seed = value(v["Seed"]), want = value(v["Output"]),
                    key = value(v["Key"]);
        ASSERT_EQ(ks_sw_store_sym_key(h.data(), 2, nullptr, 0, key.data(), n32(key), nullptr, 0), KS_SUCCESS);
        Bytes o = out_for(want);
        ASSERT_EQ(ks_sw_sym_key_t_prf(h.data(), 2, label.data(), n32(label), seed.data(), n32(seed), o.data(),
                                      v.count("Length") ? uint32_t(std::stoul(v["Length"])) : n32(want)),
                  KS_SUCCESS);
        EXPECT_EQ(o, guarded(want)) << v["Output"];
    }
    for (auto &v : read_vectors("eap_fast_shared_keys.txt")) {
        const Bytes label = cat(value(v["Label"]), {0}), id = cat(value(v["DeviceId"]), {0}),
                    want = cat(value(v["Output"]), Bytes(20, 0xEE));
        p.key = value(v["Key"]);
        ASSERT_EQ(store(p), KS_SUCCESS);  // a fresh cache entry
        const uint32_t n = uint32_t(std::stoul(v["Length"]));
        for (bool cached : {false, true}) {
            Bytes o = out_for(want), w = guarded(want);
            if (cached) std::fill(w.begin() + n, w.end(), 0xEE);  // the cache kept the Length bytes
            ASSERT_EQ(
                ks_pac_shared_keys_t_prf(p.aid.data(), 3, reinterpret_cast<const char *>(id.data()), n32(id) - 1,
                                         reinterpret_cast<const char *>(label.data()), n32(label) - 1, o.data(), n),
                KS_SUCCESS);
            EXPECT_EQ(o, w) << (cached ? "cached " : "") << v["Output"];
        }
    }
}

}  // namespace
}  // namespace kstest
