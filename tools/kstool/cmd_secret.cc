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
    if (!parse_secret_value(a.pos[1], value)) return Outcome::kUsage;
    const std::string *m = a.opt("meta");
    if (m != nullptr && !parse_value(*m, meta)) return Outcome::kUsage;
    Outcome o = check(ks_store_secret_and_metadata(a.pos[0].c_str(), purge_of(a), value.data(),
                                                   static_cast<uint32_t>(value.size()),
                                                   meta.empty() ? nullptr : meta.data(),
                                                   static_cast<uint32_t>(meta.size())));
    std::fill(value.begin(), value.end(), 0);
    if (o == Outcome::kOk) ok();
    return o;
}

Outcome cmd_secret_exists(const Args &a) {
    int32_t exists = 0;
    Outcome o = check(ks_secret_exists(a.pos[0].c_str(), &exists));
    if (o == Outcome::kOk) out("exists", exists ? "yes" : "no");
    return o;
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
        if (a.pos[0].size() > KS_NAME_MAX) return usage_error("a name has at most 31 bytes");
        std::memcpy(buf, a.pos[0].data(), a.pos[0].size());
    }
    if (ks_snmp_get_next_password(buf, sizeof buf)) out("next", buf);
    else std::printf("next: none\n");
    return Outcome::kOk;
}

Outcome cmd_secret_rename(const Args &a) {
    Outcome o = check(ks_rename_secret(a.pos[0].c_str(), a.pos[1].c_str(), purge_of(a)));
    if (o == Outcome::kOk) ok();
    return o;
}

Outcome cmd_secret_clear(const Args &a) {
    Outcome o = check(ks_clear_secret(a.pos[0].c_str()));
    if (o == Outcome::kOk) ok();
    return o;
}

Outcome cmd_secret_ha_check(const Args &a) {
    int32_t consistent = 0;
    Outcome o = check(ks_check_ha_consistency(a.pos[0].c_str(), &consistent));
    if (o == Outcome::kOk) out("consistent", consistent ? "yes" : "no");
    return o;
}

Outcome cmd_meta_add(const Args &a) {
    Bytes meta;
    if (!parse_value(a.pos[1], meta)) return Outcome::kUsage;
    if (meta.size() > 0xFFFF) return usage_error("metadata has at most 65534 bytes");
    Outcome o = check(ks_add_metadata(a.pos[0].c_str(), meta.empty() ? nullptr : meta.data(),
                                      static_cast<uint16_t>(meta.size())));
    if (o == Outcome::kOk) ok();
    return o;
}

Outcome cmd_meta_clear(const Args &a) {
    Outcome o = check(ks_add_metadata(a.pos[0].c_str(), nullptr, 0));
    if (o == Outcome::kOk) ok();
    return o;
}

Outcome cmd_meta_show(const Args &a) {
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
    if (!parse_number(a.pos[0], 65536, len)) return usage_error("LENGTH is a number up to 65536");
    int32_t kind = KS_RANDOM_RAW;
    std::string k = a.pos.size() > 1 ? a.pos[1] : "raw";
    if (k == "printable") kind = KS_RANDOM_PRINTABLE;
    else if (k == "alnum") kind = KS_RANDOM_ALPHANUMERIC;
    else if (k != "raw") return usage_error("usage: random LENGTH [raw|printable|alnum]");
    Bytes buf(len);
    Outcome o = check(ks_generate_random_number(buf.data(), static_cast<uint32_t>(len), kind));
    if (o != Outcome::kOk) return o;
    out("random", hex(buf));
    if (kind != KS_RANDOM_RAW) out("text", std::string(buf.begin(), buf.end()));
    return Outcome::kOk;
}

}  // namespace kstool
