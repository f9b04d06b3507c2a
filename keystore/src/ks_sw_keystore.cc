// SPDX-License-Identifier: Apache-2.0
// The software keystore: the in-memory key table and the operations on it.
//
// The table is an array of pointers to entries, in the order of storing. Each
// entry is one allocation: six header words, then the handle, the value and
// the metadata. Entries are cleansed before they are released, whatever the
// reason of the release. Lookups go through the table's private handle index,
// and every change below tells the table's parts of it (ks_sw_table.h);
// without them lookups are a linear scan from slot 0, with the same results.
#include "keystore/ks_sw_keystore.h"

#include <cstddef>
#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_ct.h"
#include "ks_owner_tags.h"
#include "ks_sw_table.h"

namespace {

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

}  // namespace

extern "C" {
ks_sym_key_entry **ks_sym_keys = nullptr;
int32_t ks_num_sym_keys = 0;
int32_t ks_sym_tab_size = 0;
}

extern "C" {

int32_t ks_sym_key_find(const uint8_t *handle, uint32_t handle_len) { return ks::sym_key_scan(handle, handle_len); }

int32_t ks_sym_key_insert(const uint8_t *handle, uint32_t handle_len, const uint8_t *value, uint32_t value_len,
                          const uint8_t *meta, uint32_t meta_len) {
    // A full table refuses even a re-store that would free a slot.
    if (ks_num_sym_keys >= KS_MAX_KEYS) return KS_KEYSTORE_FULL;
    if (!(ks_num_sym_keys <= ks_sym_tab_size)) sw_assert("ks_num_sym_keys <= ks_sym_tab_size", __LINE__);

    if (ks_num_sym_keys == ks_sym_tab_size) {
        int32_t new_size = ks_num_sym_keys + KS_TABLE_GROWTH;
        void *grown = tagged_realloc(ks::kTagSlots, ks_sym_keys, static_cast<size_t>(new_size) * sizeof(*ks_sym_keys));
        if (grown == nullptr) return KS_NO_MEMORY;
        ks_sym_key_entry **old_slots = ks_sym_keys;
        ks_sym_keys = static_cast<ks_sym_key_entry **>(grown);
        ks_sym_tab_size = new_size;
        ks::table_slots_moved(old_slots);
    }

    // Allocate before removing an old entry of the same handle, so that a
    // failed allocation leaves the old key in place.
    uint32_t total_len;
    if (!entry_size(ks::kEntryHeaderLen, handle_len, value_len, meta_len, &total_len)) return KS_NO_MEMORY;
    ks_sym_key_entry *e = alloc_entry(ks::kTagKeyEntry, total_len);
    if (e == nullptr) return KS_NO_MEMORY;
    // The table's parts make room for the new key too.
    if (!ks::table_reserve()) {
        ks::free_cleansed(e, total_len);
        return KS_NO_MEMORY;
    }

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
    ks::table_appended(ks_num_sym_keys - 1);
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
        ks::table_replaced(i);
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
        ks::table_replaced(i);
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
