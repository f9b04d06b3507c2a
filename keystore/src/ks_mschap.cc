// Front operations of MS-CHAPv2 and MPPE: standby refusal, argument checks,
// the key handles, then the software keystore or the hardware contract.
#include "keystore/ks_mschap.h"

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "ks_crypto_front.h"

namespace {

using ks::front::Handle;
using ks::front::name_ok;

}  // namespace

extern "C" {

int32_t ks_GenerateNTResponse(const char *name, const uint8_t *auth_challenge, const uint8_t *peer_challenge,
                              const char *user_name, uint8_t *nt_response) {
    if (ks_is_standby != 0) return KS_STDBY_NOT_SUPPORTED;
    if (nt_response == nullptr || user_name == nullptr || peer_challenge == nullptr || auth_challenge == nullptr ||
        !name_ok(name)) {
        return KS_INVAL_ARGS;
    }
    Handle h;
    ks::front::build_handle(h, KS_KEY_TYPE_SECRET, name);
    if (ks_use_sw_ks != 0) {
        return ks_sw_GenerateNTResponse(h.bytes, h.len, auth_challenge, peer_challenge, user_name, nt_response);
    }
    if (ks::front::hw_absent()) return KS_NO_KEYSTORE;
    return ks_ae46c1_GenerateNTResponse(h.bytes, ks::front::hw_len(h), auth_challenge, peer_challenge, user_name,
                                        nt_response);
}

int32_t ks_GenerateAuthenticatorResponse(const char *name, const uint8_t *nt_response, const uint8_t *peer_challenge,
                                         const uint8_t *auth_challenge, const char *user_name, char *response) {
    if (ks_is_standby != 0) return KS_STDBY_NOT_SUPPORTED;
    if (response == nullptr || user_name == nullptr || peer_challenge == nullptr || auth_challenge == nullptr ||
        nt_response == nullptr || !name_ok(name)) {
        return KS_INVAL_ARGS;
    }
    Handle h;
    ks::front::build_handle(h, KS_KEY_TYPE_SECRET, name);
    if (ks_use_sw_ks != 0) {
        return ks_sw_GenerateAuthenticatorResponse(h.bytes, h.len, nt_response, peer_challenge, auth_challenge,
                                                   user_name, response);
    }
    if (ks::front::hw_absent()) return KS_NO_KEYSTORE;
    // The hardware contract offers no authenticator response.
    return KS_NO_KEYSTORE;
}

int32_t ks_NewPasswordEncryptedWithOldNtPasswordHash(const char *old_name, const uint8_t *new_password,
                                                     uint32_t new_password_len, uint8_t *out) {
    if (ks_is_standby != 0) return KS_STDBY_NOT_SUPPORTED;
    if (new_password == nullptr || new_password_len == 0 || new_password_len > KS_NEW_PASSWORD_MAX ||
        !name_ok(old_name) || out == nullptr) {
        return KS_INVAL_ARGS;
    }
    Handle h;
    ks::front::build_handle(h, KS_KEY_TYPE_SECRET, old_name);
    if (ks_use_sw_ks != 0) {
        return ks_sw_NewPasswordEncryptedWithOldNtPasswordHash(h.bytes, h.len, new_password, new_password_len, out);
    }
    if (ks::front::hw_absent()) return KS_NO_KEYSTORE;
    return ks_ae46c1_NewPasswordEncryptedWithOldNtPasswordHash(h.bytes, ks::front::hw_len(h), new_password,
                                                               new_password_len, out);
}

int32_t ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(const char *old_name, const char *new_name, uint8_t *out) {
    if (ks_is_standby != 0) return KS_STDBY_NOT_SUPPORTED;
    if (out == nullptr || !name_ok(old_name) || !name_ok(new_name)) return KS_INVAL_ARGS;
    Handle old_h, new_h;
    ks::front::build_handle(old_h, KS_KEY_TYPE_SECRET, old_name);
    ks::front::build_handle(new_h, KS_KEY_TYPE_SECRET, new_name);
    if (ks_use_sw_ks != 0) {
        return ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash(old_h.bytes, old_h.len, new_h.bytes, new_h.len,
                                                                     out);
    }
    if (ks::front::hw_absent()) return KS_NO_KEYSTORE;
    return ks_ae46c1_OldNtPasswordHashEncryptedWithNewNtPasswordHash(old_h.bytes, ks::front::hw_len(old_h), new_h.bytes,
                                                                     ks::front::hw_len(new_h), out);
}

int32_t ks_GetMasterKey(const char *name, const uint8_t *nt_response, uint8_t *master_key) {
    if (ks_is_standby != 0) return KS_STDBY_NOT_SUPPORTED;
    if (nt_response == nullptr || master_key == nullptr || !name_ok(name)) return KS_INVAL_ARGS;
    Handle h;
    ks::front::build_handle(h, KS_KEY_TYPE_SECRET, name);
    if (ks_use_sw_ks != 0) return ks_sw_GetMasterKey(h.bytes, h.len, nt_response, master_key);
    if (ks::front::hw_absent()) return KS_NO_KEYSTORE;
    return ks_ae46c1_GetMasterKey(h.bytes, ks::front::hw_len(h), nt_response, master_key);
}

}  // extern "C"
