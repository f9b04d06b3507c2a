// SPDX-License-Identifier: Apache-2.0
// The software keystore: the in-memory key table and the operations on it.
//
// The table is an array of pointers to entries, in the order of storing. Each
// entry is one allocation: six header words, then the handle, the value and
// the metadata. Entries are cleansed before they are released, whatever the
// reason of the release. Lookups go through a private handle index
// (ks_sw_index.h), which every change below keeps in step; without it they
// are a linear scan from slot 0, with the same results.
#include "keystore/ks_sw_keystore.h"

#include <cstddef>
#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_ct.h"
#include "ks_owner_tags.h"
#include "ks_sw_index.h"
#include "ks_sw_table.h"

namespace {

constexpr int32_t kRandomPrintable = 1;
constexpr int32_t kRandomAlnum = 2;

[[noreturn]] void sw_assert(const char *expression, int line) {
    platform_assert(expression, ks::kSwKeystorePath, line);
}

// a + b + c + d as a 32-bit entry size; false when it does not fit.
bool entry_size(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t *out) {
    uint64_t sum = uint64_t{a} + b + c + d;
    if (sum > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(sum);
    return true;
}

ks_sym_key_entry *alloc_entry(uint32_t tag, uint32_t total_len) {
    return static_cast<ks_sym_key_entry *>(tagged_calloc(tag, 1, total_len));
}

bool prefix_matches(const ks_sym_key_entry *e, const uint8_t *prefix, uint32_t prefix_len) {
    return e->handle_len >= prefix_len && (prefix_len == 0 || std::memcmp(e->data, prefix, prefix_len) == 0);
}

// The C locale's printable and alphanumeric classes, on 7-bit values.
bool in_class(uint8_t c, int32_t kind) {
    if (kind == kRandomPrintable) return c >= 0x20 && c <= 0x7E;
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

extern "C" {
ks_sym_key_entry **ks_sym_keys = nullptr;
int32_t ks_num_sym_keys = 0;
int32_t ks_sym_tab_size = 0;
}

namespace ks {

ks_sym_key_entry *sym_key_slot(int32_t i, const char *assert_path) {
    ks_sym_key_entry *p = ks_sym_keys[i];
    if (p == nullptr) platform_assert(kNullSlotExpr, assert_path, __LINE__);
    return p;
}

int32_t sym_key_scan(const uint8_t *handle, uint32_t handle_len, const char *assert_path) {
    return index_find(handle, handle_len, assert_path);
}

int32_t sym_key_linear_scan(const uint8_t *handle, uint32_t handle_len, const char *assert_path) {
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *p = sym_key_slot(i, assert_path);
        if (p->handle_len == handle_len && (handle_len == 0 || std::memcmp(p->data, handle, handle_len) == 0)) {
            return i;
        }
    }
    return -1;
}

void sym_key_free_entry(ks_sym_key_entry *e) {
    if (e == nullptr) return;
    free_cleansed(e, e->total_len);
}

void sym_key_remove_unindexed(int32_t i) {
    sym_key_free_entry(ks_sym_keys[i]);
    int32_t old_count = ks_num_sym_keys;
    ks_num_sym_keys = old_count - 1;
    for (int32_t j = i + 1; j < old_count; ++j) ks_sym_keys[j - 1] = ks_sym_keys[j];
    ks_sym_keys[ks_num_sym_keys] = nullptr;
}

void sym_key_remove(int32_t i) {
    sym_key_remove_unindexed(i);
    index_removed(i);
}

void sym_key_remove_marked(const SlotMarks &marks) {
    const int32_t old_count = ks_num_sym_keys;
    const int32_t start = marks.first < old_count ? marks.first : old_count;
    int32_t w = start;
    for (int32_t r = start; r < old_count; ++r) {
        if (marks.test(r)) {
            sym_key_free_entry(ks_sym_keys[r]);
        } else {
            ks_sym_keys[w++] = ks_sym_keys[r];
        }
    }
    for (int32_t j = w; j < old_count; ++j) ks_sym_keys[j] = nullptr;
    ks_num_sym_keys = w;
    index_removed_marked(marks, old_count);
}

void sym_key_replace_entry(const uint8_t *old_handle, uint32_t old_len, ks_sym_key_entry *old_entry,
                           ks_sym_key_entry *replacement) {
    int32_t i = sym_key_scan(old_handle, old_len);
    if (!(i >= 0)) sw_assert("i >= 0", __LINE__);
    if (!(ks_sym_keys[i] == old_entry)) sw_assert("ks_sym_keys[i] == op", __LINE__);
    ks_sym_keys[i] = replacement;
    index_replaced(i);
    sym_key_free_entry(old_entry);
}

}  // namespace ks

extern "C" {

int32_t ks_sym_key_find(const uint8_t *handle, uint32_t handle_len) { return ks::sym_key_scan(handle, handle_len); }

int32_t ks_sym_key_insert(const uint8_t *handle, uint32_t handle_len, const uint8_t *value, uint32_t value_len,
                          const uint8_t *meta, uint32_t meta_len) {
    // A full table refuses even a re-store that would free a slot.
    if (ks_num_sym_keys >= KS_MAX_KEYS) return KS_KEYSTORE_FULL;
    if (!(ks_num_sym_keys <= ks_sym_tab_size)) sw_assert("ks_num_sym_keys <= ks_sym_tab_size", __LINE__);

    ks::index_prepare_insert();
    if (ks_num_sym_keys == ks_sym_tab_size) {
        int32_t new_size = ks_num_sym_keys + KS_TABLE_GROWTH;
        void *grown = tagged_realloc(ks::kTagSlots, ks_sym_keys, static_cast<size_t>(new_size) * sizeof(*ks_sym_keys));
        if (grown == nullptr) return KS_NO_MEMORY;
        ks_sym_key_entry **old_slots = ks_sym_keys;
        ks_sym_keys = static_cast<ks_sym_key_entry **>(grown);
        ks_sym_tab_size = new_size;
        ks::index_slots_moved(old_slots);
    }

    // Allocate before removing an old entry of the same handle, so that a
    // failed allocation leaves the old key in place.
    uint32_t total_len;
    if (!entry_size(ks::kEntryHeaderLen, handle_len, value_len, meta_len, &total_len)) return KS_NO_MEMORY;
    ks_sym_key_entry *e = alloc_entry(ks::kTagKeyEntry, total_len);
    if (e == nullptr) return KS_NO_MEMORY;

    int32_t old = ks::sym_key_scan(handle, handle_len);
    if (old >= 0) ks::sym_key_remove(old);

    e->total_len = total_len;
    e->handle_len = handle_len;
    if (handle_len != 0) std::memcpy(e->data, handle, handle_len);
    e->value_off = handle_len;
    e->value_len = value_len;
    if (value_len != 0) std::memcpy(ks::entry_value(e), value, value_len);
    KS_CT_SECRET(ks::entry_value(e), value_len);  // every stored value enters here
    e->meta_off = handle_len + value_len;
    e->meta_len = meta_len;
    // A null metadata pointer leaves meta_len zero bytes.
    if (meta != nullptr && meta_len != 0) std::memcpy(ks::entry_meta(e), meta, meta_len);

    ks_sym_keys[ks_num_sym_keys] = e;
    ++ks_num_sym_keys;
    ks::index_appended(ks_num_sym_keys - 1);
    return KS_SUCCESS;
}

int32_t ks_sym_key_prefix_purge(const uint8_t *prefix, uint32_t prefix_len) {
    return ks::sym_key_remove_where([&](const ks_sym_key_entry &e) { return prefix_matches(&e, prefix, prefix_len); });
}

int32_t ks_sw_store_sym_key(const uint8_t *handle, uint32_t handle_len, const uint8_t *prefix, uint32_t prefix_len,
                            const uint8_t *value, uint32_t value_len, const uint8_t *meta, uint32_t meta_len) {
    if (prefix != nullptr) (void)ks_sym_key_prefix_purge(prefix, prefix_len);
    return ks_sym_key_insert(handle, handle_len, value, value_len, meta, meta_len);
}

int32_t ks_sw_key_exists(const uint8_t *handle, uint32_t handle_len, int32_t *exists) {
    *exists = ks::sym_key_scan(handle, handle_len) >= 0 ? 1 : 0;
    return KS_SUCCESS;
}

int32_t ks_sw_delete_key(const uint8_t *handle, uint32_t handle_len) {
    int32_t i = ks::sym_key_scan(handle, handle_len);
    if (i < 0) return KS_RECORD_NOT_FOUND;
    ks::sym_key_remove(i);
    return KS_SUCCESS;
}

int32_t ks_sw_return_key_handle_by_index(int32_t index, uint8_t **handle_out, uint8_t *handle_len_out) {
    if (index >= ks_num_sym_keys) return KS_NO_MORE_RECORDS;
    const ks_sym_key_entry *e = ks_sym_keys[index];
    if (e == nullptr) sw_assert("TALMU_FALSE", __LINE__);
    if (e->handle_len == 0) {
        *handle_out = nullptr;
        return KS_NO_MEMORY;
    }
    auto *copy = static_cast<uint8_t *>(tagged_calloc(ks::kTagHandleCopy, 1, e->handle_len));
    *handle_out = copy;
    if (copy == nullptr) return KS_NO_MEMORY;
    std::memcpy(copy, e->data, e->handle_len);
    *handle_len_out = static_cast<uint8_t>(e->handle_len);
    return KS_SUCCESS;
}

int32_t ks_sw_generate_random_number(uint8_t *buffer, int32_t length, int32_t kind) {
    uint32_t n = length > 0 ? static_cast<uint32_t>(length) : 0;
    (void)platform_random_fill(buffer, n);
    if (kind != kRandomPrintable && kind != kRandomAlnum) return KS_SUCCESS;
    if (n == 0) return KS_NO_MEMORY;

    auto *scratch = static_cast<uint8_t *>(tagged_calloc(ks::kTagRandomScratch, 1, n));
    if (scratch == nullptr) return KS_NO_MEMORY;
    (void)platform_random_fill(scratch, n);
    uint32_t pos = 0;

    // Each output byte keeps its low 7 bits when they fall in the class;
    // otherwise it takes the next scratch byte (low 7 bits) that does. The
    // scratch position carries over from one output byte to the next.
    for (uint32_t k = 0; k < n; ++k) {
        uint8_t c = buffer[k] & 0x7F;
        while (!in_class(c, kind)) {
            c = scratch[pos] & 0x7F;
            if (++pos == n) {
                (void)platform_random_fill(scratch, n);
                pos = 0;
            }
        }
        buffer[k] = c;
    }
    ks::free_cleansed(scratch, n);
    return KS_SUCCESS;
}

int32_t ks_sw_add_sym_key_meta(const uint8_t *handle, uint32_t handle_len, const uint8_t *meta, uint32_t meta_len) {
    int32_t i = ks::sym_key_scan(handle, handle_len);
    if (i < 0) return KS_RECORD_NOT_FOUND;
    ks_sym_key_entry *e = ks_sym_keys[i];

    if (meta_len > e->meta_len) {
        // Grow into a new entry with the same header, handle and value; it
        // takes the old entry's slot, so the key keeps its index.
        uint32_t new_total;
        if (!entry_size(e->total_len - e->meta_len, meta_len, 0, 0, &new_total)) return KS_NO_MEMORY;
        ks_sym_key_entry *ne = alloc_entry(ks::kTagMetaGrow, new_total);
        if (ne == nullptr) return KS_NO_MEMORY;
        std::memcpy(ne, e, ks::kEntryHeaderLen + e->meta_off);
        ne->total_len = new_total;
        ne->meta_len = meta_len;
        if (meta != nullptr) std::memcpy(ks::entry_meta(ne), meta, meta_len);
        ks::sym_key_free_entry(e);
        ks_sym_keys[i] = ne;
        ks::index_replaced(i);
        return KS_SUCCESS;
    }

    // Shrink (or same size) in place: the allocation keeps its size. The old
    // metadata bytes past the new length are wiped so that every byte past
    // total_len stays zero.
    uint8_t *m = ks::entry_meta(e);
    if (meta_len != 0) {
        if (meta != nullptr)
            std::memmove(m, meta, meta_len);
        else
            ks::cleanse(m, meta_len);
    }
    ks::cleanse(m + meta_len, e->meta_len - meta_len);
    e->total_len = e->total_len + meta_len - e->meta_len;
    e->meta_len = meta_len;
    return KS_SUCCESS;
}

int32_t ks_sw_add_meta_data(const uint8_t *handle, uint32_t handle_len, const uint8_t *meta, uint32_t meta_len) {
    return ks_sw_add_sym_key_meta(handle, handle_len, meta, meta_len);
}

int32_t ks_sw_get_sym_key_meta(const uint8_t *handle, uint32_t handle_len, uint8_t **meta_out, uint16_t *meta_len_out) {
    int32_t i = ks::sym_key_scan(handle, handle_len);
    if (i < 0) return KS_RECORD_NOT_FOUND;
    const ks_sym_key_entry *e = ks_sym_keys[i];
    if (e->meta_len == 0) {
        *meta_out = nullptr;
        *meta_len_out = 0;
        return KS_SUCCESS;
    }
    auto *copy = static_cast<uint8_t *>(tagged_calloc(ks::kTagMetaCopy, 1, e->meta_len));
    *meta_out = copy;
    if (copy == nullptr) return KS_NO_MEMORY;
    std::memcpy(copy, ks::entry_meta(e), e->meta_len);
    *meta_len_out = static_cast<uint16_t>(e->meta_len);
    return KS_SUCCESS;
}

int32_t ks_sw_get_meta_data(const uint8_t *handle, uint32_t handle_len, uint8_t **meta_out, uint16_t *meta_len_out) {
    return ks_sw_get_sym_key_meta(handle, handle_len, meta_out, meta_len_out);
}

int32_t ks_sw_rename_key(const uint8_t *old_handle, uint32_t old_len, const uint8_t *new_handle, uint32_t new_len,
                         const uint8_t *prefix, uint32_t prefix_len) {
    // The purge may remove the very key being renamed; it stays done whatever
    // follows.
    if (prefix != nullptr) (void)ks_sym_key_prefix_purge(prefix, prefix_len);

    int32_t i = ks::sym_key_scan(old_handle, old_len);
    if (i < 0) return KS_RECORD_NOT_FOUND;
    ks_sym_key_entry *op = ks_sym_keys[i];

    ks_sym_key_entry *ne = nullptr;
    if (new_len > old_len) {
        uint32_t total_len;
        if (!entry_size(ks::kEntryHeaderLen, new_len, op->value_len, op->meta_len, &total_len)) return KS_NO_MEMORY;
        ne = alloc_entry(ks::kTagRenameGrow, total_len);
        if (ne == nullptr) return KS_NO_MEMORY;
        ne->total_len = total_len;
    }

    // An existing key of the new name is replaced silently.
    int32_t other = ks::sym_key_scan(new_handle, new_len);
    if (other >= 0 && ks_sym_keys[other] != op) {
        ks::sym_key_remove(other);
        if (other < i) --i;  // the renamed entry moved down with the removal
    }

    if (ne == nullptr) {
        // In place: value and metadata stay where they are, so value_off
        // may now exceed handle_len. The old handle's tail stays inside
        // total_len and is wiped with the entry when it goes.
        std::memcpy(op->data, new_handle, new_len);
        op->handle_len = new_len;
        ks::index_replaced(i);
        return KS_SUCCESS;
    }

    std::memcpy(ne->data, new_handle, new_len);
    ne->handle_len = new_len;
    ne->value_off = new_len;
    ne->value_len = op->value_len;
    if (op->value_len != 0) std::memcpy(ks::entry_value(ne), ks::entry_value(op), op->value_len);
    ne->meta_off = new_len + op->value_len;
    ne->meta_len = op->meta_len;
    if (op->meta_len != 0) std::memcpy(ks::entry_meta(ne), ks::entry_meta(op), op->meta_len);

    ks::sym_key_replace_entry(old_handle, old_len, op, ne);
    return KS_SUCCESS;
}

int32_t ks_sw_delete_all_keys_by_type(uint8_t type) {
    auto of_type = [type](const ks_sym_key_entry &e) { return e.handle_len != 0 && e.data[0] == type; };
    if (type != KS_KEY_TYPE_PAC) {
        ks::sym_key_remove_where(of_type);
        return KS_SUCCESS;
    }
    // The host hears of each PAC while its entry is still in the table, and
    // of the next one after the entry is gone.
    ks::sym_key_remove_each([&](const ks_sym_key_entry &e) {
        if (!of_type(e)) return false;
        notify_pac_deleted(e.data + 1, e.handle_len - 1);
        return true;
    });
    return KS_SUCCESS;
}

}  // extern "C"
