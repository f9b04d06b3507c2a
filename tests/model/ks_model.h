// A reference model of the key table and the PAC cache, for differential
// tests and fuzzers: plain C++ over standard containers, no library code, no
// platform services. It says what the table must look like after each
// operation, assuming every allocation succeeds; a caller that injects
// allocation failures applies a model operation only when the library call
// reported success.
//
// Keys are byte strings (the handle: type byte, then the name). The table is
// an ordered list: index i of the model is the slot index the library must
// report for the same key. Status values are the library's (ks_types.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "keystore/ks_types.h"

namespace ksmodel {

using Bytes = std::vector<uint8_t>;

struct Key {
    Bytes handle;
    Bytes value;
    Bytes meta;
};

// The key table: at most KS_MAX_KEYS keys in storing order, unique handles.
class KeyTable {
  public:
    const std::vector<Key> &keys() const { return keys_; }
    int32_t count() const { return static_cast<int32_t>(keys_.size()); }

    // Index of the key with this handle, or -1.
    int32_t find(const Bytes &handle) const {
        for (size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i].handle == handle) return static_cast<int32_t>(i);
        return -1;
    }
    const Key *get(const Bytes &handle) const {
        int32_t i = find(handle);
        return i < 0 ? nullptr : &keys_[i];
    }

    // Appends the key, removing an old key of the same handle first (so a
    // re-stored key moves to the end). A full table refuses even a re-store.
    int32_t insert(const Bytes &handle, const Bytes &value, const Bytes &meta) {
        if (count() >= KS_MAX_KEYS) return KS_KEYSTORE_FULL;
        erase(handle);
        keys_.push_back(Key{handle, value, meta});
        return KS_SUCCESS;
    }

    // Removes every key whose handle begins with the prefix; returns how many.
    int32_t purge(const Bytes &prefix) {
        return remove_where([&](const Key &k) {
            return k.handle.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), k.handle.begin());
        });
    }

    // Purge (when a prefix is given), then insert; the purge stays done.
    int32_t store(const Bytes &handle, const std::optional<Bytes> &prefix, const Bytes &value, const Bytes &meta) {
        if (prefix) purge(*prefix);
        return insert(handle, value, meta);
    }

    int32_t erase(const Bytes &handle) {
        int32_t i = find(handle);
        if (i < 0) return KS_RECORD_NOT_FOUND;
        keys_.erase(keys_.begin() + i);
        return KS_SUCCESS;
    }

    // Purge (when given), then the key takes the new handle and keeps its
    // place; a key that already had the new handle is removed. The handles
    // must differ.
    int32_t rename(const Bytes &from, const Bytes &to, const std::optional<Bytes> &prefix) {
        if (prefix) purge(*prefix);
        int32_t i = find(from);
        if (i < 0) return KS_RECORD_NOT_FOUND;
        int32_t other = find(to);
        if (other >= 0 && other != i) {
            keys_.erase(keys_.begin() + other);
            if (other < i) --i;
        }
        keys_[i].handle = to;
        return KS_SUCCESS;
    }

    // Replaces the key's metadata whole; the key keeps its index.
    int32_t set_meta(const Bytes &handle, const Bytes &meta) {
        int32_t i = find(handle);
        if (i < 0) return KS_RECORD_NOT_FOUND;
        keys_[i].meta = meta;
        return KS_SUCCESS;
    }

    // Removes every key of the type, in table order; each removed PAC's name
    // (handle less its type byte) is appended to *notified for type 2.
    void delete_by_type(uint8_t type, std::vector<Bytes> *notified) {
        remove_where([&](const Key &k) {
            if (k.handle.empty() || k.handle[0] != type) return false;
            if (type == KS_KEY_TYPE_PAC && notified) notified->emplace_back(k.handle.begin() + 1, k.handle.end());
            return true;
        });
    }

    // Removes every key the predicate selects, in table order (the old-PAC
    // walk and the by-type delete); returns how many.
    int32_t remove_where(const std::function<bool(const Key &)> &pred) {
        int32_t removed = 0;
        for (size_t i = 0; i < keys_.size();) {
            if (pred(keys_[i])) {
                keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
                ++removed;
            } else {
                ++i;
            }
        }
        return removed;
    }

    void clear() { keys_.clear(); }

  private:
    std::vector<Key> keys_;
};

// The last T-PRF result cached for one PAC.
struct Derived {
    Bytes label, seed, output;
};

// One cached PAC: its A-ID, PAC-Opaque and PAC-Info TLVs, and the derived
// results hanging off it.
struct PacEntry {
    Bytes aid, opaque, info;
    std::optional<Derived> derived;
    std::optional<Bytes> mack, kek;
};

// The PAC cache: a FIFO of entries, at most one per A-ID, new ones at the tail.
class PacCache {
  public:
    const std::vector<PacEntry> &entries() const { return entries_; }

    PacEntry *find(const Bytes &aid) {
        for (PacEntry &e : entries_)
            if (e.aid == aid) return &e;
        return nullptr;
    }
    void remove(const Bytes &aid) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].aid == aid) {
                entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
        }
    }
    // Replaces the A-ID's entry by a fresh one (no derived results) at the tail.
    PacEntry &add(const Bytes &aid, const Bytes &opaque, const Bytes &info) {
        remove(aid);
        entries_.push_back(PacEntry{aid, opaque, info, std::nullopt, std::nullopt, std::nullopt});
        return entries_.back();
    }
    void purge() { entries_.clear(); }

  private:
    std::vector<PacEntry> entries_;
};

// The key table and the PAC cache together, with the PAC operations that
// change both.
struct Keystore {
    KeyTable table;
    PacCache cache;

    static Bytes pac_handle(const Bytes &aid) {
        Bytes h{KS_KEY_TYPE_PAC};
        h.insert(h.end(), aid.begin(), aid.end());
        return h;
    }

    // Stores the PAC-Key under type 2 with the two TLVs as metadata and
    // replaces the A-ID's cache entry.
    int32_t store_pac(const Bytes &aid, const Bytes &pac_key, const Bytes &opaque, const Bytes &info) {
        Bytes meta = opaque;
        meta.insert(meta.end(), info.begin(), info.end());
        int32_t st = table.insert(pac_handle(aid), pac_key, meta);
        if (st == KS_SUCCESS) cache.add(aid, opaque, info);
        return st;
    }

    // Drops the cache entry, then deletes the key.
    int32_t clear_pac(const Bytes &aid) {
        cache.remove(aid);
        return table.erase(pac_handle(aid));
    }

    // Removes the PACs the predicate (over the key's metadata) rejects; the
    // cache is not touched.
    int32_t delete_old_pacs(const std::function<bool(const Bytes &meta)> &keep) {
        return table.remove_where(
            [&](const Key &k) { return !k.handle.empty() && k.handle[0] == KS_KEY_TYPE_PAC && !keep(k.meta); });
    }
};

}  // namespace ksmodel
