// SPDX-License-Identifier: Apache-2.0
// The key table's steps and the coordination of its private parts: which
// slot array and count they are in step with, growing them before a store,
// bringing them along after each change, rebuilding them after a change made
// behind the table's back, and releasing them when the table empties.
#include "ks_sw_table.h"

#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_sw_index.h"
#include "ks_sw_key_state.h"
#include "ks_sw_order.h"

namespace ks {
namespace {

// What the parts are in step with.
struct View {
    ks_sym_key_entry **slots_seen;
    int32_t count_seen;
    bool valid;      // false: rebuild before the next use
    bool suspended;  // a walk is removing entries: lookups scan, hooks invalidate
    bool inserting;  // room was made for an insert that has not appended yet
};

// At load the table is empty, which the parts (none) are in step with.
View g_view{nullptr, 0, true, false, false};

bool in_step(int32_t expected_count) {
    return g_view.valid && !g_view.suspended && g_view.slots_seen == ks_sym_keys && g_view.count_seen == expected_count;
}

// Every change hook starts here. A change while suspended (a handler that
// changed the table during a walk, or a walk that never finished) ends the
// suspension; the parts then rebuild on their next use.
void end_suspension() {
    if (!g_view.suspended) return;
    g_view.suspended = false;
    g_view.valid = false;
}

void release_parts() {
    key_state_release();
    index_release();
    order_release();
}

// The table is empty: there is nothing to keep, and nothing to be out of
// step with.
void emptied() {
    release_parts();
    g_view = View{ks_sym_keys, 0, true, false, false};
}

// The table emptied by an insert that replaces its only key: the room made
// for the new key stays, holding nothing.
void emptied_for_insert() {
    key_state_release();
    index_clear();
    order_clear();
    g_view = View{ks_sym_keys, 0, true, false, true};
}

void table_became_empty() { g_view.inserting ? emptied_for_insert() : emptied(); }

// Rebuilds the index and the orders from the table, dropping every per-key
// state; false (parts left unusable) when the table cannot be indexed: more
// entries than the parts have room for, a null slot or equal handles.
bool rebuild() {
    if (ks_num_sym_keys == 0) {
        table_became_empty();
        return true;
    }
    key_state_release();
    index_clear();
    order_clear();
    g_view = View{ks_sym_keys, ks_num_sym_keys, false, false, g_view.inserting};
    if (ks_num_sym_keys < 0 || ks_num_sym_keys > index_capacity() || ks_num_sym_keys > order_capacity()) return false;
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *p = ks_sym_keys[i];
        if (p == nullptr || index_find(p->data, p->handle_len, kSwKeystorePath) >= 0) return false;
        index_add(i);
        order_add(i);
    }
    g_view.valid = true;
    return true;
}

// The parts, rebuilt first when a change was made behind the table's back;
// false when they are suspended or the table cannot be indexed.
bool usable() { return !g_view.suspended && (in_step(ks_num_sym_keys) || rebuild()); }

// After the entry removal at `slot`: count lowered, later slots moved down.
void removed(int32_t slot) {
    end_suspension();
    if (ks_num_sym_keys == 0) return table_became_empty();
    if (!in_step(ks_num_sym_keys + 1) || slot < 0 || slot > ks_num_sym_keys) {
        g_view.valid = false;
        return;
    }
    index_drop(slot);
    order_drop(slot);
    key_state_drop(slot);
    // The slots after the removed one moved down by one: so do their buckets,
    // their nodes and their per-key states.
    for (int32_t j = slot; j < ks_num_sym_keys; ++j) {
        index_move(j + 1, j);
        order_move(j + 1, j);
        key_state_move(j + 1, j);
    }
    g_view.count_seen = ks_num_sym_keys;
}

// After the entries of the marked slots (below old_count) were removed in one
// pass: count lowered, the other entries moved down in order.
void removed_marked(const SlotMarks &marks, int32_t old_count) {
    end_suspension();
    if (ks_num_sym_keys == 0) return table_became_empty();
    if (!in_step(old_count)) {
        g_view.valid = false;
        return;
    }
    const int32_t start = marks.first < old_count ? marks.first : old_count;
    // The removed keys go first, under the slot numbers the parts know...
    for (int32_t r = start; r < old_count; ++r) {
        if (!marks.test(r)) continue;
        index_drop(r);
        order_drop(r);
        key_state_drop(r);
    }
    // ...then the others move down to their new slots, in order, as the
    // entries did.
    int32_t w = start;
    for (int32_t r = start; r < old_count; ++r) {
        if (marks.test(r)) continue;
        if (w != r) {
            index_move(r, w);
            order_move(r, w);
            key_state_move(r, w);
        }
        ++w;
    }
    g_view.count_seen = w;
    if (w != ks_num_sym_keys) g_view.valid = false;
}

}  // namespace

ks_sym_key_entry *sym_key_slot(int32_t i, const char *assert_path) {
    ks_sym_key_entry *p = ks_sym_keys[i];
    if (p == nullptr) platform_assert(kNullSlotExpr, assert_path, __LINE__);
    return p;
}

int32_t sym_key_scan(const uint8_t *handle, uint32_t handle_len, const char *assert_path, int32_t *state_slot) {
    // Parts in step with the table are the common case: checked first, so
    // that only a rebuild or a suspended walk goes further.
    if (!in_step(ks_num_sym_keys) && !usable()) {
        if (state_slot != nullptr) *state_slot = -1;
        return sym_key_linear_scan(handle, handle_len, assert_path);
    }
    const int32_t slot = index_find(handle, handle_len, assert_path);
    if (state_slot != nullptr) *state_slot = slot;
    return slot;
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

void table_slots_moved(ks_sym_key_entry **old_slots) {
    end_suspension();
    if (g_view.slots_seen == old_slots) g_view.slots_seen = ks_sym_keys;
}

bool table_reserve() {
    end_suspension();
    if (ks_num_sym_keys == 0) emptied();
    const int32_t needed = ks_num_sym_keys + 1;
    if (index_reserve(needed) && order_reserve(needed) && key_state_reserve(needed)) {
        g_view.inserting = true;
        return true;
    }
    // A first store that fails leaves nothing made for it.
    if (ks_num_sym_keys == 0) emptied();
    return false;
}

void table_appended(int32_t slot) {
    end_suspension();
    g_view.inserting = false;
    if (!in_step(ks_num_sym_keys - 1) || slot != g_view.count_seen || slot >= index_capacity() ||
        slot >= order_capacity()) {
        g_view.valid = false;
        return;
    }
    index_add(slot);
    order_add(slot);
    g_view.count_seen = ks_num_sym_keys;
}

void table_replaced(int32_t slot) {
    end_suspension();
    if (!in_step(ks_num_sym_keys) || slot < 0 || slot >= ks_num_sym_keys) {
        g_view.valid = false;
        return;
    }
    key_state_drop(slot);
    index_drop(slot);
    index_add(slot);
    order_replace(slot);
}

void table_suspend() { g_view.suspended = true; }

void table_resume(const SlotMarks &marks, int32_t old_count) {
    // Not suspended any more: a handler changed the table during the walk,
    // and whatever the parts learned since, the walk's own removals passed
    // them by.
    if (!g_view.suspended) g_view.valid = false;
    g_view.suspended = false;
    removed_marked(marks, old_count);
}

void table_parts_forget() { g_view.valid = false; }

bool table_parts_in_step() {
    return in_step(ks_num_sym_keys) && index_capacity() >= ks_num_sym_keys && order_capacity() >= ks_num_sym_keys;
}

NextAnswer table_next_name(const char *after, char *out) {
    if (!usable() || !order_covers_table()) return NextAnswer::kWalk;
    return order_next_name(after, out) ? NextAnswer::kFound : NextAnswer::kNone;
}

NextAnswer table_next_aid(const uint8_t *key, uint8_t *out, uint8_t *out_len) {
    if (!usable() || !order_covers_table()) return NextAnswer::kWalk;
    return order_next_aid(key, out, out_len) ? NextAnswer::kFound : NextAnswer::kNone;
}

void sym_key_free_entry(ks_sym_key_entry *e) {
    if (e == nullptr) return;
    free_cleansed(e, e->total_len);
}

void sym_key_remove_unindexed(int32_t i) {
    sym_key_free_entry(ks_sym_keys[i]);
    const int32_t old_count = ks_num_sym_keys;
    ks_num_sym_keys = old_count - 1;
    for (int32_t j = i + 1; j < old_count; ++j) ks_sym_keys[j - 1] = ks_sym_keys[j];
    ks_sym_keys[ks_num_sym_keys] = nullptr;
}

void sym_key_remove(int32_t i) {
    sym_key_remove_unindexed(i);
    removed(i);
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
    removed_marked(marks, old_count);
}

void sym_key_replace_entry(const uint8_t *old_handle, uint32_t old_len, ks_sym_key_entry *old_entry,
                           ks_sym_key_entry *replacement) {
    const int32_t i = sym_key_scan(old_handle, old_len);
    if (!(i >= 0)) platform_assert("i >= 0", kSwKeystorePath, __LINE__);
    if (!(ks_sym_keys[i] == old_entry)) platform_assert("ks_sym_keys[i] == op", kSwKeystorePath, __LINE__);
    ks_sym_keys[i] = replacement;
    table_replaced(i);
    sym_key_free_entry(old_entry);
}

}  // namespace ks
