// SPDX-License-Identifier: Apache-2.0
// Structured show-message builder: reply containers holding one message each
// (three flags and an ordered element list), element ownership, per-operation
// fault injection, a call log kept while recording is on, and rendering as a
// table or as JSON.
#include "keystore_host/showmsg.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "keystore/platform/ks_platform.h"
#include "recorder.h"

namespace {

struct Field {
    bool set = false;
    int32_t value = 0;
};

struct Vstring {
    bool set = false;
    std::vector<uint8_t> bytes;
};

struct Elem {
    ksh_showmsg_reply *owner = nullptr;  // reply holding it, unattached or in its message
    bool appended = false;
    uint32_t id = 0;
    Field index;
    Field type;
    Field valid;
    Vstring value;
};

struct Message {
    Field flags[3];
    std::vector<Elem *> list;
};

}  // namespace

struct ksh_showmsg_reply {
    Message msg;
    std::vector<Elem *> unattached;
    uint32_t next_id = 1;
    uint32_t taken = 0;
};

namespace {

struct Fault {
    uint32_t countdown = 0;  // 0: none; 1: the next call fails
    int32_t word = 0;
};

struct State {
    std::set<ksh_showmsg_reply *> replies;
    std::set<Elem *> elems;
    std::map<const void *, Elem *> value_fields;  // &elem->value -> elem
    Fault faults[KSH_SHOWMSG_OP_COUNT];
    uint32_t calls[KSH_SHOWMSG_OP_COUNT] = {};
    ksh_showmsg_hook hook = nullptr;
    void *hook_ctx = nullptr;
};

// Created on first use and kept for the process: the builder may be called
// before static constructors have run.
constinit State *g_state = nullptr;
constinit ksh::Ring<ksh_showmsg_call> g_log;

State &state() {
    if (g_state == nullptr) g_state = new State();
    return *g_state;
}

constexpr const char *kOpNames[KSH_SHOWMSG_OP_COUNT] = {
    "showmsg_get_message",   "showmsg_set_use_sw_ks",  "showmsg_set_is_hw_ks",   "showmsg_set_is_empty",
    "showmsg_elem_create",   "showmsg_elem_set_index", "showmsg_elem_get_value", "showmsg_elem_set_valid",
    "showmsg_elem_set_type", "showmsg_list_append",    "showmsg_elem_destroy",   "vstring_assign"};

// One builder call in progress: counts it, runs the hook, decides whether it
// is failed on purpose, and logs it when it ends.
class Call {
  public:
    Call(ksh_showmsg_op op, uintptr_t ctx0, uintptr_t ctx1, int32_t *err) : err_(err) {
        State &s = state();
        rec_.op = op;
        rec_.call_no = ++s.calls[op];
        rec_.ctx0 = ctx0;
        rec_.ctx1 = ctx1;
        rec_.has_err = err != nullptr;
        if (s.hook) s.hook(s.hook_ctx, op, rec_.call_no);
        Fault &f = s.faults[op];
        if (f.countdown > 0 && --f.countdown == 0) {
            rec_.injected = 1;
            set_err(f.word);
        } else {
            set_err(0);
        }
    }
    ~Call() {
        if (ksh_showmsg_call *kept = g_log.add()) *kept = rec_;
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    bool injected() const { return rec_.injected != 0; }
    // Fails the call with one of the builder's own error words.
    void fail(int32_t word) { set_err(word); }
    void arg(int32_t v) {
        rec_.has_arg = 1;
        rec_.arg = v;
    }
    void elem(const Elem *e) { rec_.elem_id = e ? e->id : 0; }

  private:
    void set_err(int32_t word) {
        rec_.err = word;
        if (err_) *err_ = word;
    }
    int32_t *err_;
    ksh_showmsg_call rec_{};
};

ksh_showmsg_reply *live_reply(uintptr_t p) {
    auto *r = reinterpret_cast<ksh_showmsg_reply *>(p);
    return state().replies.count(r) ? r : nullptr;
}

ksh_showmsg_reply *reply_of_message(void *message) {
    for (ksh_showmsg_reply *r : state().replies)
        if (&r->msg == message) return r;
    return nullptr;
}

Elem *live_elem(void *p) {
    auto *e = static_cast<Elem *>(p);
    return state().elems.count(e) ? e : nullptr;
}

void erase_from(std::vector<Elem *> &v, Elem *e) { v.erase(std::remove(v.begin(), v.end(), e), v.end()); }

void release_elem(Elem *e) {
    State &s = state();
    s.value_fields.erase(&e->value);
    s.elems.erase(e);
    delete e;
}

void set_flag(ksh_showmsg_op op, uintptr_t ctx0, uintptr_t ctx1, void *message, int32_t flag, int32_t *err,
              ksh_showmsg_flag which) {
    Call c(op, ctx0, ctx1, err);
    c.arg(flag);
    if (c.injected()) return;
    ksh_showmsg_reply *r = reply_of_message(message);
    if (r == nullptr) return c.fail(KSH_SHOWMSG_EBADOBJ);
    r->msg.flags[which] = Field{true, flag};
}

// Sets one element field (index, validity, type).
void set_elem_field(ksh_showmsg_op op, uintptr_t ctx0, uintptr_t ctx1, void *element, int32_t value, int32_t *err,
                    Field Elem::*field) {
    Call c(op, ctx0, ctx1, err);
    c.arg(value);
    Elem *e = live_elem(element);
    c.elem(e);
    if (c.injected()) return;
    if (e == nullptr) return c.fail(KSH_SHOWMSG_EBADOBJ);
    e->*field = Field{true, value};
}

void view_of(const Elem *e, ksh_showmsg_elem_view *out) {
    *out = ksh_showmsg_elem_view{};
    out->id = e->id;
    out->index_set = e->index.set;
    out->index = static_cast<uint16_t>(e->index.value);
    out->type_set = e->type.set;
    out->type = e->type.value;
    out->valid_set = e->valid.set;
    out->valid = e->valid.value;
    out->value_set = e->value.set;
    out->value = e->value.bytes.data();
    out->value_len = static_cast<uint32_t>(e->value.bytes.size());
}

// ---- Rendering --------------------------------------------------------------

std::string field_text(const Field &f) { return f.set ? std::to_string(f.value) : "-"; }

std::string value_text(const Vstring &v) {
    if (!v.set) return "-";
    std::string s;
    char b[5];
    for (uint8_t c : v.bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s += static_cast<char>(c);
        } else {
            std::snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s;
}

std::string json_field(const Field &f) { return f.set ? std::to_string(f.value) : "null"; }

std::string json_value(const Vstring &v) {
    if (!v.set) return "null";
    std::string s = "\"";
    char b[7];
    for (uint8_t c : v.bytes) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c == '\n') {
            s += "\\n";
        } else if (c >= 0x20 && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            std::snprintf(b, sizeof b, "\\u%04X", c);
            s += b;
        }
    }
    return s + "\"";
}

int emit(const std::string &text, char *buf, size_t len) {
    if (len > 0) {
        size_t n = std::min(text.size(), len - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(text.size());
}

constexpr const char *kFlagNames[3] = {"ks_use_sw_ks", "ks_is_hw_ks", "ks_is_empty"};

}  // namespace

extern "C" {

// ---- Builder operations ------------------------------------------------------

void *showmsg_get_message(uintptr_t ctx0, uintptr_t ctx1, void *reply, int32_t *err) {
    Call c(KSH_SHOWMSG_GET_MESSAGE, ctx0, ctx1, err);
    if (c.injected()) return nullptr;
    ksh_showmsg_reply *r = live_reply(reinterpret_cast<uintptr_t>(reply));
    if (r == nullptr) {
        c.fail(KSH_SHOWMSG_EBADOBJ);
        return nullptr;
    }
    ++r->taken;
    return &r->msg;
}

void showmsg_set_use_sw_ks(uintptr_t ctx0, uintptr_t ctx1, void *message, int32_t flag, int32_t *err) {
    set_flag(KSH_SHOWMSG_SET_USE_SW_KS, ctx0, ctx1, message, flag, err, KSH_SHOWMSG_FLAG_USE_SW_KS);
}

void showmsg_set_is_hw_ks(uintptr_t ctx0, uintptr_t ctx1, void *message, int32_t flag, int32_t *err) {
    set_flag(KSH_SHOWMSG_SET_IS_HW_KS, ctx0, ctx1, message, flag, err, KSH_SHOWMSG_FLAG_IS_HW_KS);
}

void showmsg_set_is_empty(uintptr_t ctx0, uintptr_t ctx1, void *message, int32_t flag, int32_t *err) {
    set_flag(KSH_SHOWMSG_SET_IS_EMPTY, ctx0, ctx1, message, flag, err, KSH_SHOWMSG_FLAG_IS_EMPTY);
}

void *showmsg_elem_create(uintptr_t ctx0, uintptr_t ctx1) {
    Call c(KSH_SHOWMSG_ELEM_CREATE, ctx0, ctx1, nullptr);
    if (c.injected()) return nullptr;
    ksh_showmsg_reply *r = live_reply(ctx0);
    if (r == nullptr) return nullptr;
    Elem *e = new Elem();
    e->owner = r;
    e->id = r->next_id++;
    State &s = state();
    s.elems.insert(e);
    s.value_fields[&e->value] = e;
    r->unattached.push_back(e);
    c.elem(e);
    return e;
}

void showmsg_elem_set_index(uintptr_t ctx0, uintptr_t ctx1, void *element, uint16_t index, int32_t *err) {
    set_elem_field(KSH_SHOWMSG_ELEM_SET_INDEX, ctx0, ctx1, element, index, err, &Elem::index);
}

void *showmsg_elem_get_value(uintptr_t ctx0, uintptr_t ctx1, void *element, int32_t *err) {
    Call c(KSH_SHOWMSG_ELEM_GET_VALUE, ctx0, ctx1, err);
    Elem *e = live_elem(element);
    c.elem(e);
    if (c.injected()) return nullptr;
    if (e == nullptr) {
        c.fail(KSH_SHOWMSG_EBADOBJ);
        return nullptr;
    }
    return &e->value;
}

void showmsg_elem_set_valid(uintptr_t ctx0, uintptr_t ctx1, void *element, int32_t value, int32_t *err) {
    set_elem_field(KSH_SHOWMSG_ELEM_SET_VALID, ctx0, ctx1, element, value, err, &Elem::valid);
}

void showmsg_elem_set_type(uintptr_t ctx0, uintptr_t ctx1, void *element, int32_t value, int32_t *err) {
    set_elem_field(KSH_SHOWMSG_ELEM_SET_TYPE, ctx0, ctx1, element, value, err, &Elem::type);
}

void showmsg_list_append(uintptr_t ctx0, uintptr_t ctx1, void *message, void *element, int32_t *err) {
    Call c(KSH_SHOWMSG_LIST_APPEND, ctx0, ctx1, err);
    Elem *e = live_elem(element);
    c.elem(e);
    if (c.injected()) return;
    ksh_showmsg_reply *r = reply_of_message(message);
    if (r == nullptr || e == nullptr) return c.fail(KSH_SHOWMSG_EBADOBJ);
    if (e->appended) return c.fail(KSH_SHOWMSG_EAPPENDED);
    erase_from(e->owner->unattached, e);
    e->owner = r;
    e->appended = true;
    r->msg.list.push_back(e);
}

void showmsg_elem_destroy(uintptr_t ctx0, uintptr_t ctx1, void *element) {
    Call c(KSH_SHOWMSG_ELEM_DESTROY, ctx0, ctx1, nullptr);
    Elem *e = live_elem(element);
    c.elem(e);
    if (e == nullptr) return;
    erase_from(e->appended ? e->owner->msg.list : e->owner->unattached, e);
    release_elem(e);
}

void vstring_assign(uintptr_t ctx0, uintptr_t ctx1, void *field, const void *bytes, uint32_t length, int32_t *err) {
    Call c(KSH_SHOWMSG_VSTRING_ASSIGN, ctx0, ctx1, err);
    c.arg(static_cast<int32_t>(length));
    auto it = state().value_fields.find(field);
    Elem *e = it == state().value_fields.end() ? nullptr : it->second;
    c.elem(e);
    if (c.injected()) return;
    if (e == nullptr || (bytes == nullptr && length > 0)) return c.fail(KSH_SHOWMSG_EBADOBJ);
    const auto *b = static_cast<const uint8_t *>(bytes);
    e->value.set = true;
    e->value.bytes.assign(b, b + length);
}

// ---- Controls ----------------------------------------------------------------

const char *ksh_showmsg_op_name(ksh_showmsg_op op) { return op >= 0 && op < KSH_SHOWMSG_OP_COUNT ? kOpNames[op] : "?"; }

ksh_showmsg_reply *ksh_showmsg_reply_new(void) {
    auto *r = new ksh_showmsg_reply();
    state().replies.insert(r);
    return r;
}

void ksh_showmsg_reply_free(ksh_showmsg_reply *reply) {
    if (reply == nullptr || !state().replies.count(reply)) return;
    for (Elem *e : reply->msg.list) release_elem(e);
    for (Elem *e : reply->unattached) release_elem(e);
    state().replies.erase(reply);
    delete reply;
}

const void *ksh_showmsg_message(const ksh_showmsg_reply *reply) { return &reply->msg; }

uint32_t ksh_showmsg_taken(const ksh_showmsg_reply *reply) { return reply->taken; }

int ksh_showmsg_flag_get(const ksh_showmsg_reply *reply, ksh_showmsg_flag flag, int32_t *value) {
    if (flag < 0 || flag > KSH_SHOWMSG_FLAG_IS_EMPTY) return 0;
    const Field &f = reply->msg.flags[flag];
    if (f.set && value) *value = f.value;
    return f.set ? 1 : 0;
}

size_t ksh_showmsg_elem_count(const ksh_showmsg_reply *reply) { return reply->msg.list.size(); }

int ksh_showmsg_elem_at(const ksh_showmsg_reply *reply, size_t i, ksh_showmsg_elem_view *out) {
    if (i >= reply->msg.list.size()) return 0;
    view_of(reply->msg.list[i], out);
    return 1;
}

size_t ksh_showmsg_unattached_count(const ksh_showmsg_reply *reply) { return reply->unattached.size(); }

int ksh_showmsg_unattached_at(const ksh_showmsg_reply *reply, size_t i, ksh_showmsg_elem_view *out) {
    if (i >= reply->unattached.size()) return 0;
    view_of(reply->unattached[i], out);
    return 1;
}

uint64_t ksh_showmsg_live_elements(void) { return g_state ? g_state->elems.size() : 0; }

int ksh_showmsg_render_table(const ksh_showmsg_reply *reply, char *buf, size_t len) {
    std::string out;
    for (int f = 0; f < 3; ++f) {
        std::string name = kFlagNames[f];
        out += name + std::string(14 - name.size(), ' ') + field_text(reply->msg.flags[f]) + "\n";
    }
    std::vector<std::vector<std::string>> rows = {{"index", "ks_type", "ks_is_valid", "ks_val"}};
    for (const Elem *e : reply->msg.list)
        rows.push_back({field_text(e->index), field_text(e->type), field_text(e->valid), value_text(e->value)});
    size_t width[4] = {};
    for (const auto &row : rows)
        for (size_t k = 0; k < 4; ++k) width[k] = std::max(width[k], row[k].size());
    auto line = [&](const std::vector<std::string> &row) {
        std::string l;
        for (size_t k = 0; k < 4; ++k) {
            l += row[k];
            if (k < 3) l += std::string(width[k] - row[k].size() + 2, ' ');
        }
        out += l + "\n";
    };
    line(rows[0]);
    line({std::string(width[0], '-'), std::string(width[1], '-'), std::string(width[2], '-'),
          std::string(std::max<size_t>(width[3], 6), '-')});
    for (size_t i = 1; i < rows.size(); ++i) line(rows[i]);
    return emit(out, buf, len);
}

int ksh_showmsg_render_json(const ksh_showmsg_reply *reply, char *buf, size_t len) {
    std::string out = "{";
    for (int f = 0; f < 3; ++f)
        out += "\"" + std::string(kFlagNames[f]) + "\":" + json_field(reply->msg.flags[f]) + ",";
    out += "\"keystore_elem_list\":[";
    for (size_t i = 0; i < reply->msg.list.size(); ++i) {
        const Elem *e = reply->msg.list[i];
        if (i > 0) out += ",";
        out += "{\"index\":" + json_field(e->index) + ",\"ks_type\":" + json_field(e->type) +
               ",\"ks_is_valid\":" + json_field(e->valid) + ",\"ks_val\":" + json_value(e->value) + "}";
    }
    out += "]}";
    return emit(out, buf, len);
}

void ksh_showmsg_fail(ksh_showmsg_op op, uint32_t nth, int32_t err_word) {
    if (op < 0 || op >= KSH_SHOWMSG_OP_COUNT || op == KSH_SHOWMSG_ELEM_DESTROY) return;
    state().faults[op] = Fault{nth, err_word};
}

void ksh_showmsg_set_hook(ksh_showmsg_hook hook, void *ctx) {
    state().hook = hook;
    state().hook_ctx = ctx;
}

size_t ksh_showmsg_call_count(void) { return g_log.size(); }

const ksh_showmsg_call *ksh_showmsg_call_at(size_t i) { return g_log.at(i); }

uint64_t ksh_showmsg_calls_dropped(void) { return g_log.dropped(); }

void ksh_showmsg_reset(void) {
    State &s = state();
    g_log.clear();
    for (auto &f : s.faults) f = Fault{};
    for (auto &n : s.calls) n = 0;
    s.hook = nullptr;
    s.hook_ctx = nullptr;
}

}  // extern "C"
