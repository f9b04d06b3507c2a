// A reference model of the key table and the PAC cache: plain C++ over
// standard containers, no library code, no platform services. It says what
// the table and the cache must hold after each operation, assuming every
// allocation succeeds.
//
// Keys are byte strings (the handle: type byte, then the name), in storing
// order: index i of the model is the slot index the library must report for
// the same key. Status values are the library's (ks_types.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "keystore/ks_pac.h"
#include "keystore/ks_types.h"

namespace ksmodel {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes pac_handle(const Bytes &aid) { return cat({KS_KEY_TYPE_PAC}, aid); }

struct Key {
    Bytes handle, value, meta;
    bool operator==(const Key &) const = default;
};

// The last T-PRF result cached for a PAC.
struct Derived {
    Bytes label, seed, output;
    bool operator==(const Derived &) const = default;
};

// One cached PAC: its A-ID, its two TLVs and the results derived from it.
struct PacEntry {
    Bytes aid, opaque, info;
    std::optional<Derived> derived;
    std::optional<Bytes> mack, kek;  // the cached "ZAV-MACK" and "ZAV-KEK" outputs
    bool operator==(const PacEntry &) const = default;
};

struct Keystore {
    std::vector<Key> keys;        // at most KS_MAX_KEYS, unique handles
    std::vector<PacEntry> cache;  // a FIFO, one entry per A-ID, new ones at the tail
    bool operator==(const Keystore &) const = default;

    int32_t find(const Bytes &handle) const {
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i].handle == handle) return static_cast<int32_t>(i);
        return -1;
    }
    const Key *get(const Bytes &handle) const { return find(handle) < 0 ? nullptr : &keys[find(handle)]; }
    int32_t remove_if(const std::function<bool(const Key &)> &pred) {
        const size_t n = keys.size();
        std::erase_if(keys, pred);
        return static_cast<int32_t>(n - keys.size());
    }
    int32_t purge(const Bytes &prefix) {
        return remove_if([&](const Key &k) {
            return k.handle.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), k.handle.begin());
        });
    }
    int32_t erase(const Bytes &handle) {
        return remove_if([&](const Key &k) { return k.handle == handle; }) ? KS_SUCCESS : KS_RECORD_NOT_FOUND;
    }
    // A re-stored key moves to the end; a full table refuses even a re-store.
    int32_t insert(const Bytes &handle, const Bytes &value, const Bytes &meta) {
        if (keys.size() >= KS_MAX_KEYS) return KS_KEYSTORE_FULL;
        erase(handle);
        keys.push_back(Key{handle, value, meta});
        return KS_SUCCESS;
    }
    // The purge (when a prefix is given) stays done whatever follows.
    int32_t store(const Bytes &handle, const std::optional<Bytes> &prefix, const Bytes &value, const Bytes &meta) {
        if (prefix) purge(*prefix);
        return insert(handle, value, meta);
    }
    // The key takes the new handle and keeps its place; a key that had the
    // new handle goes. The handles differ.
    int32_t rename(const Bytes &from, const Bytes &to, const std::optional<Bytes> &prefix) {
        if (prefix) purge(*prefix);
        if (find(from) < 0) return KS_RECORD_NOT_FOUND;
        erase(to);
        keys[find(from)].handle = to;
        return KS_SUCCESS;
    }
    int32_t set_meta(const Bytes &handle, const Bytes &meta) {
        if (find(handle) < 0) return KS_RECORD_NOT_FOUND;
        keys[find(handle)].meta = meta;
        return KS_SUCCESS;
    }

    PacEntry *entry(const Bytes &aid) {
        auto it = std::find_if(cache.begin(), cache.end(), [&](const PacEntry &e) { return e.aid == aid; });
        return it == cache.end() ? nullptr : &*it;
    }
    void drop(const Bytes &aid) {
        std::erase_if(cache, [&](const PacEntry &e) { return e.aid == aid; });
    }
    PacEntry &add(const Bytes &aid, const Bytes &opaque, const Bytes &info) {
        drop(aid);
        return cache.emplace_back(PacEntry{aid, opaque, info, {}, {}, {}});
    }
    // The PAC-Key under type 2 with the two TLVs as metadata; the A-ID's
    // cache entry is replaced.
    int32_t store_pac(const Bytes &aid, const Bytes &pac_key, const Bytes &opaque, const Bytes &info) {
        const int32_t st = insert(pac_handle(aid), pac_key, cat(opaque, info));
        if (st == KS_SUCCESS) add(aid, opaque, info);
        return st;
    }
    // The A-ID's cache entry, or one loaded on a miss: the stored metadata,
    // read with a 16-bit length, must split into one PAC-Opaque and one
    // PAC-Info TLV (either order, nothing else); null when it does not.
    PacEntry *cached_or_loaded(const Bytes &aid) {
        const Key *k = get(pac_handle(aid));
        if (entry(aid) != nullptr || k == nullptr) return entry(aid);
        const size_t n = k->meta.size() & 0xFFFF;
        std::optional<Bytes> tlvs[2];  // PAC-Opaque, PAC-Info
        for (size_t at = 0; at < n;) {
            const uint8_t *p = k->meta.data() + at;
            const size_t whole = n - at < 4 ? SIZE_MAX : (size_t{p[2]} << 8 | p[3]) + 4u;
            const int type = n - at < 4 ? 0 : p[0] << 8 | p[1], slot = type == KS_PAC_TLV_INFO;
            if ((type != KS_PAC_TLV_OPAQUE && type != KS_PAC_TLV_INFO) || tlvs[slot] || n - at < whole) return nullptr;
            tlvs[slot] = Bytes(p, p + whole);
            at += whole;
        }
        return tlvs[0] && tlvs[1] ? &add(aid, *tlvs[0], *tlvs[1]) : nullptr;
    }
};

}  // namespace ksmodel
