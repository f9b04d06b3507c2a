#include "ks_snapshot.h"

#include <cstdio>

#include "keystore/ks_sw_keystore.h"
#include "keystore_host/host.h"
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
    constexpr uint32_t kKeptTags[] = {0x0460009B, 0x046000A6};
    uint64_t n = ksh_alloc_live_blocks();
    for (uint32_t tag : kKeptTags) n -= ksh_alloc_tag_live_blocks(tag);
    return n;
}

Bytes handle_of(uint8_t type, const std::string &name) {
    Bytes h{type};
    h.insert(h.end(), name.begin(), name.end());
    return h;
}

}  // namespace kstest
