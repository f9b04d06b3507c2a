// SPDX-License-Identifier: Apache-2.0
// The sorted orders of names and A-IDs: two treaps over one array of nodes,
// linked by node number. Insertion descends by key and rotates the new node
// up while its priority beats its parent's; removal rotates the node down
// until it is a leaf and cuts it off, so it needs no key (the entry is gone
// by then). Priorities come from a counter through a mixing function: the
// tree's shape does not depend on the order of the keys.
#include "ks_sw_order.h"

#include <cstddef>
#include <cstring>

#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_sw_table.h"

namespace ks {
namespace {

enum Set : uint8_t { kNone = 0, kNames = 1, kAids = 2, kEmptyHandle = 3 };
constexpr uint32_t kKeyLen = KS_PAC_SNMP_KEY_LEN;

// The handle length as the walks receive it: one byte.
uint32_t walk_len(const ks_sym_key_entry *e) { return static_cast<uint8_t>(e->handle_len); }

uint8_t set_of(const ks_sym_key_entry *e) {
    if (e->handle_len == 0) return kEmptyHandle;
    if (walk_len(e) == 0) return kNone;
    if (e->data[0] == KS_KEY_TYPE_SECRET) return kNames;
    if (e->data[0] == KS_KEY_TYPE_PAC) return kAids;
    return kNone;
}

// The entry a node stands for. A slot emptied behind the index's back stops
// the process as the walk would.
const ks_sym_key_entry *entry_of(const SlotOrders &o, uint16_t n) {
    const ks_sym_key_entry *e = ks_sym_keys[o.node[n].slot];
    if (e == nullptr) platform_assert("TALMU_FALSE", kSwKeystorePath, __LINE__);
    return e;
}

// A name as the walk compares it: no NUL inside.
struct Name {
    const uint8_t *bytes;
    size_t len;
};

Name name_of(const ks_sym_key_entry *e) {
    size_t n = walk_len(e) - 1u;
    if (n > KS_NAME_MAX) n = KS_NAME_MAX;
    if (const void *nul = std::memchr(e->data + 1, 0, n))
        n = static_cast<size_t>(static_cast<const uint8_t *>(nul) - e->data - 1);
    return {e->data + 1, n};
}

// The sign of strcmp over the two names.
int compare_names(Name a, Name b) {
    const size_t n = a.len < b.len ? a.len : b.len;
    if (n != 0) {
        if (int c = std::memcmp(a.bytes, b.bytes, n)) return c;
    }
    return (a.len > b.len) - (a.len < b.len);
}

// The sign of strcmp(name, text), reading the text no further than its NUL.
int compare_name_text(Name a, const char *text) {
    for (size_t i = 0; i < a.len; ++i) {
        const auto t = static_cast<uint8_t>(text[i]);
        if (a.bytes[i] != t) return a.bytes[i] < t ? -1 : 1;  // also when the text ends here
    }
    return text[a.len] == '\0' ? 0 : -1;
}

uint32_t aid_len_of(const ks_sym_key_entry *e) {
    const uint32_t n = walk_len(e) - 1u;
    return n < kKeyLen ? n : kKeyLen;
}

// The A-ID's first bytes, right-aligned in kKeyLen bytes of zeros.
void aid_key(const ks_sym_key_entry *e, uint8_t *key) {
    const uint32_t n = aid_len_of(e);
    std::memset(key, 0, kKeyLen);
    if (n != 0) std::memcpy(key + kKeyLen - n, e->data + 1, n);
}

// The strict order of two nodes of one set: by key, then by slot.
bool before(const SlotOrders &o, uint16_t a, uint16_t b) {
    const ks_sym_key_entry *ea = entry_of(o, a);
    const ks_sym_key_entry *eb = entry_of(o, b);
    int c;
    if (o.node[a].set == kNames) {
        c = compare_names(name_of(ea), name_of(eb));
    } else {
        uint8_t ka[kKeyLen], kb[kKeyLen];
        aid_key(ea, ka);
        aid_key(eb, kb);
        c = std::memcmp(ka, kb, kKeyLen);
    }
    return c != 0 ? c < 0 : o.node[a].slot < o.node[b].slot;
}

uint32_t mix(uint32_t v) {
    v ^= v >> 16;
    v *= 0x7FEB352Du;
    v ^= v >> 15;
    v *= 0x846CA68Bu;
    v ^= v >> 16;
    return v;
}

uint16_t &root_of(SlotOrders &o, uint16_t n) { return o.root[o.node[n].set - 1]; }

// Node n takes its parent's place; the parent becomes its child on the other
// side. The in-order sequence does not change.
void rotate_up(SlotOrders &o, uint16_t n) {
    OrderNode &x = o.node[n];
    const uint16_t p = x.parent;
    OrderNode &px = o.node[p];
    const uint16_t g = px.parent;
    if (px.left == n) {
        px.left = x.right;
        if (x.right != 0) o.node[x.right].parent = p;
        x.right = p;
    } else {
        px.right = x.left;
        if (x.left != 0) o.node[x.left].parent = p;
        x.left = p;
    }
    px.parent = n;
    x.parent = g;
    if (g == 0)
        root_of(o, n) = n;
    else if (o.node[g].left == p)
        o.node[g].left = n;
    else
        o.node[g].right = n;
}

void link(SlotOrders &o, uint16_t n) {
    OrderNode &x = o.node[n];
    uint16_t parent = 0;
    uint16_t *at = &root_of(o, n);
    while (*at != 0) {
        parent = *at;
        at = before(o, n, parent) ? &o.node[parent].left : &o.node[parent].right;
    }
    *at = n;
    x.parent = parent;
    while (x.parent != 0 && o.node[x.parent].priority < x.priority) rotate_up(o, n);
}

void unlink(SlotOrders &o, uint16_t n) {
    OrderNode &x = o.node[n];
    while (x.left != 0 || x.right != 0) {
        uint16_t child = x.left == 0                                          ? x.right
                         : x.right == 0                                       ? x.left
                         : o.node[x.left].priority > o.node[x.right].priority ? x.left
                                                                              : x.right;
        rotate_up(o, child);
    }
    if (x.parent == 0)
        root_of(o, n) = 0;
    else if (o.node[x.parent].left == n)
        o.node[x.parent].left = 0;
    else
        o.node[x.parent].right = 0;
    x.parent = 0;
}

// Puts node n into the order its entry belongs to.
void enter(SlotOrders &o, uint16_t n) {
    OrderNode &x = o.node[n];
    x.left = x.right = x.parent = 0;
    x.set = set_of(entry_of(o, n));
    if (x.set == kEmptyHandle)
        ++o.empty_handles;
    else if (x.set != kNone)
        link(o, n);
}

void leave(SlotOrders &o, uint16_t n) {
    OrderNode &x = o.node[n];
    if (x.set == kEmptyHandle)
        --o.empty_handles;
    else if (x.set != kNone)
        unlink(o, n);
    x.set = kNone;
}

// The leftmost node of the set whose key passes `greater` (a test that holds
// for every node after the first that passes it), or 0.
template <typename Greater>
uint16_t first_greater(const SlotOrders &o, uint16_t root, Greater greater) {
    uint16_t best = 0;
    for (uint16_t n = root; n != 0;) {
        if (greater(entry_of(o, n))) {
            best = n;
            n = o.node[n].left;
        } else {
            n = o.node[n].right;
        }
    }
    return best;
}

}  // namespace

void order_clear(SlotOrders &o) { std::memset(&o, 0, sizeof o); }

void order_add(SlotOrders &o, int32_t slot) {
    const uint16_t n = o.free_count != 0 ? o.free_nodes[--o.free_count] : ++o.fresh;
    o.node_of[slot] = n;
    o.node[n].slot = static_cast<uint16_t>(slot);
    o.node[n].priority = mix(++o.priorities);
    enter(o, n);
}

void order_drop(SlotOrders &o, int32_t slot) {
    const uint16_t n = o.node_of[slot];
    leave(o, n);
    o.free_nodes[o.free_count++] = n;
}

void order_move(SlotOrders &o, int32_t from, int32_t to) {
    const uint16_t n = o.node_of[from];
    o.node_of[to] = n;
    o.node[n].slot = static_cast<uint16_t>(to);
}

void order_replace(SlotOrders &o, int32_t slot) {
    const uint16_t n = o.node_of[slot];
    leave(o, n);
    enter(o, n);
}

bool order_covers_table(const SlotOrders &o) { return o.empty_handles == 0; }

bool order_next_name(const SlotOrders &o, const char *after, char *out) {
    const uint16_t best = first_greater(
        o, o.root[kNames - 1], [after](const ks_sym_key_entry *e) { return compare_name_text(name_of(e), after) > 0; });
    if (best == 0) return false;
    const Name name = name_of(entry_of(o, best));
    if (name.len != 0) std::memcpy(out, name.bytes, name.len);
    out[name.len] = '\0';
    return true;
}

bool order_next_aid(const SlotOrders &o, const uint8_t *key, uint8_t *out, uint8_t *out_len) {
    const uint16_t best = first_greater(o, o.root[kAids - 1], [key](const ks_sym_key_entry *e) {
        uint8_t k[kKeyLen];
        aid_key(e, k);
        return std::memcmp(k, key, kKeyLen) > 0;
    });
    if (best == 0) return false;
    const ks_sym_key_entry *e = entry_of(o, best);
    const uint32_t n = aid_len_of(e);
    if (n != 0) std::memcpy(out, e->data + 1, n);
    *out_len = static_cast<uint8_t>(n);
    return true;
}

}  // namespace ks
