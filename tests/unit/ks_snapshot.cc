#include "ks_snapshot.h"

#include <algorithm>
#include <cstdio>

#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore_host/host.h"
#include "ks_pac_internal.h"
#include "ks_sw_table.h"

namespace kstest {
namespace {

Bytes copy(const uint8_t *p, size_t n) { return p == nullptr ? Bytes{} : Bytes(p, p + n); }

std::string printable(const Bytes &b) {
    std::string s;
    for (uint8_t c : b) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s += static_cast<char>(c);
        } else {
            char x[5];
            std::snprintf(x, sizeof x, "\\x%02x", c);
            s += x;
        }
    }
    return s;
}

}  // namespace

Snapshot snapshot() {
    Snapshot s;
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *e = ks_sym_keys[i];
        if (e == nullptr) {
            s.keys.push_back({Bytes{}, Bytes{}, copy(reinterpret_cast<const uint8_t *>("<null slot>"), 11)});
            continue;
        }
        s.keys.push_back({copy(e->data, e->handle_len), copy(ks::entry_value(e), e->value_len),
                          copy(ks::entry_meta(e), e->meta_len)});
    }
    // The cache queue's first word is its head; each entry links the next.
    for (auto *e = static_cast<const pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link) {
        CacheSnap c;
        c.aid = copy(e->aid, e->aid_len);
        c.opaque = copy(e->opaque, e->opaque_len);
        c.info = copy(e->info, e->info_len);
        if ((c.has_derived = e->derived != nullptr)) {
            c.derived_out = copy(e->derived->output, e->derived->output_len);
            c.derived_label = copy(e->derived->label, e->derived->label_len);
            c.derived_seed = copy(e->derived->seed, e->derived->seed_len);
        }
        if ((c.has_mack = e->mack != nullptr)) c.mack_out = copy(e->mack->output, e->mack->output_len);
        if ((c.has_kek = e->kek != nullptr)) c.kek_out = copy(e->kek->output, e->kek->output_len);
        s.cache.push_back(std::move(c));
    }
    return s;
}

std::string Snapshot::describe() const {
    std::string out;
    for (const KeySnap &k : keys)
        out += "key " + printable(k.handle) + " = " + printable(k.value) + " / " + printable(k.meta) + "\n";
    for (const CacheSnap &c : cache) {
        out += "cache " + printable(c.aid) + " opaque " + std::to_string(c.opaque.size()) + " info " +
               std::to_string(c.info.size());
        if (c.has_derived) out += " derived(" + printable(c.derived_label) + ")";
        if (c.has_mack) out += " mack";
        if (c.has_kek) out += " kek";
        out += "\n";
    }
    return out.empty() ? "<empty>\n" : out;
}

namespace {
std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}
}  // namespace

std::string diff(const Snapshot &got, const Snapshot &want) {
    std::vector<std::string> g = lines(got.describe()), w = lines(want.describe());
    std::string out;
    for (const auto &l : w)
        if (std::find(g.begin(), g.end(), l) == g.end()) out += "- " + l + "\n";
    for (const auto &l : g)
        if (std::find(w.begin(), w.end(), l) == w.end()) out += "+ " + l + "\n";
    return out.empty() ? (g == w ? "identical\n" : "same lines, other order\n") : out;
}

void PrintTo(const Snapshot &s, std::ostream *os) { *os << "\n" << s.describe(); }

void Snapshot::purge(const Bytes &prefix) {
    std::erase_if(keys, [&](const KeySnap &k) {
        return k.handle.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), k.handle.begin());
    });
}

void Snapshot::drop_cache(const Bytes &aid) {
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->aid == aid) {
            cache.erase(it);
            return;
        }
    }
}

int Snapshot::find(const Bytes &handle) const {
    for (size_t i = 0; i < keys.size(); ++i)
        if (keys[i].handle == handle) return static_cast<int>(i);
    return -1;
}

uint64_t library_live_blocks() {
    constexpr uint32_t kKeptTags[] = {0x0460009B, 0x046000A6, 0x04600095};
    uint64_t n = ksh_alloc_live_blocks();
    for (uint32_t tag : kKeptTags) n -= ksh_alloc_tag_live_blocks(tag);
    return n;
}

Bytes handle_of(uint8_t type, const std::string &name) {
    Bytes h(name.size() + 1);
    h[0] = type;
    std::copy(name.begin(), name.end(), h.begin() + 1);
    return h;
}

int32_t sw_store(const std::string &name, const std::string &value, const std::string &meta) {
    Bytes h = handle_of(1, name);
    return ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0,
                               reinterpret_cast<const uint8_t *>(value.data()), static_cast<uint32_t>(value.size()),
                               meta.empty() ? nullptr : reinterpret_cast<const uint8_t *>(meta.data()),
                               static_cast<uint32_t>(meta.size()));
}

}  // namespace kstest
