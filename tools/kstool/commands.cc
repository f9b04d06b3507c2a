// SPDX-License-Identifier: Apache-2.0
// The command table: every command kstool knows, in the order help lists them.
#include "kstool.h"

namespace kstool {

namespace {
constexpr uint32_t kArg1 = 1u << 1;  // the second positional argument is a secret value
constexpr bool kComputed = true;     // the keystore computes what the command prints
}  // namespace

const Command kCommands[] = {
    // name, usage, help, min args, max args, options, secret args, handler[, computed]
    {"secret store", "NAME VALUE [--purge PREFIX] [--meta VALUE]",
     "store a secret (replacing one of that name; VALUE - reads it from standard input); --purge first removes every "
     "secret whose name begins with PREFIX",
     2, 2, "purge= meta=", kArg1, cmd_secret_store},
    {"secret exists", "NAME", "whether a secret of that name is stored", 1, 1, "", 0, cmd_secret_exists},
    {"secret list", "", "the names of the stored secrets, in table order", 0, 0, "", 0, cmd_secret_list},
    {"secret next", "[NAME]", "the next name after NAME in strcmp order (SNMP get-next); the first without NAME", 0, 1,
     "", 0, cmd_secret_next},
    {"secret rename", "OLD NEW [--purge PREFIX]", "rename a secret (replacing a secret named NEW)", 2, 2, "purge=", 0,
     cmd_secret_rename},
    {"secret clear", "NAME", "remove a secret", 1, 1, "", 0, cmd_secret_clear},
    {"secret ha-check", "NAME", "whether a stored secret is consistent for redundancy", 1, 1, "", 0,
     cmd_secret_ha_check},
    {"meta add", "NAME VALUE", "attach metadata to a secret (replacing what it had)", 2, 2, "", 0, cmd_meta_add},
    {"meta clear", "NAME", "remove a secret's metadata", 1, 1, "", 0, cmd_meta_clear},
    {"meta show", "NAME", "a secret's metadata, as hex", 1, 1, "", 0, cmd_meta_show},
    {"random", "LENGTH [raw|printable|alnum]", "random bytes, printable characters or letters and digits", 1, 2, "", 0,
     cmd_random, kComputed},

    {"hmac md5", "NAME DATA", "HMAC-MD5 of DATA keyed with a stored secret", 2, 2, "", 0, cmd_hmac_md5, kComputed},
    {"hmac sha1", "NAME DATA", "HMAC-SHA-1 of DATA keyed with a stored secret", 2, 2, "", 0, cmd_hmac_sha1, kComputed},
    {"hash md5", "NAME BEFORE [AFTER]", "MD5 of BEFORE || secret || AFTER ('-' for an absent piece)", 2, 3, "", 0,
     cmd_hash_md5, kComputed},
    {"hash sha1", "NAME BEFORE [AFTER]", "SHA-1 of BEFORE || secret || AFTER ('-' for an absent piece)", 2, 3, "", 0,
     cmd_hash_sha1, kComputed},
    {"aes", "encrypt|decrypt NAME DATA", "AES-ECB with a stored 16, 24 or 32-byte key (whole blocks)", 3, 3, "", 0,
     cmd_aes, kComputed},
    {"aes-cbc", "encrypt|decrypt NAME IV DATA",
     "the keystore's AES chaining with a stored key; prints the IV for a following call", 4, 4, "", 0, cmd_aes_cbc,
     kComputed},
    {"des", "encrypt|decrypt NAME DATA", "DES-ECB with a stored 7-byte key (whole 8-byte blocks)", 3, 3, "", 0, cmd_des,
     kComputed},
    {"3des", "encrypt|decrypt NAME DATA", "triple DES (EDE) ECB with a stored 21-byte key", 3, 3, "", 0, cmd_3des,
     kComputed},

    {"mschap nt-response", "NAME AUTH_CHALLENGE PEER_CHALLENGE USER",
     "MS-CHAPv2 NT-Response (RFC 2759) with the stored password NAME", 4, 4, "", 0, cmd_mschap_nt_response, kComputed},
    {"mschap auth-response", "NAME NT_RESPONSE PEER_CHALLENGE AUTH_CHALLENGE USER",
     "MS-CHAPv2 authenticator response \"S=...\" (RFC 2759)", 5, 5, "", 0, cmd_mschap_auth_response, kComputed},
    {"mschap new-password-block", "OLD_NAME NEW_PASSWORD",
     "the new password encrypted with the stored old password's hash (516 bytes, RFC 2759)", 2, 2, "", kArg1,
     cmd_mschap_new_password_block, kComputed},
    {"mschap old-hash-block", "OLD_NAME NEW_NAME",
     "the old password's hash encrypted with the new one's (16 bytes, RFC 2759)", 2, 2, "", 0,
     cmd_mschap_old_hash_block, kComputed},
    {"mppe master-key", "NAME NT_RESPONSE", "MPPE master key (RFC 3079) from the stored password", 2, 2, "", 0,
     cmd_mppe_master_key, kComputed},

    {"pac store", "AID KEY [--opaque VALUE] [--iid ID] [--lifetime WHEN]",
     "store a PAC assembled from fields; WHEN is +N/-N seconds (or m, h, d) from now, @N, or YYYY-MM-DD[THH:MM:SSZ]", 2,
     2, "opaque= iid= lifetime=", kArg1, cmd_pac_store},
    {"pac store-tlv", "AID KEY OPAQUE_TLV INFO_TLV", "store a PAC from its PAC-Opaque and PAC-Info TLVs", 4, 4, "",
     kArg1, cmd_pac_store_tlv},
    {"pac exists", "AID", "whether a PAC is stored for the A-ID", 1, 1, "", 0, cmd_pac_exists},
    {"pac list", "", "the A-IDs of the stored PACs, in table order", 0, 0, "", 0, cmd_pac_list},
    {"pac next", "[AID]", "the next A-ID in SNMP order; the first without AID", 0, 1, "", 0, cmd_pac_next},
    {"pac opaque", "AID", "the PAC-Opaque TLV", 1, 1, "", 0, cmd_pac_opaque},
    {"pac info", "AID", "the PAC-Info TLV and its elements", 1, 1, "", 0, cmd_pac_info},
    {"pac tprf", "AID LABEL SEED LENGTH", "T-PRF (RFC 4851 section 5.5) keyed with the PAC-Key", 4, 4, "", 0,
     cmd_pac_tprf, kComputed},
    {"pac shared-key", "AID DEVICE_ID LABEL [LENGTH]",
     "a shared key (label ZAV-MACK or ZAV-KEK) derived from the PAC-Key for a device", 3, 4, "", 0, cmd_pac_shared_key,
     kComputed},
    {"pac valid", "AID", "whether the PAC exists and its lifetime lies ahead", 1, 1, "", 0, cmd_pac_valid},
    {"pac expiry", "AID", "the PAC's lifetime", 1, 1, "", 0, cmd_pac_expiry},
    {"pac clear", "AID", "remove a PAC", 1, 1, "", 0, cmd_pac_clear},
    {"pac clear-old", "[DEVICE_ID]",
     "remove expired PACs and PACs issued to another identity (every PAC without DEVICE_ID)", 0, 1, "", 0,
     cmd_pac_clear_old},
    {"pac clear-all", "", "remove every PAC", 0, 0, "", 0, cmd_pac_clear_all},
    {"pac cache-purge", "", "empty the PAC cache (the PACs stay stored)", 0, 0, "", 0, cmd_pac_cache_purge},

    {"mode", "", "the mode flags", 0, 0, "", 0, cmd_mode},
    {"mode standby", "on|off", "act as the standby unit (changes are refused) or not", 1, 1, "", 0, cmd_mode_standby},
    {"mode emulation", "on|off", "serve requests from the software keystore, or from the hardware contract", 1, 1, "",
     0, cmd_mode_emulation},
    {"mode redundancy", "off", "disable redundancy (for the rest of the process)", 1, 1, "", 0, cmd_mode_redundancy},
    {"show", "[--json | --table]",
     "list the keystore: the text listing, or the structured message as JSON or as a table", 0, 0, "json table", 0,
     cmd_show},
};

const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace kstool
