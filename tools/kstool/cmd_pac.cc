// SPDX-License-Identifier: Apache-2.0
// EAP-FAST PACs: storing (from TLVs or from fields), queries, derivations,
// expiry and clearing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "keystore/ks_pac.h"
#include "keystore/platform/ks_platform.h"
#include "kstool.h"

namespace kstool {

namespace {

// PAC-Info sub-element types the tool writes or names; the A-ID element is
// not read by the library, but a PAC-Info carries it.
constexpr uint16_t kInfoAid = 4;

std::string show_time(uint32_t t) {
    // Lifetimes are signed 32-bit seconds since 1970.
    time_t v = static_cast<int32_t>(t);
    struct tm tm {};
    char buf[64];
    if (gmtime_r(&v, &tm) == nullptr || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0)
        return std::to_string(static_cast<int32_t>(t));
    return std::to_string(static_cast<int32_t>(t)) + " (" + buf + ")";
}

// A lifetime: "+N" or "-N" seconds from now (suffix m, h or d for minutes,
// hours, days), "@N" or N seconds since 1970, or a date "YYYY-MM-DD" or
// "YYYY-MM-DDTHH:MM:SSZ" (UTC).
bool read_lifetime(const std::string &text, uint32_t &out) {
    if (text.empty()) return false;
    if (text[0] == '+' || text[0] == '-') {
        std::string num = text.substr(1);
        uint64_t unit = 1;
        if (!num.empty() && std::strchr("smhd", num.back()) != nullptr) {
            unit = num.back() == 'm' ? 60 : num.back() == 'h' ? 3600 : num.back() == 'd' ? 86400 : 1;
            num.pop_back();
        }
        uint64_t n = 0;
        if (!to_number(num, 0x7FFFFFFF, n) || n * unit > 0x7FFFFFFF) return false;
        int64_t v =
            static_cast<int64_t>(std::time(nullptr)) + (text[0] == '+' ? 1 : -1) * static_cast<int64_t>(n * unit);
        out = static_cast<uint32_t>(v);
        return true;
    }
    uint64_t n = 0;
    if (to_number(text[0] == '@' ? text.substr(1) : text, 0xFFFFFFFF, n)) {
        out = static_cast<uint32_t>(n);
        return true;
    }
    struct tm tm {};
    const char *end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (end == nullptr || *end != '\0') {
        tm = {};
        end = strptime(text.c_str(), "%Y-%m-%d", &tm);
        if (end == nullptr || *end != '\0') return false;
    }
    out = static_cast<uint32_t>(timegm(&tm));
    return true;
}

bool parse_lifetime(const std::string &text, uint32_t &out) {
    if (read_lifetime(text, out)) return true;
    usage_error("--lifetime WHEN must be +N, -N (s, m, h, d), @N, N or YYYY-MM-DD[THH:MM:SSZ]");
    return false;
}

void put_tlv(Bytes &b, uint16_t type, const uint8_t *v, size_t n) {
    b.push_back(static_cast<uint8_t>(type >> 8));
    b.push_back(static_cast<uint8_t>(type));
    b.push_back(static_cast<uint8_t>(n >> 8));
    b.push_back(static_cast<uint8_t>(n));
    b.insert(b.end(), v, v + n);
}

// A PAC-Opaque or PAC-Info TLV as the library takes it: the type, and a
// length field that counts exactly the bytes after the header.
bool check_tlv(const char *what, const Bytes &tlv, uint16_t type) {
    if (tlv.size() >= 4 && (tlv[0] << 8 | tlv[1]) == type && (tlv[2] << 8 | tlv[3]) + 4u == tlv.size()) return true;
    usage_error(std::string(what) + " must be a TLV of type " + std::to_string(type) +
                " whose length field is its size less the 4 header bytes");
    return false;
}

Outcome store(const Bytes &aid, Bytes &key, const Bytes &opaque, const Bytes &info) {
    const int32_t status =
        ks_store_pac(aid.data(), static_cast<uint32_t>(aid.size()), key.empty() ? nullptr : key.data(),
                     static_cast<uint32_t>(key.size()), opaque.data(), static_cast<uint32_t>(opaque.size()),
                     info.data(), static_cast<uint32_t>(info.size()));
    std::fill(key.begin(), key.end(), 0);
    return check_ok(status);
}

// Prints the elements of a PAC-Info TLV, one per line.
void describe_info(const uint8_t *p, uint32_t n) {
    if (n < 4) return;
    uint32_t len = static_cast<uint32_t>(p[2]) << 8 | p[3];
    if (len + 4 > n) len = n - 4;
    const uint8_t *q = p + 4;
    while (len >= 4) {
        uint16_t type = static_cast<uint16_t>((q[0] << 8 | q[1]) & 0x7FFF);
        uint32_t l = static_cast<uint32_t>(q[2]) << 8 | q[3];
        if (l + 4 > len) break;
        const uint8_t *v = q + 4;
        if (type == KS_PAC_INFO_LIFETIME && l == 4) {
            std::printf("  lifetime: %s\n",
                        show_time(static_cast<uint32_t>(v[0]) << 24 | v[1] << 16 | v[2] << 8 | v[3]).c_str());
        } else if (type == kInfoAid) {
            std::printf("  a-id: %s\n", hex_and_text(v, l).c_str());
        } else if (type == KS_PAC_INFO_IID) {
            std::printf("  i-id: %s\n", hex_and_text(v, l).c_str());
        } else {
            std::printf("  element %u: %s\n", type, hex(v, l).c_str());
        }
        q += l + 4;
        len -= l + 4;
    }
}

Outcome return_tlv(const Args &a, int32_t (*fn)(const uint8_t *, uint32_t, uint8_t **, uint32_t *), const char *label) {
    Bytes aid;
    if (!parse_aid("AID", a.pos[0], aid)) return Outcome::kUsage;
    uint8_t *tlv = nullptr;
    uint32_t len = 0;
    Outcome o = check(fn(aid.data(), static_cast<uint32_t>(aid.size()), &tlv, &len));
    if (o != Outcome::kOk) return o;
    out(label, hex(tlv, len));
    if (fn == ks_return_pac_info) describe_info(tlv, len);
    tagged_free(tlv);
    return o;
}

}  // namespace

Outcome cmd_pac_store(const Args &a) {
    Bytes aid, key, opaque_value, iid;
    const std::string *o = a.opt("opaque");
    const std::string *i = a.opt("iid");
    const std::string *l = a.opt("lifetime");
    uint32_t t = 0;
    // The key first: a "-" takes its line from standard input whatever else
    // is wrong, so that the line is never read as a command.
    if (!parse_secret_value("KEY", a.pos[1], 1, UINT32_MAX, key) || !parse_aid("AID", a.pos[0], aid) ||
        (o != nullptr && !parse_sized("--opaque VALUE", *o, 0, 0xFFFF, 1, opaque_value)) ||
        (i != nullptr && !parse_value("--iid ID", *i, iid)) || (l != nullptr && !parse_lifetime(*l, t))) {
        std::fill(key.begin(), key.end(), 0);
        return Outcome::kUsage;
    }
    Bytes info_value;
    if (l != nullptr) {
        const uint8_t v[4] = {static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16),
                              static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t)};
        put_tlv(info_value, KS_PAC_INFO_LIFETIME, v, 4);
    }
    put_tlv(info_value, kInfoAid, aid.data(), aid.size());
    if (i != nullptr) put_tlv(info_value, KS_PAC_INFO_IID, iid.data(), iid.size());
    if (info_value.size() > 0xFFFF) {
        std::fill(key.begin(), key.end(), 0);
        return usage_error("the PAC-Info of --iid ID and the A-ID must fit in 65535 bytes");
    }
    Bytes opaque, info;
    put_tlv(opaque, KS_PAC_TLV_OPAQUE, opaque_value.data(), opaque_value.size());
    put_tlv(info, KS_PAC_TLV_INFO, info_value.data(), info_value.size());
    return store(aid, key, opaque, info);
}

Outcome cmd_pac_store_tlv(const Args &a) {
    Bytes aid, key, opaque, info;
    if (!parse_secret_value("KEY", a.pos[1], 1, UINT32_MAX, key) || !parse_aid("AID", a.pos[0], aid) ||
        !parse_value("OPAQUE_TLV", a.pos[2], opaque) || !check_tlv("OPAQUE_TLV", opaque, KS_PAC_TLV_OPAQUE) ||
        !parse_value("INFO_TLV", a.pos[3], info) || !check_tlv("INFO_TLV", info, KS_PAC_TLV_INFO)) {
        std::fill(key.begin(), key.end(), 0);
        return Outcome::kUsage;
    }
    return store(aid, key, opaque, info);
}

Outcome cmd_pac_exists(const Args &a) {
    Bytes aid;
    if (!parse_aid("AID", a.pos[0], aid)) return Outcome::kUsage;
    int32_t exists = 0;
    return check_yes_no(ks_pac_exists(aid.data(), static_cast<uint32_t>(aid.size()), &exists), "exists", exists);
}

Outcome cmd_pac_list(const Args &) {
    uint16_t index = 0;
    int count = 0;
    for (;;) {
        uint8_t *aid = nullptr;
        uint32_t len = 0;
        int32_t st = ks_return_aid_by_index(&index, &aid, &len);
        if (st == KS_NO_MORE_RECORDS) break;
        if (check(st) != Outcome::kOk) return Outcome::kFailed;
        // The index handed back is the one after the record found.
        out("pac " + std::to_string(index - 1), hex_and_text(aid, len));
        tagged_free(aid);
        ++count;
    }
    if (count == 0) std::printf("no PACs\n");
    return Outcome::kOk;
}

Outcome cmd_pac_next(const Args &a) {
    Bytes aid;
    // The walk knows A-IDs by their first 16 bytes.
    if (!a.pos.empty() && !parse_sized("AID", a.pos[0], 0, KS_PAC_SNMP_KEY_LEN, 1, aid)) return Outcome::kUsage;
    uint8_t next[KS_PAC_SNMP_KEY_LEN] = {0};
    uint8_t len = sizeof next;
    if (ks_snmp_get_next_pac(aid.empty() ? nullptr : aid.data(), static_cast<uint32_t>(aid.size()), next, &len))
        out("next", hex_and_text(next, len));
    else
        std::printf("next: none\n");
    return Outcome::kOk;
}

Outcome cmd_pac_opaque(const Args &a) { return return_tlv(a, ks_return_pac_opaque, "pac-opaque"); }
Outcome cmd_pac_info(const Args &a) { return return_tlv(a, ks_return_pac_info, "pac-info"); }

Outcome cmd_pac_tprf(const Args &a) {
    Bytes aid, label, seed;
    uint64_t len = 0;
    if (!parse_aid("AID", a.pos[0], aid) || !parse_value("LABEL", a.pos[1], label) ||
        !parse_value("SEED", a.pos[2], seed) || !parse_number("LENGTH", a.pos[3], 1, 0xFFFF, len))
        return Outcome::kUsage;
    Bytes output(len + 1);
    Outcome o = check(ks_pac_key_t_prf(aid.data(), static_cast<uint32_t>(aid.size()), label.data(),
                                       static_cast<uint32_t>(label.size()), seed.data(),
                                       static_cast<uint32_t>(seed.size()), output.data(), static_cast<uint32_t>(len)));
    if (o == Outcome::kOk) out("t-prf", hex(output.data(), len));
    return o;
}

Outcome cmd_pac_shared_key(const Args &a) {
    Bytes aid;
    uint64_t len = 20;
    if (!parse_aid("AID", a.pos[0], aid) || (a.pos.size() > 3 && !parse_number("LENGTH", a.pos[3], 1, 0xFFFF, len)))
        return Outcome::kUsage;
    const std::string &device = a.pos[1];
    const std::string &label = a.pos[2];
    // One HMAC-SHA-1 block: the buffer always receives 20 bytes.
    Bytes output(std::max<uint64_t>(len, 20));
    Outcome o = check(ks_pac_shared_keys_t_prf(
        aid.data(), static_cast<uint32_t>(aid.size()), device.c_str(), static_cast<uint32_t>(device.size()),
        label.c_str(), static_cast<uint32_t>(label.size()), output.data(), static_cast<uint32_t>(len)));
    if (o == Outcome::kOk) out(label, hex(output.data(), std::min<uint64_t>(len, 20)));
    return o;
}

Outcome cmd_pac_valid(const Args &a) {
    Bytes aid;
    if (!parse_aid("AID", a.pos[0], aid)) return Outcome::kUsage;
    out("valid", ks_valid_pac_exists(aid.data(), static_cast<uint32_t>(aid.size())) ? "yes" : "no");
    return Outcome::kOk;
}

Outcome cmd_pac_expiry(const Args &a) {
    Bytes aid;
    if (!parse_aid("AID", a.pos[0], aid)) return Outcome::kUsage;
    uint32_t t = ks_get_pac_expiration(aid.data(), static_cast<uint32_t>(aid.size()));
    out("expires", t == 0 ? std::string("none") : show_time(t));
    return Outcome::kOk;
}

Outcome cmd_pac_clear(const Args &a) {
    Bytes aid;
    if (!parse_aid("AID", a.pos[0], aid)) return Outcome::kUsage;
    return check_ok(ks_clear_pac(aid.data(), static_cast<uint32_t>(aid.size())));
}

Outcome cmd_pac_clear_old(const Args &a) {
    return check_ok(ks_clear_old_pacs(a.pos.empty() ? nullptr : a.pos[0].c_str()));
}

Outcome cmd_pac_clear_all(const Args &) { return check_ok(ks_clear_all_pacs()); }

Outcome cmd_pac_cache_purge(const Args &) {
    ks_pac_cache_purge();
    ok();
    return Outcome::kOk;
}

}  // namespace kstool
