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
#include "ks_cleanse.h"
#include "ks_owner_tags.h"
#include "ks_sw_entry.h"

namespace ks {
namespace {

enum Set : uint8_t { kNone = 0, kNames = 1, kAids = 2, kEmptyHandle = 3 };
constexpr uint32_t kKeyLen = kAidKeyLen;

struct OrderNode {
    uint16_t left, right, parent;  // node numbers; 0 is none
    uint16_t slot;
    uint32_t priority;
    uint8_t set;  // which order holds the node, if any
};

// The block: this header, then capacity + 1 nodes ([0] unused), the node of
// each slot, and the node numbers released for reuse.
struct Header {
    uint16_t capacity;
    uint16_t root[2];  // names, A-IDs
    uint16_t free_count;
    uint16_t fresh;         // numbers handed out so far, reused ones aside
    uint32_t priorities;    // priorities handed out so far
    int32_t empty_handles;  // entries whose handle is empty: the table walk ends at them
};

size_t block_size(size_t capacity) {
    return sizeof(Header) + (capacity + 1) * sizeof(OrderNode) + 2 * capacity * sizeof(uint16_t);
}

// The arrays of a block.
struct Orders {
    Header *h;
    OrderNode *node;
    uint16_t *node_of;
    uint16_t *free_nodes;
};

Orders orders_of(Header *h) {
    auto *node = reinterpret_cast<OrderNode *>(h + 1);
    auto *node_of = reinterpret_cast<uint16_t *>(node + h->capacity + 1);
    return {h, node, node_of, node_of + h->capacity};
}

Header *g_orders = nullptr;

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
const ks_sym_key_entry *entry_of(const Orders &o, uint16_t n) {
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
bool before(const Orders &o, uint16_t a, uint16_t b) {
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

uint16_t &root_of(const Orders &o, uint16_t n) { return o.h->root[o.node[n].set - 1]; }

// Node n takes its parent's place; the parent becomes its child on the other
// side. The in-order sequence does not change.
void rotate_up(const Orders &o, uint16_t n) {
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

void link(const Orders &o, uint16_t n) {
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

// Takes node n out of its set: rotated down to a leaf, then cut from its
// parent. Its own links are left as they are; enter() sets them again.
void unlink(const Orders &o, uint16_t n) {
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
}

// Puts node n into the order its entry belongs to.
void enter(const Orders &o, uint16_t n) {
    OrderNode &x = o.node[n];
    x.left = x.right = x.parent = 0;
    x.set = set_of(entry_of(o, n));
    if (x.set == kEmptyHandle)
        ++o.h->empty_handles;
    else if (x.set != kNone)
        link(o, n);
}

void leave(const Orders &o, uint16_t n) {
    OrderNode &x = o.node[n];
    if (x.set == kEmptyHandle)
        --o.h->empty_handles;
    else if (x.set != kNone)
        unlink(o, n);
    x.set = kNone;
}

// The leftmost node of the set whose key passes `greater` (a test that holds
// for every node after the first that passes it), or 0.
template <typename Greater>
uint16_t first_greater(const Orders &o, uint16_t root, Greater greater) {
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

bool order_reserve(int32_t slots) {
    if (slots <= 0 || (g_orders != nullptr && g_orders->capacity >= slots)) return true;
    const auto capacity = static_cast<uint16_t>(part_capacity(slots));
    auto *h = static_cast<Header *>(tagged_calloc(kTagOrders, 1, block_size(capacity)));
    if (h == nullptr) return false;
    if (Header *old = g_orders) {
        // The same nodes, node numbers and links in the larger arrays.
        const Orders from = orders_of(old);
        *h = *old;
        h->capacity = capacity;
        const Orders to = orders_of(h);
        std::memcpy(to.node, from.node, (old->capacity + 1) * sizeof(OrderNode));
        std::memcpy(to.node_of, from.node_of, old->capacity * sizeof(uint16_t));
        std::memcpy(to.free_nodes, from.free_nodes, old->free_count * sizeof(uint16_t));
        free_cleansed(old, block_size(old->capacity));
    }
    h->capacity = capacity;
    g_orders = h;
    return true;
}

int32_t order_capacity() { return g_orders != nullptr ? g_orders->capacity : 0; }

void order_release() {
    if (g_orders == nullptr) return;
    free_cleansed(g_orders, block_size(g_orders->capacity));
    g_orders = nullptr;
}

void order_clear() {
    if (g_orders == nullptr) return;
    const uint16_t capacity = g_orders->capacity;
    std::memset(g_orders, 0, block_size(capacity));
    g_orders->capacity = capacity;
}

void order_add(int32_t slot) {
    const Orders o = orders_of(g_orders);
    const uint16_t n = o.h->free_count != 0 ? o.free_nodes[--o.h->free_count] : ++o.h->fresh;
    o.node_of[slot] = n;
    o.node[n].slot = static_cast<uint16_t>(slot);
    o.node[n].priority = mix(++o.h->priorities);
    enter(o, n);
}

void order_drop(int32_t slot) {
    const Orders o = orders_of(g_orders);
    const uint16_t n = o.node_of[slot];
    leave(o, n);
    o.free_nodes[o.h->free_count++] = n;
}

void order_move(int32_t from, int32_t to) {
    const Orders o = orders_of(g_orders);
    const uint16_t n = o.node_of[from];
    o.node_of[to] = n;
    o.node[n].slot = static_cast<uint16_t>(to);
}

void order_replace(int32_t slot) {
    const Orders o = orders_of(g_orders);
    const uint16_t n = o.node_of[slot];
    leave(o, n);
    enter(o, n);
}

bool order_covers_table() { return g_orders != nullptr && g_orders->empty_handles == 0; }

bool order_next_name(const char *after, char *out) {
    const Orders o = orders_of(g_orders);
    const uint16_t best = first_greater(o, o.h->root[kNames - 1], [after](const ks_sym_key_entry *e) {
        return compare_name_text(name_of(e), after) > 0;
    });
    if (best == 0) return false;
    const Name name = name_of(entry_of(o, best));
    if (name.len != 0) std::memcpy(out, name.bytes, name.len);
    out[name.len] = '\0';
    return true;
}

bool order_next_aid(const uint8_t *key, uint8_t *out, uint8_t *out_len) {
    const Orders o = orders_of(g_orders);
    const uint16_t best = first_greater(o, o.h->root[kAids - 1], [key](const ks_sym_key_entry *e) {
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
