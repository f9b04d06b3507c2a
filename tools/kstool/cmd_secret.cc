// SPDX-License-Identifier: Apache-2.0
// Secrets (key type 1), their metadata, and random numbers.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "keystore/ks_secret.h"
#include "keystore/platform/ks_platform.h"
#include "kstool.h"

namespace kstool {

namespace {

// The purge name of a store or rename: absent means no purge.
const char *purge_of(const Args &a) {
    const std::string *p = a.opt("purge");
    return p != nullptr ? p->c_str() : nullptr;
}

}  // namespace

Outcome cmd_secret_store(const Args &a) {
    Bytes value, meta;
    const std::string *m = a.opt("meta");
    const std::string *p = a.opt("purge");
    // The value first: a "-" takes its line from standard input whatever else
    // is wrong, so that the line is never read as a command.
    if (!parse_secret_value("VALUE", a.pos[1], 1, KS_SECRET_MAX, value) || !check_name("NAME", a.pos[0]) ||
        (p != nullptr && !check_name("PREFIX", *p, true)) || (m != nullptr && !parse_value("--meta VALUE", *m, meta))) {
        std::fill(value.begin(), value.end(), 0);
        return Outcome::kUsage;
    }
    const int32_t status =
        ks_store_secret_and_metadata(a.pos[0].c_str(), purge_of(a), value.data(), static_cast<uint32_t>(value.size()),
                                     meta.empty() ? nullptr : meta.data(), static_cast<uint32_t>(meta.size()));
    std::fill(value.begin(), value.end(), 0);
    return check_ok(status);
}

Outcome cmd_secret_exists(const Args &a) {
    if (!check_name("NAME", a.pos[0])) return Outcome::kUsage;
    int32_t exists = 0;
    return check_yes_no(ks_secret_exists(a.pos[0].c_str(), &exists), "exists", exists);
}

Outcome cmd_secret_list(const Args &) {
    uint16_t index = 0;
    int count = 0;
    for (;;) {
        char *name = nullptr;
        int32_t st = ks_return_secret_handle_by_index(&index, &name);
        if (st == KS_NO_MORE_RECORDS) break;
        if (check(st) != Outcome::kOk) return Outcome::kFailed;
        // The index handed back is the one after the record found.
        out("secret " + std::to_string(index - 1), name);
        tagged_free(name);
        ++count;
    }
    if (count == 0) std::printf("no secrets\n");
    return Outcome::kOk;
}

Outcome cmd_secret_next(const Args &a) {
    char buf[KS_NAME_MAX + 1] = {0};
    if (!a.pos.empty()) {
        if (!check_name("NAME", a.pos[0], true)) return Outcome::kUsage;
        std::memcpy(buf, a.pos[0].data(), a.pos[0].size());
    }
    if (ks_snmp_get_next_password(buf, sizeof buf))
        out("next", buf);
    else
        std::printf("next: none\n");
    return Outcome::kOk;
}

Outcome cmd_secret_rename(const Args &a) {
    // A rename's purge prefix may have any length.
    if (!check_name("OLD", a.pos[0]) || !check_name("NEW", a.pos[1])) return Outcome::kUsage;
    return check_ok(ks_rename_secret(a.pos[0].c_str(), a.pos[1].c_str(), purge_of(a)));
}

Outcome cmd_secret_clear(const Args &a) {
    if (!check_name("NAME", a.pos[0])) return Outcome::kUsage;
    return check_ok(ks_clear_secret(a.pos[0].c_str()));
}

Outcome cmd_secret_ha_check(const Args &a) {
    if (!check_name("NAME", a.pos[0])) return Outcome::kUsage;
    int32_t consistent = 0;
    return check_yes_no(ks_check_ha_consistency(a.pos[0].c_str(), &consistent), "consistent", consistent);
}

Outcome cmd_meta_add(const Args &a) {
    Bytes meta;
    if (!check_name("NAME", a.pos[0]) || !parse_sized("VALUE", a.pos[1], 0, KS_METADATA_MAX, 1, meta))
        return Outcome::kUsage;
    return check_ok(
        ks_add_metadata(a.pos[0].c_str(), meta.empty() ? nullptr : meta.data(), static_cast<uint16_t>(meta.size())));
}

Outcome cmd_meta_clear(const Args &a) {
    if (!check_name("NAME", a.pos[0])) return Outcome::kUsage;
    return check_ok(ks_add_metadata(a.pos[0].c_str(), nullptr, 0));
}

Outcome cmd_meta_show(const Args &a) {
    if (!check_name("NAME", a.pos[0])) return Outcome::kUsage;
    uint8_t *meta = nullptr;
    uint16_t len = 0;
    Outcome o = check(ks_return_metadata(a.pos[0].c_str(), &meta, &len));
    if (o != Outcome::kOk) return o;
    out("metadata", meta == nullptr ? std::string("none") : hex(meta, len));
    tagged_free(meta);
    return Outcome::kOk;
}

Outcome cmd_random(const Args &a) {
    uint64_t len = 0;
    if (!parse_number("LENGTH", a.pos[0], 1, 65536, len)) return Outcome::kUsage;
    int32_t kind = KS_RANDOM_RAW;
    std::string k = a.pos.size() > 1 ? a.pos[1] : "raw";
    if (k == "printable")
        kind = KS_RANDOM_PRINTABLE;
    else if (k == "alnum")
        kind = KS_RANDOM_ALPHANUMERIC;
    else if (k != "raw")
        return usage_error("usage: random LENGTH [raw|printable|alnum]");
    Bytes buf(len);
    Outcome o = check(ks_generate_random_number(buf.data(), static_cast<uint32_t>(len), kind));
    if (o != Outcome::kOk) return o;
    out("random", hex(buf));
    if (kind != KS_RANDOM_RAW) out("text", std::string(buf.begin(), buf.end()));
    return Outcome::kOk;
}

}  // namespace kstool
