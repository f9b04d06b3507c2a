// SPDX-License-Identifier: Apache-2.0
// Crypto with stored secrets: HMACs and keyed digests, block ciphers,
// MS-CHAPv2 and the MPPE master key. Only results are printed.
#include <algorithm>
#include <cstdio>
#include <string>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_mschap.h"
#include "kstool.h"

namespace kstool {

namespace {

// "encrypt" or "decrypt".
bool parse_direction(const std::string &text, int32_t &encrypt) {
    if (text == "encrypt")
        encrypt = 1;
    else if (text == "decrypt")
        encrypt = 0;
    else
        return false;
    return true;
}

// A cipher's status; the stored key's length is the one thing kstool cannot
// check beforehand (the key never comes out), so BAD_KEY says which lengths
// the cipher takes.
Outcome cipher_status(int32_t status, const char *key_lengths) {
    if (status != KS_BAD_KEY) return check(status);
    std::fflush(stdout);
    std::fprintf(stderr, "failed: %s (%d); the stored key must be %s\n", ks_err_str(status), static_cast<int>(status),
                 key_lengths);
    std::fflush(stderr);
    return Outcome::kFailed;
}

Outcome hmac(const Args &a, int32_t (*fn)(const char *, const uint8_t *, uint16_t, uint8_t *), size_t len,
             const char *label) {
    Bytes data;
    if (!check_name("NAME", a.pos[0]) || !parse_sized("DATA", a.pos[1], 1, KS_DATA_MAX, 1, data))
        return Outcome::kUsage;
    uint8_t digest[KS_SHA1_LEN] = {0};
    Outcome o = check(fn(a.pos[0].c_str(), data.data(), static_cast<uint16_t>(data.size()), digest));
    if (o == Outcome::kOk) out(label, hex(digest, len));
    return o;
}

// A piece of a keyed digest: "-" for none.
bool parse_piece(const char *what, const std::string &text, Bytes &out, bool &present) {
    present = text != "-";
    if (!present) {
        out.clear();
        return true;
    }
    return parse_value(what, text, out);
}

Outcome keyed_hash(const Args &a,
                   int32_t (*fn)(const char *, const uint8_t *, uint32_t, const uint8_t *, uint32_t, uint8_t *),
                   size_t len, const char *label) {
    Bytes p1, p2;
    bool has1 = false, has2 = false;
    if (!check_name("NAME", a.pos[0]) || !parse_piece("BEFORE", a.pos[1], p1, has1) ||
        !parse_piece("AFTER", a.pos.size() > 2 ? a.pos[2] : "-", p2, has2))
        return Outcome::kUsage;
    // The secret alone is not a digest request: the pieces carry 1 to
    // KS_DATA_MAX bytes between them.
    size_t total = p1.size() + p2.size();
    if (total == 0 || total > KS_DATA_MAX)
        return usage_error("BEFORE and AFTER must hold 1 to " + std::to_string(KS_DATA_MAX) + " bytes together (got " +
                           std::to_string(total) + ")");
    uint8_t digest[KS_SHA1_LEN] = {0};
    Outcome o = check(fn(a.pos[0].c_str(), has1 ? p1.data() : nullptr, static_cast<uint32_t>(p1.size()),
                         has2 ? p2.data() : nullptr, static_cast<uint32_t>(p2.size()), digest));
    if (o == Outcome::kOk) out(label, hex(digest, len));
    return o;
}

using EcbFn = int32_t (*)(const char *, const uint8_t *, uint16_t, uint8_t *, uint16_t);

Outcome des_like(const Args &a, EcbFn enc, EcbFn dec, const char *key_lengths) {
    int32_t encrypt = 0;
    if (!parse_direction(a.pos[0], encrypt)) return usage_error("the first argument is encrypt or decrypt");
    Bytes in;
    if (!check_name("NAME", a.pos[1]) ||
        !parse_sized("DATA", a.pos[2], KS_DES_BLOCK_LEN, 0xFFFF - 0xFFFF % KS_DES_BLOCK_LEN, KS_DES_BLOCK_LEN, in))
        return Outcome::kUsage;
    Bytes outb(in.size());
    uint16_t n = static_cast<uint16_t>(in.size());
    Outcome o = cipher_status((encrypt ? enc : dec)(a.pos[1].c_str(), in.data(), n, outb.data(), n), key_lengths);
    if (o == Outcome::kOk) out(encrypt ? "ciphertext" : "plaintext", hex(outb));
    return o;
}

// The largest whole number of AES blocks a 16-bit length holds.
constexpr size_t kAesMax = 0xFFFF - 0xFFFF % KS_AES_BLOCK_LEN;
const char kAesKeys[] = "16, 24 or 32 bytes for AES";

}  // namespace

Outcome cmd_hmac_md5(const Args &a) { return hmac(a, ks_hmac_md5, KS_HMAC_MD5_LEN, "hmac-md5"); }
Outcome cmd_hmac_sha1(const Args &a) { return hmac(a, ks_hmac_sha1, KS_HMAC_SHA1_LEN, "hmac-sha1"); }
Outcome cmd_hash_md5(const Args &a) { return keyed_hash(a, ks_md5_hash, KS_MD5_LEN, "md5"); }
Outcome cmd_hash_sha1(const Args &a) { return keyed_hash(a, ks_sha1_hash, KS_SHA1_LEN, "sha1"); }

Outcome cmd_aes(const Args &a) {
    int32_t encrypt = 0;
    if (!parse_direction(a.pos[0], encrypt)) return usage_error("the first argument is encrypt or decrypt");
    Bytes in;
    if (!check_name("NAME", a.pos[1]) || !parse_sized("DATA", a.pos[2], 0, kAesMax, KS_AES_BLOCK_LEN, in))
        return Outcome::kUsage;
    Bytes outb(in.size() + 1);  // never empty, so that a zero length still passes a buffer
    uint16_t n = static_cast<uint16_t>(in.size());
    Outcome o = cipher_status(encrypt ? ks_aes_encrypt(a.pos[1].c_str(), in.data(), outb.data(), n)
                                      : ks_aes_decrypt(a.pos[1].c_str(), in.data(), outb.data(), n),
                              kAesKeys);
    if (o == Outcome::kOk) out(encrypt ? "ciphertext" : "plaintext", hex(outb.data(), in.size()));
    return o;
}

Outcome cmd_aes_cbc(const Args &a) {
    int32_t encrypt = 0;
    if (!parse_direction(a.pos[0], encrypt)) return usage_error("the first argument is encrypt or decrypt");
    Bytes iv, in;
    if (!check_name("NAME", a.pos[1]) || !parse_fixed("IV", a.pos[2], KS_AES_IV_LEN, iv) ||
        !parse_sized("DATA", a.pos[3], KS_AES_BLOCK_LEN, kAesMax, KS_AES_BLOCK_LEN, in))
        return Outcome::kUsage;
    Bytes outb(in.size() + 1);
    uint16_t n = static_cast<uint16_t>(in.size());
    Outcome o = cipher_status(encrypt ? ks_aes_cbc_encrypt(a.pos[1].c_str(), iv.data(), in.data(), n, outb.data())
                                      : ks_aes_cbc_decrypt(a.pos[1].c_str(), iv.data(), in.data(), n, outb.data()),
                              kAesKeys);
    if (o != Outcome::kOk) return o;
    out(encrypt ? "ciphertext" : "plaintext", hex(outb.data(), in.size()));
    // The IV buffer now holds the chaining value for a following call.
    out("next-iv", hex(iv));
    return o;
}

Outcome cmd_des(const Args &a) { return des_like(a, ks_des_ecb_encrypt, ks_des_ecb_decrypt, "7 bytes for DES"); }
Outcome cmd_3des(const Args &a) {
    return des_like(a, ks_3des_ecb_encrypt, ks_3des_ecb_decrypt, "21 bytes for triple DES");
}

Outcome cmd_mschap_nt_response(const Args &a) {
    Bytes auth, peer;
    if (!check_name("NAME", a.pos[0]) || !parse_fixed("AUTH_CHALLENGE", a.pos[1], KS_CHALLENGE_LEN, auth) ||
        !parse_fixed("PEER_CHALLENGE", a.pos[2], KS_CHALLENGE_LEN, peer))
        return Outcome::kUsage;
    uint8_t resp[KS_NT_RESPONSE_LEN] = {0};
    Outcome o = check(ks_GenerateNTResponse(a.pos[0].c_str(), auth.data(), peer.data(), a.pos[3].c_str(), resp));
    if (o == Outcome::kOk) out("nt-response", hex(resp, sizeof resp));
    return o;
}

Outcome cmd_mschap_auth_response(const Args &a) {
    Bytes nt, peer, auth;
    if (!check_name("NAME", a.pos[0]) || !parse_fixed("NT_RESPONSE", a.pos[1], KS_NT_RESPONSE_LEN, nt) ||
        !parse_fixed("PEER_CHALLENGE", a.pos[2], KS_CHALLENGE_LEN, peer) ||
        !parse_fixed("AUTH_CHALLENGE", a.pos[3], KS_CHALLENGE_LEN, auth))
        return Outcome::kUsage;
    char resp[KS_AUTH_RESPONSE_LEN + 1] = {0};
    Outcome o = check(ks_GenerateAuthenticatorResponse(a.pos[0].c_str(), nt.data(), peer.data(), auth.data(),
                                                       a.pos[4].c_str(), resp));
    // The response is text: "S=" and 40 hexadecimal digits.
    if (o == Outcome::kOk) out("auth-response", std::string(resp, KS_AUTH_RESPONSE_LEN));
    return o;
}

Outcome cmd_mschap_new_password_block(const Args &a) {
    Bytes pw;
    if (!parse_secret_value("NEW_PASSWORD", a.pos[1], 1, KS_NEW_PASSWORD_MAX, pw) ||
        !check_name("OLD_NAME", a.pos[0])) {
        std::fill(pw.begin(), pw.end(), 0);
        return Outcome::kUsage;
    }
    uint8_t block[KS_PW_BLOCK_LEN] = {0};
    Outcome o = check(ks_NewPasswordEncryptedWithOldNtPasswordHash(a.pos[0].c_str(), pw.empty() ? nullptr : pw.data(),
                                                                   static_cast<uint32_t>(pw.size()), block));
    std::fill(pw.begin(), pw.end(), 0);
    if (o == Outcome::kOk) out("encrypted-password", hex(block, sizeof block));
    return o;
}

Outcome cmd_mschap_old_hash_block(const Args &a) {
    if (!check_name("OLD_NAME", a.pos[0]) || !check_name("NEW_NAME", a.pos[1])) return Outcome::kUsage;
    uint8_t block[KS_NT_HASH_LEN] = {0};
    Outcome o = check(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(a.pos[0].c_str(), a.pos[1].c_str(), block));
    if (o == Outcome::kOk) out("encrypted-hash", hex(block, sizeof block));
    return o;
}

Outcome cmd_mppe_master_key(const Args &a) {
    Bytes nt;
    if (!check_name("NAME", a.pos[0]) || !parse_fixed("NT_RESPONSE", a.pos[1], KS_NT_RESPONSE_LEN, nt))
        return Outcome::kUsage;
    uint8_t key[KS_MPPE_MASTER_KEY_LEN] = {0};
    Outcome o = check(ks_GetMasterKey(a.pos[0].c_str(), nt.data(), key));
    if (o == Outcome::kOk) out("master-key", hex(key, sizeof key));
    return o;
}

}  // namespace kstool
