// A value copy of the keystore's observable state: every key table entry
// (handle, value, metadata, in table order) and every PAC cache entry (A-ID,
// TLVs and the derived records it owns, in queue order). Tests take one
// before an operation and compare it with one taken after.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kstest {

using Bytes = std::vector<uint8_t>;

struct KeySnap {
    Bytes handle, value, meta;
    bool operator==(const KeySnap &) const = default;
};

struct CacheSnap {
    Bytes aid, opaque, info;
    // Derived records: empty when absent; otherwise output, then label and
    // seed as recorded (seed only for the T-PRF record).
    Bytes derived_out, derived_label, derived_seed;
    bool has_derived = false;
    Bytes mack_out, kek_out;
    bool has_mack = false, has_kek = false;
    bool operator==(const CacheSnap &) const = default;
};

struct Snapshot {
    std::vector<KeySnap> keys;
    std::vector<CacheSnap> cache;
    bool operator==(const Snapshot &) const = default;
    // One line per key and per cache entry, for failure messages.
    std::string describe() const;
    // Drops every key whose handle begins with the prefix, as a purge does.
    void purge(const Bytes &prefix);
    // Drops the cache entry of an A-ID, if any.
    void drop_cache(const Bytes &aid);
    int find(const Bytes &handle) const;
};

Snapshot snapshot();

// The lines of want.describe() that got lacks ("-") and the lines of
// got.describe() that want lacks ("+"); "same lines, other order" when only
// the order differs.
std::string diff(const Snapshot &got, const Snapshot &want);

// Lets test failures print a snapshot as text.
void PrintTo(const Snapshot &s, std::ostream *os);

// Blocks the library holds now, less those it keeps for the life of the
// process by design (the key table's slot array and handle index, the NT
// work buffer).
uint64_t library_live_blocks();

Bytes handle_of(uint8_t type, const std::string &name);

// Stores a type-1 secret straight into the software keystore (metadata only
// when non-empty).
int32_t sw_store(const std::string &name, const std::string &value, const std::string &meta = "");

}  // namespace kstest
