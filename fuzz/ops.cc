// Fuzz target: sequences of front-operation calls with arbitrary arguments,
// checked call by call against the reference model of the key table and the
// PAC cache. Each call's status (or answer) must be the one the argument
// rules and the model give, every copy handed out must equal the model's
// bytes, and after each call the whole table (handles, values, metadata, in
// order) and the whole cache (A-IDs and TLVs, in order) must equal the
// model's; no block may be held that the state does not account for.
//
// Input: a sequence of operations, each an opcode byte followed by the bytes
// its arguments take (names, lengths and data are read from the input; a
// selector byte picks a name from a small pool so that calls meet the same
// keys, or a hostile one: null, empty, over-long, raw bytes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "fuzz_common.h"
#include "keystore_host/host.h"
#include "ks_hw_seam.h"
#include "ks_pac_internal.h"
#include "model/ks_model.h"

namespace {

using fuzz::library_blocks;
using fuzz::Reader;

using Bytes = ksmodel::Bytes;

// Kept for the life of the process: the slot array and the handle index.
constexpr size_t kMaxOps = 48;

[[noreturn]] void fail(const char *what, int op, long got, long want) {
    std::fprintf(stderr, "ops: %s (operation %d: got %ld, want %ld)\n", what, op, got, want);
    std::abort();
}

// ---- Arguments -------------------------------------------------------------

// A text name: a pool name most of the time, so that calls meet the same
// keys; otherwise null, empty, 32 bytes, or raw input bytes.
struct Name {
    std::optional<std::string> text;  // nullopt: a null pointer
    const char *ptr() const { return text ? text->c_str() : nullptr; }
    bool valid() const { return text && !text->empty() && text->size() <= KS_NAME_MAX; }
    Bytes handle(uint8_t type = KS_KEY_TYPE_SECRET) const {
        Bytes h{type};
        h.insert(h.end(), text->begin(), text->end());
        return h;
    }
};

const char *const kNamePool[] = {"a", "b", "ab", "abc", "a1", "k", "k1", "kk", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "z"};

Name read_name(Reader &in) {
    const uint8_t sel = in.u8();
    if (sel < 200) return {std::string(kNamePool[sel % 10])};
    switch (sel % 4) {
        case 0: return {std::nullopt};
        case 1: return {std::string()};
        case 2: return {std::string(32, 'x')};
        default: {
            // Raw bytes up to the first NUL: any length from 0 to 47.
            Bytes raw = in.take(in.u8() % 48);
            std::string s(raw.begin(), raw.end());
            return {s.substr(0, s.find('\0'))};
        }
    }
}

// A length picked near the limits or from the input.
uint32_t read_len(Reader &in, std::initializer_list<uint32_t> marks) {
    const uint8_t sel = in.u8();
    if (sel < 128) return sel % 40;
    const size_t i = sel % (marks.size() + 1);
    if (i < marks.size()) return *(marks.begin() + i);
    return in.u16();
}

// A byte buffer of at least n bytes whose first bytes come from the input
// (the rest a repeating pattern), so large lengths stay cheap.
Bytes read_data(Reader &in, uint32_t n) {
    Bytes d = in.take(std::min<uint32_t>(n, 16));
    d.resize(n, 0x5C);
    return d;
}

// A non-null address for a buffer, also when it is empty: a call given an
// empty non-null buffer must see a non-null pointer.
const uint8_t *ptr_of(const Bytes &b) {
    static const uint8_t none[1] = {};
    return b.empty() ? none : b.data();
}

// A-IDs: a pool (1, 2, 16, 17 and 31 bytes) or hostile ones.
struct Aid {
    bool null = false;
    Bytes bytes;
    uint32_t len() const { return static_cast<uint32_t>(bytes.size()); }
    const uint8_t *ptr() const { return null ? nullptr : bytes.data(); }
    bool valid() const { return !null && !bytes.empty() && bytes.size() <= KS_AID_MAX; }
};

Aid read_aid(Reader &in) {
    const uint8_t sel = in.u8();
    static const Bytes pool[] = {{'A'}, {'B'}, {'A', 'B'}, Bytes(16, 'q'), Bytes(17, 'q'), Bytes(31, 'Z'), {0x00}, {0xFF, 0x01}};
    if (sel < 200) return {false, pool[sel % 8]};
    switch (sel % 4) {
        case 0: return {true, Bytes(5, 'A')};
        case 1: return {false, Bytes{}};
        case 2: return {false, Bytes(32, 'Z')};
        default: return {false, in.take(in.u8() % 40)};
    }
}

Bytes tlv(uint16_t type, const Bytes &value) {
    Bytes t{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(value.size() >> 8),
            static_cast<uint8_t>(value.size())};
    t.insert(t.end(), value.begin(), value.end());
    return t;
}

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// ---- The harness -------------------------------------------------------------

struct Harness {
    ksmodel::Keystore model;
    bool standby = false;
    int op = 0;

    void expect(long got, long want, const char *what) {
        if (got != want) fail(what, op, got, want);
    }

    // The front's standby refusal and argument checks: the status they give,
    // or nullopt when the call reaches the backend.
    std::optional<int32_t> refused(bool standby_refused, bool args_ok) const {
        if (standby_refused && standby) return KS_STDBY_NOT_SUPPORTED;
        if (!args_ok) return KS_INVAL_ARGS;
        return std::nullopt;
    }

    // The library's state against the model's, whole.
    void compare_state() {
        const auto &keys = model.table.keys();
        expect(ks_num_sym_keys, static_cast<long>(keys.size()), "key count");
        expect(ks_num_sym_keys <= ks_sym_tab_size, 1, "count within capacity");
        for (size_t i = 0; i < keys.size(); ++i) {
            const ks_sym_key_entry *e = ks_sym_keys[i];
            if (e == nullptr) fail("null slot", op, static_cast<long>(i), -1);
            const Bytes h(e->data, e->data + e->handle_len);
            const Bytes v(e->data + e->value_off, e->data + e->value_off + e->value_len);
            const Bytes m(e->data + e->meta_off, e->data + e->meta_off + e->meta_len);
            expect(h == keys[i].handle, 1, "handle differs");
            expect(v == keys[i].value, 1, "value differs");
            expect(m == keys[i].meta, 1, "metadata differs");
            expect(e->total_len, 24 + e->meta_off + e->meta_len, "entry size");
        }
        size_t n = 0;
        uint64_t derived = 0;
        const auto &entries = model.cache.entries();
        for (auto *e = static_cast<const pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link, ++n) {
            if (n >= entries.size()) fail("cache longer than the model's", op, static_cast<long>(n), 0);
            expect(Bytes(e->aid, e->aid + e->aid_len) == entries[n].aid, 1, "cache A-ID differs");
            expect(Bytes(e->opaque, e->opaque + e->opaque_len) == entries[n].opaque, 1, "cache PAC-Opaque differs");
            expect(Bytes(e->info, e->info + e->info_len) == entries[n].info, 1, "cache PAC-Info differs");
            derived += (e->derived != nullptr) + (e->mack != nullptr) + (e->kek != nullptr);
            const auto &want = entries[n].derived;
            expect(e->derived != nullptr, want.has_value(), "derived record");
            if (e->derived != nullptr && want) {
                const pac_derived_secret *d = e->derived;
                expect(Bytes(d->label, d->label + d->label_len) == want->label, 1, "derived label");
                expect(Bytes(d->seed, d->seed + d->seed_len) == want->seed, 1, "derived seed");
                expect(Bytes(d->output, d->output + d->output_len) == want->output, 1, "derived output");
            }
        }
        expect(static_cast<long>(n), static_cast<long>(entries.size()), "cache entries");
        // One block per key, per cache entry and per derived record.
        expect(static_cast<long>(library_blocks()), static_cast<long>(keys.size() + n + derived), "blocks held");
    }

    // ---- Secrets ----

    void store_secret(Reader &in) {
        const Name name = read_name(in), purge = read_name(in);
        const uint32_t value_len = read_len(in, {0, 1, 256, 257, 65536});
        const Bytes value = read_data(in, value_len);
        const uint8_t flags = in.u8();
        const uint32_t meta_len = read_len(in, {0, 1, 65534, 65535, 65536});
        const Bytes meta = read_data(in, meta_len);
        const bool null_value = flags & 1, null_meta = flags & 2;
        const bool purge_ok = !purge.text || purge.text->size() <= KS_NAME_MAX;
        const int32_t got = ks_store_secret_and_metadata(name.ptr(), purge.ptr(), null_value ? nullptr : ptr_of(value),
                                                         value_len, null_meta ? nullptr : ptr_of(meta), meta_len);
        int32_t want;
        if (auto r = refused(true, name.valid() && !null_value && value_len >= 1 && value_len <= KS_SECRET_MAX &&
                                       purge_ok)) {
            want = *r;
        } else {
            std::optional<Bytes> prefix;
            if (purge.text && !purge.text->empty()) prefix = purge.handle();
            // A null metadata pointer with a length stores that many zeros.
            want = model.table.store(name.handle(), prefix, value, null_meta ? Bytes(meta_len, 0) : meta);
        }
        expect(got, want, "ks_store_secret_and_metadata");
    }

    void add_metadata(Reader &in) {
        const Name name = read_name(in);
        const uint16_t len = static_cast<uint16_t>(read_len(in, {0, 1, 65534, 65535}));
        const bool null_meta = in.u8() & 1;
        const Bytes meta = read_data(in, len);
        const int32_t got = ks_add_metadata(name.ptr(), null_meta ? nullptr : ptr_of(meta), len);
        const bool args = name.text && (null_meta == (len == 0)) && len != 65535 && name.valid();
        int32_t want;
        if (auto r = refused(true, args)) want = *r;
        else want = model.table.set_meta(name.handle(), null_meta ? Bytes{} : meta);
        expect(got, want, "ks_add_metadata");
    }

    void return_metadata(Reader &in) {
        const Name name = read_name(in);
        uint8_t *out = reinterpret_cast<uint8_t *>(&out);
        uint16_t len = 0x7777;
        const int32_t got = ks_return_metadata(name.ptr(), &out, &len);
        int32_t want;
        if (auto r = refused(true, name.valid())) {
            want = *r;
        } else {
            const ksmodel::Key *k = model.table.get(name.handle());
            want = k ? KS_SUCCESS : KS_RECORD_NOT_FOUND;
            if (k && got == KS_SUCCESS) {
                expect(len, static_cast<uint16_t>(k->meta.size()), "metadata length");
                if (k->meta.empty()) expect(out == nullptr, 1, "no metadata, no copy");
                else expect(std::memcmp(out, k->meta.data(), k->meta.size()) == 0, 1, "metadata copy");
                tagged_free(out);
            } else if (got != KS_INVAL_ARGS && got != KS_STDBY_NOT_SUPPORTED) {
                expect(out == nullptr && len == 0, 1, "failed read writes null and 0");
            }
        }
        expect(got, want, "ks_return_metadata");
    }

    void clear_secret(Reader &in) {
        const Name name = read_name(in);
        const int32_t got = ks_clear_secret(name.ptr());
        const auto r = refused(true, name.valid());
        expect(got, r ? *r : model.table.erase(name.handle()), "ks_clear_secret");
    }

    void rename_secret(Reader &in) {
        const Name from = read_name(in), to = read_name(in), purge = read_name(in);
        const int32_t got = ks_rename_secret(from.ptr(), to.ptr(), purge.ptr());
        int32_t want;
        if (auto r = refused(true, from.valid() && to.valid())) {
            want = *r;
        } else if (*from.text == *to.text) {
            want = KS_SUCCESS;  // nothing done, not even the purge
        } else {
            std::optional<Bytes> prefix;
            if (purge.text && !purge.text->empty()) prefix = purge.handle();
            want = model.table.rename(from.handle(), to.handle(), prefix);
        }
        expect(got, want, "ks_rename_secret");
    }

    void secret_exists(Reader &in) {
        const Name name = read_name(in);
        int32_t flag = -1, consistent = -1;
        const int32_t got = ks_secret_exists(name.ptr(), &flag);
        const bool present = name.valid() && model.table.find(name.handle()) >= 0;
        expect(got, name.valid() ? KS_SUCCESS : KS_INVAL_ARGS, "ks_secret_exists");
        if (got == KS_SUCCESS) expect(flag, present, "exists flag");
        expect(ks_snmp_password_exists(name.ptr()), present, "ks_snmp_password_exists");
        const int32_t ha = ks_check_ha_consistency(name.ptr(), &consistent);
        expect(ha, !name.text ? KS_INVAL_ARGS : present ? KS_SUCCESS : KS_RECORD_NOT_FOUND, "ks_check_ha_consistency");
        if (ha == KS_SUCCESS) expect(consistent, 1, "consistent flag");
    }

    // The enumeration by index, from a fuzzed start, against the model's
    // next type-1 key at or after it.
    void secret_by_index(Reader &in) {
        uint16_t index = in.u8() % 40;
        const uint16_t start = index;
        char *name = nullptr;
        const int32_t got = ks_return_secret_handle_by_index(&index, &name);
        const auto &keys = model.table.keys();
        size_t j = start;
        while (j < keys.size() && keys[j].handle[0] != KS_KEY_TYPE_SECRET) ++j;
        if (j >= keys.size()) {
            expect(got, KS_NO_MORE_RECORDS, "by index past the last secret");
            expect(index, start, "index kept");
            return;
        }
        expect(got, KS_SUCCESS, "ks_return_secret_handle_by_index");
        expect(index, static_cast<long>(j + 1), "next index");
        const std::string want(keys[j].handle.begin() + 1, keys[j].handle.end());
        expect(std::string(name) == want, 1, "enumerated name");
        tagged_free(name);
    }

    void snmp_next_password(Reader &in) {
        char buf[64] = {};
        const Name start = read_name(in);
        if (start.text) std::snprintf(buf, sizeof buf, "%s", start.text->substr(0, 31).c_str());
        const uint32_t size = in.u8() & 1 ? 31 : sizeof buf;
        std::string before = buf, best;
        bool found = false;
        for (const auto &k : model.table.keys()) {
            if (k.handle[0] != KS_KEY_TYPE_SECRET) continue;
            std::string n(k.handle.begin() + 1, k.handle.end());
            n = n.substr(0, std::min<size_t>(n.find('\0'), KS_NAME_MAX));
            if (std::strcmp(n.c_str(), before.c_str()) > 0 && (!found || std::strcmp(n.c_str(), best.c_str()) < 0)) {
                best = n;
                found = true;
            }
        }
        const int32_t got = ks_snmp_get_next_password(buf, size);
        if (size < 32) {
            expect(got, 0, "small buffer");
            return;
        }
        expect(got, found, "ks_snmp_get_next_password");
        expect(std::string(buf) == (found ? best : before), 1, "get-next name");
    }

    // ---- Keyed reads: no change, status from the key's presence and length ----

    void keyed_read(Reader &in) {
        const Name name = read_name(in);
        const uint8_t which = in.u8() % 3;
        const uint16_t len = static_cast<uint16_t>(read_len(in, {0, 16, 65534, 65535}));
        const Bytes data = read_data(in, len);
        static uint8_t out[65536];
        const ksmodel::Key *k = name.valid() ? model.table.get(name.handle()) : nullptr;
        int32_t got, want;
        switch (which) {
            case 0:
                got = ks_hmac_sha1(name.ptr(), ptr_of(data), len, out);
                want = refused(true, name.valid() && len >= 1 && len <= KS_DATA_MAX).value_or(
                    k ? KS_SUCCESS : KS_RECORD_NOT_FOUND);
                break;
            case 1:
                got = ks_md5_hash(name.ptr(), ptr_of(data), len, nullptr, 0, out);
                want = refused(true, name.valid() && len >= 1 && len <= KS_DATA_MAX)
                           .value_or(k ? KS_SUCCESS : KS_RECORD_NOT_FOUND);
                break;
            default: {
                got = ks_aes_encrypt(name.ptr(), ptr_of(data), out, len);
                const bool key_ok = k && (k->value.size() == 16 || k->value.size() == 24 || k->value.size() == 32);
                want = refused(true, name.valid() && len % 16 == 0)
                           .value_or(!k ? KS_RECORD_NOT_FOUND : key_ok ? KS_SUCCESS : KS_BAD_KEY);
            }
        }
        expect(got, want, "keyed read");
    }

    // ---- PACs ----

    void store_pac(Reader &in) {
        const Aid aid = read_aid(in);
        const uint32_t key_len = read_len(in, {0, 1, 16, 32, 65536});
        const Bytes key = read_data(in, key_len);
        Bytes opaque = tlv(KS_PAC_TLV_OPAQUE, in.take(in.u8() % 24));
        Bytes info = tlv(KS_PAC_TLV_INFO, in.take(in.u8() % 24));
        // Corruptions the store must refuse: a wrong type, a length that
        // disagrees with the TLV's, a null pointer.
        const uint8_t bad = in.u8();
        uint32_t opaque_len = static_cast<uint32_t>(opaque.size()), info_len = static_cast<uint32_t>(info.size());
        if (bad == 1) opaque[1] = 3;
        if (bad == 2) --opaque_len;
        if (bad == 3) info_len += 1, info.push_back(0);
        if (bad == 4) info[1] = 2;
        if (bad == 5) opaque_len = 0;
        const bool null_key = bad == 6, null_info = bad == 7;
        const int32_t got = ks_store_pac(aid.ptr(), aid.len(), null_key ? nullptr : ptr_of(key), key_len,
                                         opaque.data(), opaque_len, null_info ? nullptr : info.data(), info_len);
        const bool tlvs_ok = opaque_len >= 4 && be16(opaque.data()) == KS_PAC_TLV_OPAQUE &&
                             be16(opaque.data() + 2) + 4u == opaque_len && info_len >= 4 &&
                             be16(info.data()) == KS_PAC_TLV_INFO && be16(info.data() + 2) + 4u == info_len;
        const bool args = aid.valid() && key_len != 0 && !null_key && !null_info && tlvs_ok;
        int32_t want;
        if (auto r = refused(true, args)) {
            want = *r;
        } else {
            want = model.store_pac(aid.bytes, key, Bytes(opaque.begin(), opaque.begin() + opaque_len),
                                   Bytes(info.begin(), info.begin() + info_len));
        }
        expect(got, want, "ks_store_pac");
    }

    void clear_pac(Reader &in) {
        const Aid aid = read_aid(in);
        const int32_t got = ks_clear_pac(aid.ptr(), aid.len());
        expect(got, aid.valid() ? model.clear_pac(aid.bytes) : KS_INVAL_ARGS, "ks_clear_pac");
    }

    void pac_exists(Reader &in) {
        const Aid aid = read_aid(in);
        int32_t flag = -1;
        const bool present = aid.valid() && model.table.find(ksmodel::Keystore::pac_handle(aid.bytes)) >= 0;
        const int32_t got = ks_pac_exists(aid.ptr(), aid.len(), &flag);
        expect(got, refused(true, aid.valid()).value_or(KS_SUCCESS), "ks_pac_exists");
        if (got == KS_SUCCESS) expect(flag, present, "PAC flag");
        expect(ks_snmp_pac_exists(aid.ptr(), aid.len()), present && !standby, "ks_snmp_pac_exists");
    }

    // The two TLV copies: a cache hit, or a load from the stored metadata.
    void return_tlv(Reader &in) {
        const Aid aid = read_aid(in);
        const bool info = in.u8() & 1;
        uint8_t *out = nullptr;
        uint32_t len = 0;
        const int32_t got = info ? ks_return_pac_info(aid.ptr(), aid.len(), &out, &len)
                                 : ks_return_pac_opaque(aid.ptr(), aid.len(), &out, &len);
        if (auto r = refused(true, aid.valid())) {
            expect(got, *r, "TLV copy refused");
            return;
        }
        ksmodel::PacEntry *e = model.cache.find(aid.bytes);
        if (e == nullptr) e = load(aid.bytes);
        if (e == nullptr) {
            expect(got, KS_UNKNOWN_FAILURE, "TLV copy of a PAC that cannot be loaded");
            return;
        }
        expect(got, KS_SUCCESS, "TLV copy");
        const Bytes &want = info ? e->info : e->opaque;
        expect(len, static_cast<long>(want.size()), "TLV copy length");
        expect(std::memcmp(out, want.data(), want.size()) == 0, 1, "TLV copy bytes");
        tagged_free(out);
    }

    // The cache's load on a miss: the stored metadata, read with a 16-bit
    // length, split into its two TLVs (either order, each once, nothing else).
    ksmodel::PacEntry *load(const Bytes &aid) {
        const ksmodel::Key *k = model.table.get(ksmodel::Keystore::pac_handle(aid));
        if (k == nullptr || k->meta.empty()) return nullptr;
        const size_t n = k->meta.size() & 0xFFFF;
        std::optional<Bytes> opaque, info;
        for (size_t at = 0; at < n;) {
            if (n - at < 4) return nullptr;
            const uint16_t type = be16(&k->meta[at]);
            const size_t whole = be16(&k->meta[at + 2]) + 4u;
            if (type != KS_PAC_TLV_OPAQUE && type != KS_PAC_TLV_INFO) return nullptr;
            auto &slot = type == KS_PAC_TLV_OPAQUE ? opaque : info;
            if (slot || n - at < whole) return nullptr;
            slot = Bytes(k->meta.begin() + at, k->meta.begin() + at + whole);
            at += whole;
        }
        if (!opaque || !info) return nullptr;
        return &model.cache.add(aid, *opaque, *info);
    }

    // T-PRF from a PAC: answered from the entry's record when label, seed
    // and output length match it, computed otherwise and then recorded on
    // the A-ID's entry (loaded when the cache has none).
    void pac_tprf(Reader &in) {
        const Aid aid = read_aid(in);
        const Bytes label = in.take(in.u8() % 12), seed = in.take(in.u8() % 12);
        const uint32_t out_len = in.u8() % 66;
        uint8_t out[80];
        std::memset(out, 0xA5, sizeof out);
        const int32_t got = ks_pac_key_t_prf(aid.ptr(), aid.len(), ptr_of(label), static_cast<uint32_t>(label.size()),
                                             ptr_of(seed), static_cast<uint32_t>(seed.size()), out, out_len);
        if (auto r = refused(true, aid.valid() && out_len != 0)) {
            expect(got, *r, "ks_pac_key_t_prf refused");
            return;
        }
        const Bytes result(out, out + out_len);
        ksmodel::PacEntry *e = model.cache.find(aid.bytes);
        if (e && e->derived && e->derived->label == label && e->derived->seed == seed &&
            e->derived->output.size() == out_len) {
            expect(got, KS_SUCCESS, "T-PRF from the cache");
            expect(result == e->derived->output, 1, "cached T-PRF output");
            return;
        }
        const ksmodel::Key *key = model.table.get(ksmodel::Keystore::pac_handle(aid.bytes));
        if (key == nullptr) {
            expect(got, KS_RECORD_NOT_FOUND, "T-PRF of a missing PAC");
            return;
        }
        // The HMAC key's length travels as 16 bits: a PAC-Key of 65536
        // bytes reads as empty and is refused.
        if ((key->value.size() & 0xFFFF) == 0) {
            expect(got, KS_CRYPTO_ERR, "T-PRF with a key that reads as empty");
            return;
        }
        expect(got, KS_SUCCESS, "ks_pac_key_t_prf");
        if (e == nullptr) e = load(aid.bytes);
        if (e != nullptr) e->derived = ksmodel::Derived{label, seed, result};
    }

    void aid_by_index(Reader &in) {
        uint16_t index = in.u8() % 40;
        const uint16_t start = index;
        uint8_t *aid = nullptr;
        uint32_t len = 0;
        const int32_t got = ks_return_aid_by_index(&index, &aid, &len);
        if (standby) {
            expect(got, KS_STDBY_NOT_SUPPORTED, "A-ID by index on a standby");
            return;
        }
        const auto &keys = model.table.keys();
        size_t j = start;
        while (j < keys.size() && keys[j].handle[0] != KS_KEY_TYPE_PAC) ++j;
        if (j >= keys.size()) {
            expect(got, KS_NO_MORE_RECORDS, "A-ID by index past the last PAC");
            return;
        }
        expect(got, KS_SUCCESS, "ks_return_aid_by_index");
        expect(index, static_cast<long>(j + 1), "next index");
        expect(len, static_cast<long>(keys[j].handle.size() - 1), "A-ID length");
        expect(std::memcmp(aid, keys[j].handle.data() + 1, len) == 0, 1, "A-ID bytes");
        tagged_free(aid);
    }

    void snmp_next_pac(Reader &in) {
        const Aid cur = read_aid(in);
        const uint8_t buffer_size = in.u8() & 1 ? 15 : 16;
        uint8_t size = buffer_size;  // in: the buffer's size; out: the A-ID's length
        uint8_t out[16];
        const int32_t got = ks_snmp_get_next_pac(cur.ptr(), cur.len(), out, &size);
        if (cur.null || cur.len() > 16 || buffer_size < 16) {
            expect(got, 0, "get-next PAC refused");
            return;
        }
        auto key_of = [](const uint8_t *p, size_t n) {
            Bytes key(16, 0);
            std::copy(p, p + n, key.end() - static_cast<std::ptrdiff_t>(n));
            return key;
        };
        const Bytes current = key_of(cur.bytes.data(), cur.len());
        std::optional<Bytes> best;
        size_t best_n = 0;
        for (const auto &k : model.table.keys()) {
            if (k.handle[0] != KS_KEY_TYPE_PAC) continue;
            const size_t n = std::min<size_t>(k.handle.size() - 1, 16);
            const Bytes key = key_of(k.handle.data() + 1, n);
            if (key > current && (!best || key < *best)) best = key, best_n = n;
        }
        expect(got, best.has_value(), "ks_snmp_get_next_pac");
        if (best) {
            expect(size, static_cast<long>(best_n), "next A-ID length");
            expect(std::equal(out, out + best_n, best->end() - static_cast<std::ptrdiff_t>(best_n)), 1, "next A-ID");
        }
    }

    void run(Reader &in) {
        switch (in.u8() % 18) {
            case 0: case 1: case 2: store_secret(in); break;
            case 3: add_metadata(in); break;
            case 4: return_metadata(in); break;
            case 5: clear_secret(in); break;
            case 6: rename_secret(in); break;
            case 7: secret_exists(in); break;
            case 8: secret_by_index(in); break;
            case 9: snmp_next_password(in); break;
            case 10: keyed_read(in); break;
            case 11: case 12: store_pac(in); break;
            case 13: clear_pac(in); break;
            case 14: pac_exists(in); break;
            case 15: return_tlv(in); break;
            case 16:
                switch (in.u8() % 3) {
                    case 0: aid_by_index(in); break;
                    case 1: snmp_next_pac(in); break;
                    default: pac_tprf(in); break;
                }
                break;
            default:
                // Mode and cache changes between calls.
                switch (in.u8() % 3) {
                    case 0: standby = !standby, ks_is_standby = standby; break;
                    case 1: ks_pac_cache_purge(), model.cache.purge(); break;
                    default: break;
                }
        }
    }
};

void reset() {
    ks_pac_cache_purge();
    static const uint8_t any = 0;
    ks_sym_key_prefix_purge(&any, 0);
    ks_use_sw_ks = 1;
    ks_is_standby = 0;
    ks_rf_disabled = 0;
    ks::hw_present_answer = 1;
    ksh_alloc_clear_faults();
    ksh_reset_recorders();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::quiet_platform(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    reset();
    if (library_blocks() != 0) fail("blocks held before the run", -1, static_cast<long>(library_blocks()), 0);
    Harness h;
    Reader in{data, size};
    for (size_t i = 0; i < kMaxOps && in.left > 0; ++i) {
        h.op = static_cast<int>(i);
        h.run(in);
        h.compare_state();
        // Faults and records of one call do not carry into the next.
        ksh_reset_recorders();
    }
    reset();
    if (library_blocks() != 0) fail("blocks held after the reset", -1, static_cast<long>(library_blocks()), 0);
    return 0;
}
