// SPDX-License-Identifier: Apache-2.0
// Front operations of MS-CHAPv2 and MPPE: standby refusal, argument checks,
// the key handles, then the software keystore or the hardware contract.
#include "keystore/ks_mschap.h"

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "ks_front.h"

using namespace ks::front;

extern "C" {

int32_t ks_GenerateNTResponse(const char *name, const uint8_t *auth_challenge, const uint8_t *peer_challenge,
                              const char *user_name, uint8_t *nt_response) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (nt_response == nullptr || user_name == nullptr || peer_challenge == nullptr || auth_challenge == nullptr ||
        !h.named(KS_KEY_TYPE_SECRET, name)) {
        return KS_INVAL_ARGS;
    }
    return dispatch(
        Chip::kRequired,
        [&] {
            return ks_sw_GenerateNTResponse(h.bytes, h.len, auth_challenge, peer_challenge, user_name, nt_response);
        },
        [&] {
            return ks_ae46c1_GenerateNTResponse(h.bytes, h.hw_len(), auth_challenge, peer_challenge, user_name,
                                                nt_response);
        });
}

int32_t ks_GenerateAuthenticatorResponse(const char *name, const uint8_t *nt_response, const uint8_t *peer_challenge,
                                         const uint8_t *auth_challenge, const char *user_name, char *response) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (response == nullptr || user_name == nullptr || peer_challenge == nullptr || auth_challenge == nullptr ||
        nt_response == nullptr || !h.named(KS_KEY_TYPE_SECRET, name)) {
        return KS_INVAL_ARGS;
    }
    return dispatch(
        Chip::kRequired,
        [&] {
            return ks_sw_GenerateAuthenticatorResponse(h.bytes, h.len, nt_response, peer_challenge, auth_challenge,
                                                       user_name, response);
        },
        // The hardware contract offers no authenticator response.
        [] { return KS_NO_KEYSTORE; });
}

int32_t ks_NewPasswordEncryptedWithOldNtPasswordHash(const char *old_name, const uint8_t *new_password,
                                                     uint32_t new_password_len, uint8_t *out) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (new_password == nullptr || new_password_len == 0 || new_password_len > KS_NEW_PASSWORD_MAX ||
        !h.named(KS_KEY_TYPE_SECRET, old_name) || out == nullptr) {
        return KS_INVAL_ARGS;
    }
    return dispatch(
        Chip::kRequired,
        [&] {
            return ks_sw_NewPasswordEncryptedWithOldNtPasswordHash(h.bytes, h.len, new_password, new_password_len, out);
        },
        [&] {
            return ks_ae46c1_NewPasswordEncryptedWithOldNtPasswordHash(h.bytes, h.hw_len(), new_password,
                                                                       new_password_len, out);
        });
}

int32_t ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(const char *old_name, const char *new_name, uint8_t *out) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle old_h, new_h;
    if (out == nullptr || !old_h.named(KS_KEY_TYPE_SECRET, old_name) || !new_h.named(KS_KEY_TYPE_SECRET, new_name))
        return KS_INVAL_ARGS;
    return dispatch(
        Chip::kRequired,
        [&] {
            return ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash(old_h.bytes, old_h.len, new_h.bytes, new_h.len,
                                                                         out);
        },
        [&] {
            return ks_ae46c1_OldNtPasswordHashEncryptedWithNewNtPasswordHash(old_h.bytes, old_h.hw_len(), new_h.bytes,
                                                                             new_h.hw_len(), out);
        });
}

int32_t ks_GetMasterKey(const char *name, const uint8_t *nt_response, uint8_t *master_key) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (nt_response == nullptr || master_key == nullptr || !h.named(KS_KEY_TYPE_SECRET, name)) return KS_INVAL_ARGS;
    return dispatch(
        Chip::kRequired, [&] { return ks_sw_GetMasterKey(h.bytes, h.len, nt_response, master_key); },
        [&] { return ks_ae46c1_GetMasterKey(h.bytes, h.hw_len(), nt_response, master_key); });
}

}  // extern "C"
