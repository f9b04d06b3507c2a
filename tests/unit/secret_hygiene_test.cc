// Secret hygiene: secrets carrying a marker go through every operation that
// uses them. The marker must never show in a captured trace argument, a
// rendered or printed trace, an error message, or (as bytes) in the integer
// arguments of the traces taken in order; and every block the library
// releases must have been cleansed first.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_mschap.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_show.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_snapshot.h"
#include "ks_test_util.h"

namespace {

using kstest::Bytes;
using kstest::handle_of;

// The marker every secret carries; its hex forms are searched too, so that a
// byte-by-byte dump of a secret is caught as well as a copy of it.
const std::string kMarker = "Q7marker-SECRET-z";

std::string hex(const std::string &s, bool upper) {
    std::string out;
    char b[3];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, upper ? "%02X" : "%02x", c);
        out += b;
    }
    return out;
}

// Secret values: the marker alone, inside other bytes, and repeated up to the
// largest secret a key may hold.
std::string secret_value(int i) {
    switch (i % 3) {
        case 0: return kMarker;
        case 1: return "pre-" + kMarker + "-post";
        default: {
            std::string v;
            while (v.size() + kMarker.size() <= KS_SECRET_MAX) v += kMarker;
            return v;
        }
    }
}

// A copy the library handed to the test: cleansed by the test before it goes
// back, so that the allocator's check only sees the library's own releases.
void release_copy(void *p, size_t n) {
    if (p == nullptr) return;
    OPENSSL_cleanse(p, n);
    tagged_free(p);
}

// Everything a secret could leak into during one operation.
class Leaks {
  public:
    Leaks() {
        traces_ = std::tmpfile();
        messages_ = std::tmpfile();
        ksh_trace_set_print_stream(traces_);
        ksh_trace_set_print(1);
        ksh_message_set_print_stream(messages_);
        ksh_message_set_print(1);
    }
    ~Leaks() {
        ksh_trace_set_print(0);
        ksh_trace_set_print_stream(nullptr);
        ksh_message_set_print_stream(nullptr);
        std::fclose(traces_);
        std::fclose(messages_);
    }

    // Every text the operation produced, gathered from the recorders.
    std::string collected() {
        std::string all, int_bytes;
        for (size_t i = 0; i < ksh_trace_count(); ++i) {
            const ksh_trace_record *r = ksh_trace_at(i);
            for (int a = 0; a < r->nargs; ++a) {
                if (r->args[a].kind == 's') all += std::string(r->args[a].s) + "\n";
                if (r->args[a].kind == 'i') int_bytes += static_cast<char>(r->args[a].i & 0xFF);
            }
            char buf[4096];
            if (ksh_trace_render(r, buf, sizeof buf) >= 0) all += std::string(buf) + "\n";
        }
        all += "\n" + int_bytes + "\n" + slurp(traces_) + slurp(messages_);
        return all;
    }

    // The marker, or its hex form once every separator is dropped.
    static bool contains_marker(const std::string &text) {
        if (text.find(kMarker) != std::string::npos) return true;
        std::string digits;
        for (char c : text)
            if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
        return digits.find(hex(kMarker, false)) != std::string::npos ||
               digits.find(hex(kMarker, true)) != std::string::npos;
    }

  private:
    static std::string slurp(FILE *f) {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        return s;
    }
    FILE *traces_;
    FILE *messages_;
};

// One operation that uses the stored secrets.
struct Use {
    const char *op;
    std::function<void()> run;
};

Bytes H(const std::string &name) { return handle_of(1, name); }

int32_t sw_store(const std::string &name, const std::string &value, const std::string &meta = "") {
    Bytes h = H(name);
    return ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0,
                               reinterpret_cast<const uint8_t *>(value.data()), static_cast<uint32_t>(value.size()),
                               meta.empty() ? nullptr : reinterpret_cast<const uint8_t *>(meta.data()),
                               static_cast<uint32_t>(meta.size()));
}

// A PAC whose PAC-Key is a marked secret.
void store_marked_pac(const std::string &aid, int variant) {
    const std::string key = secret_value(variant);
    const std::vector<uint8_t> opaque = {0, 2, 0, 3, 'o', 'p', 'q'}, info = {0, 9, 0, 0};
    ASSERT_EQ(ks_store_pac(reinterpret_cast<const uint8_t *>(aid.data()), static_cast<uint32_t>(aid.size()),
                           reinterpret_cast<const uint8_t *>(key.data()), static_cast<uint32_t>(key.size()),
                           opaque.data(), static_cast<uint32_t>(opaque.size()), info.data(),
                           static_cast<uint32_t>(info.size())),
              KS_SUCCESS);
}

void store_secrets() {
    for (int i = 0; i < 6; ++i) ASSERT_EQ(sw_store("sec" + std::to_string(i), secret_value(i), "meta"), KS_SUCCESS);
    // Keys of the lengths the ciphers take, each carrying the marker; a
    // 5-byte handle puts the AES key off a 4-byte boundary (it is copied).
    ASSERT_EQ(sw_store("aesk", kMarker + std::string(32 - kMarker.size(), '.')), KS_SUCCESS);
    ASSERT_EQ(sw_store("3des", kMarker + std::string(21 - kMarker.size(), '.')), KS_SUCCESS);
    ASSERT_EQ(sw_store("pw", kMarker), KS_SUCCESS);
    ASSERT_EQ(sw_store("pw2", "pre-" + kMarker), KS_SUCCESS);
    store_marked_pac("pac-m", 0);
    store_marked_pac("pac-n", 1);
}

std::vector<Use> key_table_uses() {
    return {
        {"ks_sw_store_sym_key (replace)", [] { sw_store("sec0", secret_value(2)); }},
        {"ks_sw_store_sym_key (purge)",
         [] {
             Bytes h = H("sec9"), p = H("sec");
             const std::string v = secret_value(1);
             ks_sw_store_sym_key(h.data(), 5, p.data(), 4, reinterpret_cast<const uint8_t *>(v.data()),
                                 static_cast<uint32_t>(v.size()), nullptr, 0);
         }},
        {"ks_sw_delete_key", [] { ks_sw_delete_key(H("sec1").data(), 5); }},
        {"ks_sym_key_prefix_purge", [] { ks_sym_key_prefix_purge(H("sec").data(), 4); }},
        {"ks_sw_delete_all_keys_by_type", [] { ks_sw_delete_all_keys_by_type(1); }},
        {"ks_sw_add_meta_data (grow)",
         [] { ks_sw_add_meta_data(H("sec2").data(), 5, reinterpret_cast<const uint8_t *>("longer metadata"), 15); }},
        {"ks_sw_add_meta_data (shrink)", [] { ks_sw_add_meta_data(H("sec2").data(), 5, nullptr, 0); }},
        {"ks_sw_get_meta_data",
         [] {
             uint8_t *m = nullptr;
             uint16_t n = 0;
             if (ks_sw_get_meta_data(H("sec0").data(), 5, &m, &n) == KS_SUCCESS) release_copy(m, n);
         }},
        {"ks_sw_rename_key (longer, over another key)",
         [] { ks_sw_rename_key(H("sec0").data(), 5, H("sec1-renamed").data(), 13, nullptr, 0); }},
        {"ks_sw_rename_key (shorter, in place)",
         [] { ks_sw_rename_key(H("sec2").data(), 5, H("s").data(), 2, nullptr, 0); }},
        {"ks_sw_return_key_handle_by_index",
         [] {
             uint8_t *h = nullptr;
             uint8_t n = 0;
             for (int32_t i = 0; ks_sw_return_key_handle_by_index(i, &h, &n) == KS_SUCCESS; ++i) release_copy(h, n);
         }},
        {"ks_sw_generate_random_number",
         [] {
             uint8_t buf[64];
             ks_sw_generate_random_number(buf, sizeof buf, 1);
             ks_sw_generate_random_number(buf, sizeof buf, 2);
         }},
    };
}

std::vector<Use> secret_uses() {
    static uint8_t *meta;
    static uint16_t meta_len;
    static uint16_t index;
    return {
        {"ks_store_secret_and_metadata (replace, purge)",
         [] {
             const std::string v = secret_value(1);
             ks_store_secret_and_metadata("sec0", "sec", reinterpret_cast<const uint8_t *>(v.data()),
                                          static_cast<uint32_t>(v.size()), reinterpret_cast<const uint8_t *>("m"), 1);
         }},
        {"ks_add_metadata / ks_return_metadata",
         [] {
             ks_add_metadata("sec1", reinterpret_cast<const uint8_t *>("longer metadata"), 15);
             if (ks_return_metadata("sec1", &meta, &meta_len) == KS_SUCCESS) release_copy(meta, meta_len);
         }},
        {"ks_rename_secret (purge prefix)", [] { ks_rename_secret("sec2", "renamed-sec2", "sec3"); }},
        {"ks_clear_secret", [] { ks_clear_secret("sec4"); }},
        {"ks_return_secret_handle_by_index",
         [] {
             index = 0;
             char *name;
             while (ks_return_secret_handle_by_index(&index, &name) == KS_SUCCESS)
                 release_copy(name, std::strlen(name) + 1);
         }},
        {"ks_snmp_get_next_password",
         [] {
             char buf[32] = "";
             while (ks_snmp_get_next_password(buf, sizeof buf) == 1) {
             }
         }},
        {"ks_secret_exists / ks_check_ha_consistency / ks_snmp_password_exists",
         [] {
             int32_t flag;
             ks_secret_exists("sec0", &flag), ks_check_ha_consistency("sec0", &flag), ks_snmp_password_exists("sec0");
         }},
        {"ks_generate_random_number",
         [] {
             uint8_t buf[64];
             ks_generate_random_number(buf, sizeof buf, 1);
         }},
    };
}

const uint8_t kData[64] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::vector<Use> cipher_uses() {
    static uint8_t out[600], iv[16];
    return {
        {"ks_aes_encrypt / decrypt", [] { ks_aes_encrypt("aesk", kData, out, 64), ks_aes_decrypt("aesk", out, out, 64); }},
        {"ks_aes_cbc_encrypt / decrypt",
         [] { ks_aes_cbc_encrypt("aesk", iv, kData, 64, out), ks_aes_cbc_decrypt("aesk", iv, out, 64, out); }},
        {"ks_3des_ecb_encrypt / decrypt",
         [] { ks_3des_ecb_encrypt("3des", kData, 16, out, 16), ks_3des_ecb_decrypt("3des", out, 16, out, 16); }},
        {"cipher with a key of the wrong length",
         [] { ks_des_ecb_encrypt("aesk", kData, 8, out, 8), ks_aes_encrypt("3des", kData, out, 16); }},
    };
}

std::vector<Use> digest_uses() {
    static uint8_t out[32];
    return {
        {"ks_hmac_md5 / ks_hmac_sha1", [] { ks_hmac_md5("sec2", kData, 64, out), ks_hmac_sha1("sec2", kData, 64, out); }},
        {"ks_md5_hash / ks_sha1_hash",
         [] { ks_md5_hash("sec1", kData, 8, kData, 8, out), ks_sha1_hash("sec2", nullptr, 0, kData, 3, out); }},
    };
}

std::vector<Use> mschap_uses() {
    static uint8_t out[600];
    return {
        {"ks_GenerateNTResponse", [] { ks_GenerateNTResponse("pw", kData, kData + 16, "user", out); }},
        {"ks_GenerateAuthenticatorResponse",
         [] {
             ks_GenerateAuthenticatorResponse("pw", kData, kData + 16, kData + 32, "user", reinterpret_cast<char *>(out));
         }},
        {"ks_NewPasswordEncryptedWithOldNtPasswordHash",
         [] {
             ks_NewPasswordEncryptedWithOldNtPasswordHash("pw", reinterpret_cast<const uint8_t *>(kMarker.data()),
                                                          static_cast<uint32_t>(kMarker.size()), out);
         }},
        {"ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash",
         [] { ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("pw", "pw2", out); }},
        {"ks_GetMasterKey", [] { ks_GetMasterKey("pw2", kData, out); }},
    };
}

std::vector<Use> pac_uses() {
    static uint8_t *copy;
    static uint32_t len;
    static uint16_t index;
    const auto aid = reinterpret_cast<const uint8_t *>("pac-m");
    return {
        {"ks_store_pac (replace)", [] { store_marked_pac("pac-m", 2); }},
        {"ks_return_pac_opaque / info (cache miss)",
         [aid] {
             ks_pac_cache_purge();
             if (ks_return_pac_opaque(aid, 5, &copy, &len) == KS_SUCCESS) release_copy(copy, len);
             if (ks_return_pac_info(aid, 5, &copy, &len) == KS_SUCCESS) release_copy(copy, len);
         }},
        {"ks_return_aid_by_index",
         [] {
             index = 0;
             // The A-ID sits in the handle copy, one byte longer than it.
             while (ks_return_aid_by_index(&index, &copy, &len) == KS_SUCCESS) release_copy(copy, len + 1);
         }},
        {"ks_snmp_get_next_pac",
         [] {
             uint8_t next[16];
             uint8_t n = sizeof next;
             ks_snmp_get_next_pac(nullptr, 0, next, &n);
         }},
        {"ks_pac_exists / ks_snmp_pac_exists",
         [aid] {
             int32_t flag;
             ks_pac_exists(aid, 5, &flag), ks_snmp_pac_exists(aid, 5);
         }},
        {"ks_clear_pac", [aid] { ks_clear_pac(aid, 5); }},
        {"ks_pac_cache_purge", [] { ks_pac_cache_purge(); }},
    };
}

// Derivations from marked PAC-Keys (their outputs are traced, by design; the
// PAC-Keys must not be), and the lifetime queries and bulk clearing.
std::vector<Use> derive_uses() {
    static uint8_t out[600];
    const auto aid = reinterpret_cast<const uint8_t *>("pac-m");
    static const std::string big(600, 'L');
    return {
        {"ks_pac_key_t_prf (computed, then cached, then past the static buffer)",
         [aid] {
             const auto *label = reinterpret_cast<const uint8_t *>("label");
             ks_pac_key_t_prf(aid, 5, label, 5, kData, 16, out, 40);
             ks_pac_key_t_prf(aid, 5, label, 5, kData, 16, out, 40);
             ks_pac_key_t_prf(aid, 5, reinterpret_cast<const uint8_t *>(big.data()), 600, kData, 16, out, 20);
         }},
        {"ks_sw_sym_key_t_prf over a marked secret",
         [] {
             const auto h = handle_of(1, "sec2");
             ks_sw_sym_key_t_prf(h.data(), 5, reinterpret_cast<const uint8_t *>(big.data()), 600, kData, 8, out, 64);
         }},
        {"ks_pac_shared_keys_t_prf (computed, cached, past the static buffer)",
         [aid] {
             ks_pac_shared_keys_t_prf(aid, 5, "device", 6, "ZAV-MACK", 8, out, 20);
             ks_pac_shared_keys_t_prf(aid, 5, "device", 6, "ZAV-MACK", 8, out, 20);
             ks_pac_shared_keys_t_prf(aid, 5, big.c_str(), 600, "ZAV-KEK", 7, out, 20);
             ks_pac_check_cache_entry_for_shared_keys(aid, 5, "ZAV-KEK", 7, out, 20);
         }},
        {"ks_valid_pac_exists / ks_get_pac_expiration",
         [aid] { ks_valid_pac_exists(aid, 5), ks_get_pac_expiration(aid, 5); }},
        {"ks_clear_old_pacs", [] { ks_clear_old_pacs("device"); }},
        {"ks_clear_all_pacs", [] { ks_clear_all_pacs(); }},
    };
}

// The structured show's reply, rendered both ways, joins what is searched.
std::string g_show_output;

std::vector<Use> show_uses() {
    return {
        {"ks_show_command", [] { ks_show_command(); }},
        {"qel_ks_show_command",
         [] {
             ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
             int32_t err = 0;
             qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 0, reply, &err);
             std::string text(1 << 16, '\0');
             for (auto render : {ksh_showmsg_render_table, ksh_showmsg_render_json}) {
                 int n = render(reply, text.data(), text.size());
                 EXPECT_GT(n, 0);
                 g_show_output += text.substr(0, static_cast<size_t>(n)) + "\n";
             }
             ksh_showmsg_reply_free(reply);
         }},
    };
}

std::vector<Use> all_uses() {
    std::vector<Use> uses;
    for (auto family : {key_table_uses, secret_uses, digest_uses, cipher_uses, mschap_uses, pac_uses, derive_uses,
                        show_uses}) {
        auto part = family();
        uses.insert(uses.end(), part.begin(), part.end());
    }
    return uses;
}

class SecretHygieneTest : public kstest::KeystoreTest {};

TEST_F(SecretHygieneTest, MarkerNeverLeavesAndEveryReleaseIsCleansed) {
    for (const Use &u : all_uses()) {
        SCOPED_TRACE(u.op);
        kstest::reset_keystore();
        store_secrets();
        Leaks leaks;
        ksh_reset_recorders();
        const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
        ksh_alloc_check_cleansed(1);
        u.run();
        // Emptying the table afterwards releases every entry the operation
        // left behind; those releases must be cleansed too.
        ks_sw_delete_all_keys_by_type(1);
        ks_sw_delete_all_keys_by_type(2);
        ks_pac_cache_purge();
        ksh_alloc_check_cleansed(0);
        EXPECT_EQ(ksh_alloc_uncleansed_frees(), uncleansed)
            << "last block released uncleansed had tag 0x" << std::hex << ksh_alloc_last_uncleansed_tag();
        const std::string out = leaks.collected() + g_show_output;
        g_show_output.clear();
        EXPECT_FALSE(Leaks::contains_marker(out)) << out;
    }
}

// The detector itself: a copy, a byte-by-byte hex dump and a spaced upper-case
// dump are all found; texts without the marker are not.
TEST(SecretHygieneDetector, FindsTheMarkerInEveryForm) {
    EXPECT_TRUE(Leaks::contains_marker("x" + kMarker + "y"));
    EXPECT_TRUE(Leaks::contains_marker("\nKEYSTORE: " + hex(kMarker, false)));
    std::string spaced;
    for (unsigned char c : kMarker) {
        char b[8];
        std::snprintf(b, sizeof b, " %02X\n", c);
        spaced += b;
    }
    EXPECT_TRUE(Leaks::contains_marker(spaced));
    EXPECT_FALSE(Leaks::contains_marker(kMarker.substr(1) + hex(kMarker.substr(0, 8), false)));
}

}  // namespace
