// SPDX-License-Identifier: Apache-2.0
// The reference model of the key table and the PAC cache, and the driver
// that runs operations against the library and the model side by side.
//
// The model is plain C++ over standard containers: it says what the table
// and the cache must hold after each operation, assuming every allocation
// succeeds. Keys are byte strings (the handle: type byte, then the name), in
// storing order: index i of the model is the slot index the library must
// report for the same key. Status values are the library's (ks_types.h).
//
// The driver runs sequences of keystore operations with arbitrary arguments;
// the unit test drives it from a seeded generator, the fuzz targets from the
// fuzzer's input. Every operation's status must be the one the argument
// rules and the model give, and every result handed out (metadata and TLV
// copies, derived keys, show elements) the model's. After every step the
// whole key table and PAC cache must equal the model's; no block may be held
// that the state does not account for; the PAC notifications and existence
// tests must be the model's. The deep checks (the by-index and get-next
// walks, every lookup, the PAC cache index bucket by bucket, HMACs and AES
// blocks with a sample of keys against the model's values, every per-key
// crypto state belonging to the entry in its slot) run after every step in
// the unit test and, in the fuzz targets, after every Nth step (N read from
// the input) and at the end of each input.
#pragma once

#include <openssl/aes.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <semaphore>
#include <string>
#include <unordered_set>
#include <utility>

#include "keystore/keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_ct.h"
#include "ks_owner_tags.h"
#include "ks_pac_cache_index.h"
#include "ks_pac_internal.h"
#include "ks_seams.h"
#include "ks_sw_key_state.h"
#include "ks_sw_key_value.h"
#include "ks_sw_table.h"

namespace ksmodel {

using Bytes = std::vector<uint8_t>;

// The room is reserved first: without it GCC 16 at -O2 warns that the copy
// of an empty vector's bytes may overflow (-Wstringop-overflow).
inline Bytes cat(Bytes a, const Bytes &b) {
    a.reserve(a.size() + b.size());
    return a.insert(a.end(), b.begin(), b.end()), a;
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
        const auto it = std::ranges::find(keys, handle, &Key::handle);
        return it == keys.end() ? -1 : static_cast<int32_t>(it - keys.begin());
    }
    const Key *get(const Bytes &handle) const { return find(handle) < 0 ? nullptr : &keys[find(handle)]; }
    int32_t remove_if(const std::function<bool(const Key &)> &pred) {
        return static_cast<int32_t>(std::erase_if(keys, pred));
    }
    int32_t purge(const Bytes &p) {
        return remove_if([&](const Key &k) {
            return k.handle.size() >= p.size() && std::equal(p.begin(), p.end(), k.handle.begin());
        });
    }
    int32_t erase(const Bytes &h) {
        return remove_if([&](const Key &k) { return k.handle == h; }) ? KS_SUCCESS : KS_RECORD_NOT_FOUND;
    }
    // A re-stored key moves to the end; a full table refuses even a
    // re-store. The purge (when a prefix is given) stays done whatever follows.
    int32_t store(const Bytes &handle, const Bytes &value, const Bytes &meta, const std::optional<Bytes> &prefix = {}) {
        if (prefix) purge(*prefix);
        if (keys.size() >= KS_MAX_KEYS) return KS_KEYSTORE_FULL;
        erase(handle);
        keys.push_back(Key{handle, value, meta});
        return KS_SUCCESS;
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
        return find(handle) < 0 ? KS_RECORD_NOT_FOUND : (keys[find(handle)].meta = meta, KS_SUCCESS);
    }

    PacEntry *entry(const Bytes &aid) {
        const auto it = std::ranges::find(cache, aid, &PacEntry::aid);
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
        const int32_t st = store(pac_handle(aid), pac_key, cat(opaque, info));
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

// Blocks the library holds beyond those it keeps for the life of the
// process (the slot array, the NT work buffer) and the per-key crypto state
// (which keys hold one depends on their use: the driver checks it against
// the keys), and the blocks a state accounts for: one per key, cache entry
// and derived result, the handle index and the sorted orders while there are
// keys, the cache's index while there are cached PACs.
inline uint64_t library_blocks() {
    uint64_t n = ksh_alloc_live_blocks();
    for (uint32_t tag : ks::kKeptTags) n -= ksh_alloc_tag_live_blocks(tag);
    return n - ksh_alloc_tag_live_blocks(ks::kTagKeyState) - ksh_alloc_tag_live_blocks(ks::kTagKeyStateSlots);
}
inline uint64_t accounted(const Keystore &s) {
    uint64_t n = s.keys.size() + 2 * !s.keys.empty() + s.cache.size() + !s.cache.empty();
    for (const PacEntry &c : s.cache) n += c.derived.has_value() + c.mack.has_value() + c.kek.has_value();
    return n;
}

// libcrypto's live allocations, once count_libcrypto() has put a counter in
// front of the allocator functions installed (it cannot once libcrypto has
// allocated with its own); blocks from before are not counted. Threads may
// allocate at once; a thread that sets hold_next is held at its next
// allocation until release(), and wait_until_held() returns once it is (one
// such thread in a process, to stop it inside a first use).
namespace ossl_count {
inline CRYPTO_malloc_fn next_malloc;
inline CRYPTO_realloc_fn next_realloc;
inline CRYPTO_free_fn next_free;
inline std::mutex lock;
// Never destroyed, so that LeakSanitizer, which looks after the static
// destructors, still finds every counted block: a test measures what
// libcrypto keeps (3.0 keeps some blocks after a failed allocation) rather
// than have it reported.
inline std::unordered_set<void *> &live = *new std::unordered_set<void *>;
inline thread_local bool hold_next = false;
inline std::binary_semaphore held{0}, released{0};
inline void hold() {
    if (std::exchange(hold_next, false)) held.release(), released.acquire();
}
inline void wait_until_held() { held.acquire(); }
inline void release() { released.release(); }
// Drops `gone` from the live blocks and adds `made` (each may be null).
inline void track(void *gone, void *made) {
    std::lock_guard guard(lock);
    if (gone != nullptr) live.erase(gone);
    if (made != nullptr) live.insert(made);
}
inline void *count_malloc(size_t n, const char *f, int l) {
    hold();
    void *p = next_malloc(n, f, l);
    return track(nullptr, p), p;
}
inline void *count_realloc(void *p, size_t n, const char *f, int l) {
    hold();
    void *q = next_realloc(p, n, f, l);
    return track(q != nullptr || n == 0 ? p : nullptr, q), q;
}
inline void count_free(void *p, const char *f, int l) { track(p, nullptr), next_free(p, f, l); }
}  // namespace ossl_count
// Puts the counter in; with `prepare`, first makes every algorithm and
// working context the library fetches or makes on first use and keeps, so
// that no first use adds to the count later.
inline bool count_libcrypto(bool prepare = true) {
    using namespace ossl_count;
    if (next_malloc != nullptr) return true;
    CRYPTO_get_mem_functions(&next_malloc, &next_realloc, &next_free);
    if (prepare) ks::crypto::prepare();
    if (next_malloc != CRYPTO_malloc && CRYPTO_set_mem_functions(count_malloc, count_realloc, count_free)) return true;
    return next_malloc = nullptr, false;
}
// (The error queue's texts go first: they come and go with errors.)
inline size_t libcrypto_live() {
    ERR_clear_error();
    std::lock_guard guard(ossl_count::lock);
    return ossl_count::live.size();
}

// The PAC cache's entries, head first.
inline std::vector<pac_cache_entry *> queued() {
    std::vector<pac_cache_entry *> q;
    for (auto *e = static_cast<pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link) q.push_back(e);
    return q;
}

// The library's key table and PAC cache in the model's form.
inline Keystore observe() {
    Keystore s;
    // The copies are compared on purpose: public for the constant-time
    // check, while the library's own bytes stay secret.
    auto bytes = [](const uint8_t *p, size_t n) {
        Bytes b = n == 0 ? Bytes{} : Bytes(p, p + n);
        KS_CT_DECLASSIFY(b.data(), b.size());
        return b;
    };
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *e = ks_sym_keys[i];
        s.keys.push_back({bytes(e->data, e->handle_len), bytes(ks::entry_value(e), e->value_len),
                          bytes(ks::entry_meta(e), e->meta_len)});
    }
    for (const pac_cache_entry *e : queued()) {
        PacEntry &c = s.cache.emplace_back(PacEntry{
            bytes(e->aid, e->aid_len), bytes(e->opaque, e->opaque_len), bytes(e->info, e->info_len), {}, {}, {}});
        if (const pac_derived_secret *d = e->derived)
            c.derived = {bytes(d->label, d->label_len), bytes(d->seed, d->seed_len), bytes(d->output, d->output_len)};
        if (e->mack != nullptr) c.mack = bytes(e->mack->output, e->mack->output_len);
        if (e->kek != nullptr) c.kek = bytes(e->kek->output, e->kek->output_len);
    }
    return s;
}

// Where the driver's choices come from: a seeded generator, or the fuzzer's
// input read front to back (zeros past its end).
class Source {
  public:
    explicit Source(uint32_t seed) : rng_(seed), random_(true) {}
    Source(const uint8_t *data, size_t size) : p_(data), left_(size) {}
    bool more() const { return random_ || left_ != 0; }
    uint32_t pick(uint32_t n) {
        return random_ ? std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_)
                       : (n > 256 ? byte() << 8 | byte() : byte()) % n;
    }
    template <class T>
    T of(std::initializer_list<T> pool) {
        return pool.begin()[pick(uint32_t(pool.size()))];
    }
    // n bytes: the first `chosen` picked, then a filler (large lengths stay cheap).
    Bytes data(size_t n, size_t chosen = 16) {
        Bytes b(n, 0x5C);
        for (size_t i = 0; i < std::min(n, chosen); ++i) b[i] = static_cast<uint8_t>(pick(256));
        return b;
    }
    Bytes bytes(size_t n) { return data(n, n); }
    // A choice of n (at most 256) from the input's last byte, which the
    // reading from the front then ends before; 0 for an empty input.
    uint32_t pick_last(uint32_t n) { return random_ ? pick(n) : left_ == 0 ? 0 : (--left_, uint32_t{p_[left_]} % n); }

  private:
    uint32_t byte() { return left_ == 0 ? 0 : (--left_, *p_++); }
    std::mt19937 rng_;
    bool random_ = false;
    const uint8_t *p_ = nullptr;
    size_t left_ = 0;  // the input not read yet
};

inline int32_t g_now = 0;  // the PAC clock while a driver runs
inline time_t driver_clock(time_t *t) { return t != nullptr ? *t = g_now : g_now; }

inline Bytes tlv(uint16_t type, const Bytes &v) {
    return cat({uint8_t(type >> 8), uint8_t(type), uint8_t(v.size() >> 8), uint8_t(v.size())}, v);
}
// A non-null address for a buffer, also an empty one.
inline const uint8_t *ptr_of(const Bytes &b) { return b.empty() ? reinterpret_cast<const uint8_t *>("") : b.data(); }
// Its size as the library's 32-bit length arguments take it.
inline uint32_t n32(const Bytes &b) { return static_cast<uint32_t>(b.size()); }

constexpr uint8_t kSecret = KS_KEY_TYPE_SECRET, kPac = KS_KEY_TYPE_PAC;

// A text name or an A-ID: null, or its bytes.
struct Arg {
    bool null = false;
    Bytes bytes;
    std::string text_ = std::string(bytes.begin(), bytes.end());
    const char *text() const { return null ? nullptr : text_.c_str(); }
    const uint8_t *ptr() const { return null ? nullptr : ptr_of(bytes); }
    bool valid(size_t max = KS_NAME_MAX) const { return !null && !bytes.empty() && bytes.size() <= max; }
    Bytes handle(uint8_t type = kSecret) const { return cat({type}, bytes); }
};

// Operations a step picks from; a fuzz target may pick from a few only.
enum Op {
    kStoreSecret,
    kAddMeta,
    kReturnMeta,
    kClearSecret,
    kRename,
    kStorePac,
    kClearPac,
    kTlvCopy,
    kTprf,
    kClearOld,
    kTable,
    kModes,
    kShow,
    kOpCount
};

struct Driver {
    Source &in;
    void (*fail)(const std::string &what);  // called on every mismatch
    int names = 10;                         // size of the name pool
    // The deep checks run after every deep_every-th step (1: after each) and
    // at finish(); the cheap ones after every step.
    int deep_every = 1;
    Keystore model;
    std::vector<std::pair<int, Bytes>> events;  // the PAC notifications due: (added, A-ID)
    bool standby = false;
    bool cache_indexed = false;  // the PAC cache's index has been in step
    int step_no = 0, op = 0;
    bool deep_done = false;  // the last step ran the deep checks

    bool expect(long long got, long long want, const char *what) {
        if (got != want)
            fail("step " + std::to_string(step_no) + ", operation " + std::to_string(op) + ": " + what + ": got " +
                 std::to_string(got) + ", want " + std::to_string(want));
        return got == want;
    }
    // The status of a front's standby refusal and argument checks, or -1
    // when the call reaches the backend.
    int32_t refused(bool on_standby, bool args_ok) const {
        return on_standby && standby ? KS_STDBY_NOT_SUPPORTED : !args_ok ? KS_INVAL_ARGS : -1;
    }

    // ---- Arguments ----
    // The names of the pool: short ones, one of 31 bytes, and long ones
    // that take several words of the index's hash.
    Bytes pool_name(uint32_t i) const {
        static const char *const kPool[] = {"a", "b", "ab", "abc", "a1", "k", "k1", "kk", "z"};
        const std::string s = i == 9 ? std::string(31, 'x') : i < 9 ? kPool[i] : "k" + std::to_string(i);
        return cat(Bytes(s.begin(), s.end()), Bytes(i > 9 && i % 7 == 3 ? 24 : 0, uint8_t('a' + i % 26)));
    }
    // A pool name most of the time, so that calls meet the same keys;
    // otherwise null, empty, 32 bytes or raw bytes up to a NUL.
    Arg name() {
        const uint32_t n = static_cast<uint32_t>(names), sel = in.pick(n + 4);
        if (sel < n) return {false, pool_name(sel)};
        Bytes raw = sel == n + 2 ? Bytes(32, 'x') : sel == n + 3 ? in.bytes(in.pick(48)) : Bytes{};
        raw.resize(std::find(raw.begin(), raw.end(), 0) - raw.begin());
        return {sel == n, raw};
    }
    Arg aid() {
        static const Bytes kPool[] = {{'A'}, {'B'},     {'A', 'B'}, Bytes(16, 'q'), Bytes(17, 'q'), Bytes(31, 'Z'),
                                      {0},   {0xFF, 1}, {},         Bytes(32, 'Z')};
        const uint32_t sel = in.pick(12);
        return sel < 10 ? Arg{false, kPool[sel]} : Arg{sel == 10, sel == 10 ? Bytes{'A'} : in.bytes(in.pick(40))};
    }
    std::optional<Bytes> prefix_of(const Arg &purge) const {
        return purge.null || purge.bytes.empty() ? std::nullopt : std::optional(purge.handle());
    }
    uint32_t value_len() { return in.of<uint32_t>({0, 1, 7, 16, 20, 24, 32, 64, 65, 256, 257}); }

    // ---- Secrets ----
    void store_secret() {
        const Arg n = name(), purge = in.pick(4) ? Arg{true} : name();  // a purge now and then
        const uint32_t vlen = value_len(), mlen = in.of<uint32_t>({0, 0, 3, 40, 65534, 65535, 65536});
        const bool null_value = in.pick(8) == 0, null_meta = in.pick(4) == 0;
        const Bytes value = in.data(vlen), meta = in.data(mlen);
        const int32_t got = ks_store_secret_and_metadata(n.text(), purge.text(), null_value ? nullptr : value.data(),
                                                         vlen, null_meta ? nullptr : ptr_of(meta), mlen);
        const int32_t r = refused(
            true, n.valid() && !null_value && vlen >= 1 && vlen <= KS_SECRET_MAX && purge.bytes.size() <= KS_NAME_MAX);
        // A null metadata pointer with a length stores that many zeros.
        expect(got, r >= 0 ? r : model.store(n.handle(), value, null_meta ? Bytes(mlen) : meta, prefix_of(purge)), "");
    }
    void add_meta() {
        const Arg n = name();
        const uint16_t mlen = static_cast<uint16_t>(in.of<uint32_t>({0, 1, 3, 40, 65534, 65535}));
        const bool null_meta = in.pick(4) == 0;
        const Bytes meta = in.data(mlen);
        const int32_t got = ks_add_metadata(n.text(), null_meta ? nullptr : ptr_of(meta), mlen);
        const int32_t r = refused(true, n.valid() && null_meta == (mlen == 0) && mlen <= KS_METADATA_MAX);
        expect(got, r >= 0 ? r : model.set_meta(n.handle(), null_meta ? Bytes{} : meta), "");
    }
    // A failed read writes null and 0; an empty copy is null.
    void return_meta() {
        const Arg n = name();
        uint8_t *out = reinterpret_cast<uint8_t *>(&out);
        uint16_t mlen = 0x7777;
        const int32_t got = ks_return_metadata(n.text(), &out, &mlen), r = refused(true, n.valid());
        const Key *k = r < 0 ? model.get(n.handle()) : nullptr;
        if (!expect(got, r >= 0 ? r : k ? KS_SUCCESS : KS_RECORD_NOT_FOUND, "") || r >= 0) return;
        const Bytes want = k ? k->meta : Bytes{};
        const bool same = want.empty() ? out == nullptr : !std::memcmp(out, want.data(), want.size());
        expect(mlen == uint16_t(want.size()) && same, 1, "copy");
        tagged_free(k ? out : nullptr);
    }
    void clear_secret() {
        const Arg n = name();
        const int32_t got = ks_clear_secret(n.text()), r = refused(true, n.valid());
        expect(got, r >= 0 ? r : model.erase(n.handle()), "");
    }
    // Renaming a name to itself does nothing, not even the purge.
    void rename() {
        const Arg from = name(), to = name(), purge = in.pick(4) ? Arg{true} : name();
        const int32_t got = ks_rename_secret(from.text(), to.text(), purge.text());
        const int32_t r = refused(true, from.valid() && to.valid());
        expect(got,
               r >= 0                   ? r
               : from.bytes == to.bytes ? KS_SUCCESS
                                        : model.rename(from.handle(), to.handle(), prefix_of(purge)),
               "");
    }

    // ---- PACs ----
    // A PAC-Info value: an I-ID and a lifetime (before or after the clock),
    // or raw bytes.
    Bytes info_value() {
        if (in.pick(4) == 0) return in.bytes(in.pick(24));
        Bytes v = in.pick(4) ? tlv(KS_PAC_INFO_IID, in.pick(2) ? Bytes{'d', 'e', 'v'} : Bytes{'o'}) : Bytes{};
        const uint32_t t = static_cast<uint32_t>(g_now) + in.of<uint32_t>({0, 1, 100, 0xFFFFFF9C, 0x40000000});
        const Bytes life{uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)};
        if (in.pick(4)) v = cat(v, tlv(in.pick(2) ? KS_PAC_INFO_LIFETIME : 0x8003, life));
        return in.pick(4) ? v : cat(tlv(0x8004, in.bytes(3)), v);
    }
    // A PAC from TLVs (now and then a PAC-Opaque large enough that the
    // metadata passes 64 KiB; or corrupted: a wrong type, a length that
    // disagrees with the TLV's, a null pointer), or one stored raw, its
    // metadata any bytes or the two TLVs in either order, maybe cut short
    // (the cache is not told).
    void store_pac() {
        const Arg a = aid();
        const uint32_t key_len = in.of<uint32_t>({0, 1, 16, 32, 65536}), bad = in.pick(20);
        const Bytes key = in.data(key_len), h = a.handle(kPac);
        Bytes opaque = tlv(KS_PAC_TLV_OPAQUE, in.pick(8) ? in.bytes(in.pick(24)) : in.data(65000 + in.pick(500)));
        Bytes info = tlv(KS_PAC_TLV_INFO, info_value());
        if (bad >= 16) {
            Bytes meta = bad == 16 ? in.bytes(in.pick(40)) : bad == 17 ? cat(opaque, info) : cat(info, opaque);
            meta.resize(in.pick(2) ? in.pick(n32(meta) + 1) : meta.size());
            expect(ks_sw_store_sym_key(h.data(), n32(h), nullptr, 0, ptr_of(key), n32(key), ptr_of(meta), n32(meta)),
                   model.store(h, key, meta), "raw");
            return;
        }
        uint32_t olen = n32(opaque), ilen = n32(info);
        if (bad == 1 || bad == 4) (bad == 1 ? opaque : info)[1] = 3;
        if (bad == 2 || bad == 5) olen = bad == 2 ? olen - 1 : 0;
        if (bad == 3) info.push_back(0), ++ilen;
        const int32_t got = ks_store_pac(a.ptr(), n32(a.bytes), bad == 6 ? nullptr : ptr_of(key), key_len,
                                         opaque.data(), olen, bad == 7 ? nullptr : info.data(), ilen);
        const int32_t r = refused(true, a.valid() && key_len != 0 && (bad == 0 || bad > 7));
        if (expect(got, r >= 0 ? r : model.store_pac(a.bytes, key, opaque, info), "") && got == KS_SUCCESS)
            events.push_back({1, a.bytes});
    }
    // The host is told of the removal also when there was no PAC.
    void clear_pac() {
        const Arg a = aid();
        const int32_t got = ks_clear_pac(a.ptr(), n32(a.bytes));
        if (a.valid()) model.drop(a.bytes);
        if (!expect(got, a.valid() ? model.erase(pac_handle(a.bytes)) : KS_INVAL_ARGS, "")) return;
        if (a.valid()) events.push_back({0, a.bytes});
    }
    // A TLV copy: from the cache entry, or from one loaded on a miss.
    void tlv_copy() {
        const Arg a = aid();
        const bool info = in.pick(2) == 1;
        uint8_t *out = nullptr;
        uint32_t n = 0;
        const int32_t got = (info ? ks_return_pac_info : ks_return_pac_opaque)(a.ptr(), n32(a.bytes), &out, &n);
        const int32_t r = refused(true, a.valid());
        const PacEntry *e = r < 0 ? model.cached_or_loaded(a.bytes) : nullptr;
        if (expect(got, r >= 0 ? r : e ? KS_SUCCESS : KS_UNKNOWN_FAILURE, "") && e)
            expect(Bytes(out, out + n) == (info ? e->info : e->opaque), 1, "TLV copy");
        tagged_free(e ? out : nullptr);
    }
    // T-PRF from a PAC: from the entry's record when label, seed and output
    // length match it; otherwise computed (as the key's own T-PRF) and
    // recorded on the A-ID's entry, loaded when the cache has none. The
    // HMAC key's length travels as 16 bits: one that reads as empty fails.
    void tprf() {
        const Arg a = aid();
        const Bytes label = in.bytes(in.pick(12)), seed = in.bytes(in.pick(12));
        const uint32_t n = in.pick(66), ll = n32(label), sl = n32(seed);
        uint8_t out[80], want[80];
        std::memset(out, 0xA5, sizeof out), std::memset(want, 0xA5, sizeof want);
        const int32_t got = ks_pac_key_t_prf(a.ptr(), n32(a.bytes), ptr_of(label), ll, ptr_of(seed), sl, out, n);
        const int32_t r = refused(true, a.valid() && n != 0);
        PacEntry *e = r < 0 ? model.entry(a.bytes) : nullptr;
        const Key *k = r < 0 ? model.get(pac_handle(a.bytes)) : nullptr;
        const bool hit =
            e && e->derived && e->derived->label == label && e->derived->seed == seed && e->derived->output.size() == n;
        const int32_t computed = !k ? KS_RECORD_NOT_FOUND : k->value.size() % 65536 == 0 ? KS_CRYPTO_ERR : KS_SUCCESS;
        if (!expect(got, r >= 0 ? r : hit ? KS_SUCCESS : computed, "") || got != KS_SUCCESS) return;
        if (hit)
            std::copy(e->derived->output.begin(), e->derived->output.end(), want);
        else
            ks_sw_sym_key_t_prf(k->handle.data(), n32(k->handle), ptr_of(label), ll, ptr_of(seed), sl, want, n);
        expect(std::memcmp(out, want, sizeof out) == 0, 1, "T-PRF output");
        if (!hit && (e = model.cached_or_loaded(a.bytes)) != nullptr) e->derived = {label, seed, Bytes(out, out + n)};
    }
    // Old-PAC removal (the library's keep-or-remove test decides which) and
    // clearing every PAC.
    void clear_old() {
        const int which = in.of<int>({0, 1, 2});
        const char *device = in.of<const char *>({"dev", "dev", "o", "", nullptr});
        const bool all = which == 2 || (which == 0 && (device == nullptr || *device == '\0'));
        const int32_t got =
            which == 2 ? ks_clear_all_pacs() : (which ? ks_clear_old_pacs_internal : ks_clear_old_pacs)(device);
        if (!expect(got, which == 0 && standby ? KS_STDBY_NOT_SUPPORTED : KS_SUCCESS, "") || got != KS_SUCCESS) return;
        if (which != 1) model.cache.clear();
        model.remove_if([&](const Key &k) {
            const bool go =
                k.handle[0] == kPac && (all || !ks_sw_pac_still_valid(ptr_of(k.meta), uint16_t(n32(k.meta)), device));
            if (go) events.push_back({0, Bytes(k.handle.begin() + 1, k.handle.end())});
            return go;
        });
    }

    // ---- The table itself, through the software keystore: handles of a
    // pool name (now and then one of 40 bytes) of a secret's or a PAC's type
    // mostly, or of a type the show command tells apart or does not know ----
    Bytes any_handle() {
        const Bytes n = in.pick(8) ? pool_name(in.pick(static_cast<uint32_t>(names))) : Bytes(40, 'L');
        return cat({in.of<uint8_t>({1, 1, 1, 1, 2, 2, 3, 0x51, 0x53, 0, 0xFF})}, n);
    }
    void table() {
        const Bytes h = any_handle(), h2 = any_handle(), v = in.data(value_len());
        const Bytes m = in.data(in.of<uint32_t>({0, 3, 40}));
        Bytes p = any_handle();
        p.resize(in.pick(8) ? 2 + in.pick(2) : 1);  // now and then the type alone
        const std::optional<Bytes> prefix = in.pick(3) == 0 ? std::optional(p) : std::nullopt;
        const uint8_t *pp = prefix ? p.data() : nullptr;
        const uint32_t pl = prefix ? n32(p) : 0, which = in.pick(8);
        if (which == 0)
            expect(ks_sw_store_sym_key(h.data(), n32(h), pp, pl, ptr_of(v), n32(v), ptr_of(m), n32(m)),
                   model.store(h, v, m, prefix), "store");
        if (which == 1) expect(ks_sw_delete_key(h.data(), n32(h)), model.erase(h), "delete");
        if (which == 2 && h != h2)
            expect(ks_sw_rename_key(h.data(), n32(h), h2.data(), n32(h2), pp, pl), model.rename(h, h2, prefix),
                   "rename");
        if (which == 3)
            expect(ks_sw_add_sym_key_meta(h.data(), n32(h), ptr_of(m), n32(m)), model.set_meta(h, m), "metadata");
        if (which == 4) expect(ks_sym_key_prefix_purge(p.data(), n32(p)), model.purge(p), "purge");
        if (which == 5 && in.pick(4) == 0) {  // rare: it empties much of the table
            expect(ks_sw_delete_all_keys_by_type(h[0]), KS_SUCCESS, "delete by type");
            model.remove_if([&](const Key &k) {
                if (k.handle[0] == h[0] && h[0] == kPac)
                    events.push_back({0, Bytes(k.handle.begin() + 1, k.handle.end())});
                return k.handle[0] == h[0];
            });
        }
        // The last key removed behind the library's back: the handle index
        // must see the count change and rebuild.
        if (which == 6 && !model.keys.empty()) {
            ks::sym_key_free_entry(ks_sym_keys[ks_num_sym_keys - 1]);
            ks_sym_keys[--ks_num_sym_keys] = nullptr;
            const Bytes gone = model.keys.back().handle;
            model.keys.pop_back();
            expect(ks_sym_key_find(gone.data(), n32(gone)), -1, "found after its removal");
        }
        // The table's parts and the cache's index forget what they are in step
        // with, as after a change behind their back: they rebuild from the
        // table and the queue on their next use.
        if (which == 7) ks::table_parts_forget(), ks::pac_cache_index_forget(), cache_indexed = false;
    }
    void modes() {
        const uint32_t which = in.pick(4);
        if (which == 0) ks_is_standby = standby = in.pick(4) == 0;
        if (which == 1) ks_pac_cache_purge(), model.cache.clear();
        if (which == 2) g_now = in.of<int32_t>({0, 1000, 1700000000, INT32_MAX, -5});
        if (which == 3) {  // 4096 random characters: every one of the class, and no other
            std::vector<uint8_t> r(4096);
            const int32_t kind = int32_t(1 + in.pick(2)), st = ks_generate_random_number(r.data(), 4096, kind);
            std::array<bool, 256> seen{}, want{};
            for (uint8_t c : r) seen[c] = true;
            for (int c = 0; c < 256; ++c) want[c] = kind == KS_RANDOM_PRINTABLE ? std::isprint(c) : std::isalnum(c);
            if (expect(st, standby ? KS_STDBY_NOT_SUPPORTED : KS_SUCCESS, "random") && !standby)
                expect(seen == want, 1, "class");
        }
    }

    // ---- The structured show with a builder failure, an allocation failure
    // and the mode turning to hardware at chosen calls: every element
    // appended is the record at its index (a secret's name, a PAC's A-ID in
    // hex, no value for type 3, an unknown type's number); without faults,
    // every record is there ----
    void show() {
        const uint32_t flags = in.pick(32), fop = in.pick(KSH_SHOWMSG_OP_COUNT - 1);  // any but the destruction
        uint32_t turn_at = 1 + in.pick(64);
        ks_use_sw_ks = !(flags & 1);
        ks::seams.hw_present = !(flags & 2);
        const ksh_showmsg_hook turn = [](void *at, ksh_showmsg_op, uint32_t) {
            if (--*static_cast<uint32_t *>(at) == 0) ks_use_sw_ks = 0;
        };
        if (flags & 4) ksh_showmsg_set_hook(turn, &turn_at);
        if (flags & 8) ksh_alloc_fail_nth(1 + in.pick(64));
        const auto failing = ksh_showmsg_op(fop + (fop == KSH_SHOWMSG_ELEM_DESTROY));
        if (flags & 16) ksh_showmsg_fail(failing, 1 + in.pick(64), 1 + static_cast<int32_t>(in.pick(255)));
        ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
        int32_t err = 0;
        qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 7, reply, &err);
        ksh_alloc_fail_nth(0), ksh_showmsg_set_hook(nullptr, nullptr);
        ks_use_sw_ks = ks::seams.hw_present = 1;
        const size_t appended = std::min(ksh_showmsg_elem_count(reply), model.keys.size());
        expect(ksh_showmsg_elem_count(reply), (flags & 29) ? appended : model.keys.size(), "elements");
        for (size_t i = 0; i < appended; ++i) {
            ksh_showmsg_elem_view v;
            ksh_showmsg_elem_at(reply, i, &v);
            const Bytes &h = model.keys[i].handle;
            const bool pac = h[0] == kPac, secret = h[0] == kSecret || (h[0] >= 0x51 && h[0] <= 0x53);
            std::string want = secret ? std::string(h.begin() + 1, h.end()) : pac || h[0] == 3 ? "" : "Unknown type ";
            if (!secret && !pac && h[0] != 3) want += std::to_string(h[0]);
            for (size_t b = 1; pac && b < h.size() && b <= 127; ++b)
                want += "0123456789ABCDEF"[h[b] >> 4], want += "0123456789ABCDEF"[h[b] & 15];
            expect(v.index_set && v.index == i && v.valid_set && v.valid == (secret || pac || h[0] == 3) &&
                       std::string(reinterpret_cast<const char *>(v.value), v.value_set ? v.value_len : 0) == want &&
                       (v.value_set != 0) == (h[0] != 3) && (secret || pac ? v.type_set && v.type == pac : !v.type_set),
                   1, "element");
        }
        ksh_showmsg_reply_free(reply), ksh_showmsg_reset();
    }

    // ---- After a step ----
    // Everything: what check_step() and check_deep() check.
    void check() { check_step(), check_deep(); }
    // What is cheap to check (proportional to the keys held, not to the
    // name space or the index's size): the whole key table and PAC cache
    // against the model, the blocks held, the PAC notifications, the cache
    // index's ends and count, and two names tested for as a secret and as a
    // PAC. It also reads the same input whatever runs next, so that how often
    // the deep checks run changes nothing else an input does.
    void check_step() {
        expect(observe() == model, 1, "the keystore is the model's");
        expect(static_cast<long long>(library_blocks()), static_cast<long long>(accounted(model)), "blocks held");
        for (size_t i = 0; i < events.size() || i < ksh_pac_event_count(); ++i) {
            const ksh_pac_event *e = ksh_pac_event_at(i);
            expect(i < events.size() && e && e->added == events[i].first &&
                       Bytes(e->aid, e->aid + e->aid_len) == events[i].second,
                   1, "PAC notification");
        }
        events.clear(), ksh_pac_events_clear(), ksh_trace_clear(), ksh_message_clear();
        cache_index_ends();
        exists();
        // Brings the handle index in step after a change behind its back.
        ks_sym_key_find(reinterpret_cast<const uint8_t *>("k"), 1);
    }
    // What walks the whole name space or index: the PAC cache index bucket
    // by bucket, the by-index and get-next walks, every lookup, keyed results
    // with sampled keys and the owner of every per-key state.
    void check_deep() { cache_index(), walks(), keyed(); }
    // The PAC cache's index, once in step with the queue, stays in step
    // through every change the library makes (no rebuild): its first and
    // last entries and its count are the queue's.
    void cache_index_ends() {
        const ks::PacCacheIndex *x = ks::pac_cache_index();
        if (x == nullptr || !(cache_indexed |= x->valid)) return;
        const pac_cache_entry *last = nullptr;
        for (auto *e = static_cast<const pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link) last = e;
        expect(x->valid && x->first == ks_pac_cacheq[0] && x->last == last && x->count == model.cache.size(), 1,
               "PAC cache index in step");
    }
    // And bucket by bucket: a bucket for each entry with the one before it
    // and no other, and each entry found by its A-ID.
    void cache_index() {
        const ks::PacCacheIndex *x = ks::pac_cache_index();
        if (x == nullptr || !(cache_indexed |= x->valid)) return;
        std::map<const pac_cache_entry *, const pac_cache_entry *> queue, indexed;  // an entry, the one before it
        const std::vector<pac_cache_entry *> q = queued();
        for (size_t i = 0; i < q.size(); ++i) queue[q[i]] = i == 0 ? nullptr : q[i - 1];
        for (size_t i = 0; i < size_t{1} << x->bits; ++i)
            if (const ks::PacCacheBucket &b = ks::pac_cache_index_buckets(x)[i]; b.entry != nullptr)
                indexed[b.entry] = b.prev;
        if (!expect(x->valid && x->count == indexed.size() && indexed == queue, 1, "PAC cache index buckets")) return;
        for (const auto &[e, before] : queue) {
            pac_cache_entry *found = nullptr, *prev = nullptr;
            expect(ks::pac_cache_index_find(e->aid, e->aid_len, &found, &prev) && found == e && prev == before, 1,
                   "PAC cache index find");
        }
    }
    // The get-next order of one type: each name as the walk reads it (a
    // name up to 31 bytes and its first NUL, an A-ID up to 16 bytes) after
    // its sort key (an A-ID as a 16-byte right-aligned number), sorted by
    // key, equal keys in table order.
    using Order = std::vector<std::pair<Bytes, Bytes>>;
    Order next_order(uint8_t type) const {
        Order order;
        for (const Key &k : model.keys) {
            if (k.handle[0] != type) continue;
            Bytes name(k.handle.begin() + 1,
                       k.handle.begin() + 1 + std::min<size_t>(n32(k.handle) - 1, type == kPac ? 16 : 31));
            if (type == kSecret) name.resize(std::find(name.begin(), name.end(), 0) - name.begin());
            order.emplace_back(type == kPac ? cat(Bytes(16 - name.size()), name) : name, name);
        }
        std::ranges::stable_sort(order, {}, &Order::value_type::first);
        return order;
    }
    // The by-index walks of secret names and A-IDs, whole; get-next of both
    // types from the empty start, from every stored name and from just past
    // each.
    void walks() {
        for (uint8_t type : {kSecret, kPac}) {
            uint16_t index = 0;
            for (size_t j = 0; j <= model.keys.size(); ++j) {
                if (j < model.keys.size() && model.keys[j].handle[0] != type) continue;
                const uint16_t before = index;
                uint8_t *copy = nullptr;
                uint32_t n = 0;
                char **name = reinterpret_cast<char **>(&copy);
                const int32_t st = type == kPac ? ks_return_aid_by_index(&index, &copy, &n)
                                                : ks_return_secret_handle_by_index(&index, name);
                if (st == KS_SUCCESS && type == kSecret) n = uint32_t(std::strlen(*name));
                const int32_t want = type == kPac && standby ? KS_STDBY_NOT_SUPPORTED
                                     : j < model.keys.size() ? KS_SUCCESS
                                                             : KS_NO_MORE_RECORDS;
                if (!expect(st, want, "by index") || st != KS_SUCCESS) {
                    expect(index, before, "index kept");
                    break;
                }
                const Bytes &h = model.keys[j].handle;
                expect(index == j + 1 && Bytes(copy, copy + n) == Bytes(h.begin() + 1, h.end()), 1, "next by index");
                tagged_free(copy);
            }
        }
        for (uint8_t type : {kSecret, kPac}) {
            const Order order = next_order(type);
            std::vector<Bytes> starts = {{}, Bytes(17, 'q')};  // an A-ID start over 16 bytes has no next
            for (const auto &[key, name] : order)
                starts.insert(starts.end(), {name, cat(name, {type == kPac ? uint8_t(0) : uint8_t('!')})});
            for (Bytes s : starts) {
                if (type == kSecret) s.resize(std::min<size_t>(s.size(), 31));
                auto it = order.end();
                if (type == kSecret || s.size() <= 16)
                    it = std::ranges::upper_bound(order, type == kPac ? cat(Bytes(16 - s.size()), s) : s, {},
                                                  &Order::value_type::first);
                Bytes got;
                int32_t found = 0;
                if (type == kSecret) {
                    // The answer and its terminator replace the start; no byte
                    // past them is written.
                    char buf[KS_HANDLE_MAX], before[KS_HANDLE_MAX];
                    std::memset(buf, '~', sizeof buf);
                    *std::ranges::copy(s, buf).out = '\0';
                    std::memcpy(before, buf, sizeof buf);
                    found = ks_snmp_get_next_password(buf, sizeof buf);
                    got.assign(buf, buf + std::strlen(buf));
                    const size_t past = found == 1 ? got.size() + 1 : 0;
                    expect(std::memcmp(buf + past, before + past, sizeof buf - past), 0, "bytes past the next name");
                } else {
                    uint8_t next[16], size = 16;
                    found = ks_snmp_get_next_pac(ptr_of(s), n32(s), next, &size);
                    got.assign(next, next + (found == 1 ? size : 0));
                }
                if (expect(found, it != order.end(), "get-next") && found)
                    expect(got == it->second, 1, "next name or A-ID");
            }
        }
    }
    // A stored name and a pool name tested for as a secret and as a PAC.
    void exists() {
        const Bytes stored = model.keys.empty() ? Bytes{'a'} : model.keys[step_no % model.keys.size()].handle;
        const Arg text{false, Bytes(stored.begin() + 1, std::find(stored.begin() + 1, stored.end(), 0))};
        for (const Arg &n : {text, name()}) {
            int32_t flag = -1, pac = -1;
            if (expect(ks_secret_exists(n.text(), &flag), n.valid() ? KS_SUCCESS : KS_INVAL_ARGS, "exists") &&
                n.valid()) {
                expect(flag, model.find(n.handle()) >= 0, "exists flag");
                // A stored secret is consistent with its peer (1): the
                // software keystore has no peer to differ from.
                int32_t same = -1;
                expect(ks_check_ha_consistency(n.text(), &same), flag ? KS_SUCCESS : KS_RECORD_NOT_FOUND,
                       "consistency");
                expect(same, flag ? 1 : -1, "consistent flag");
            }
            const int32_t got = ks_pac_exists(n.ptr(), n32(n.bytes), &pac), r = refused(true, n.valid());
            if (expect(got, r >= 0 ? r : KS_SUCCESS, "ks_pac_exists") && r < 0)
                expect(pac, model.find(n.handle(kPac)) >= 0, "flag");
            // A PAC with a lifetime is valid until the clock reaches it. The
            // lifetime is read from the A-ID's cache entry, loaded on a miss:
            // an entry the old-PAC walk left behind still answers.
            const uint32_t expires = ks_get_pac_expiration(n.ptr(), n32(n.bytes));
            const PacEntry *e = n.valid() && !standby ? model.cached_or_loaded(n.bytes) : nullptr;
            expect(expires == 0 || e != nullptr, 1, "expiration without a cache entry");
            // Without a PAC-Info (or a PAC) none is valid, even with the clock
            // before 1970 or past 2038 (negative).
            if (expires != 0 || e == nullptr || e->info.empty())
                expect(ks_valid_pac_exists(n.ptr(), n32(n.bytes)), expires != 0 && g_now < int32_t(expires),
                       "valid PAC");
        }
    }
    // Every key found at its index; HMACs and AES with a sample of keys
    // against the model's values; every per-key state owned by the entry in
    // its slot.
    void keyed() {
        static const uint8_t data[] = "keyed data for the sampled keys";
        for (size_t i = 0; i < model.keys.size(); ++i)
            expect(ks_sym_key_find(model.keys[i].handle.data(), n32(model.keys[i].handle)), (long long)i, "lookup");
        for (size_t t = 0, n = model.keys.size(); t < 3 && t < n; ++t) {
            const size_t i = (static_cast<size_t>(step_no) * 7 + t * 13) % n;
            const Key &k = model.keys[i];
            for (uint32_t sel : {KS_DIGEST_MD5, KS_DIGEST_SHA1}) {
                uint8_t got[24], want[24], again[24];
                std::memset(got, 0xA5, sizeof got), std::memset(want, 0xA5, sizeof want);
                expect(ks_sw_hmac(k.handle.data(), n32(k.handle), data, sizeof data, got, sel), KS_SUCCESS, "HMAC");
                (sel ? hmac_sha : hmac_md5)(ptr_of(k.value), n32(k.value), data, sizeof data, want);
                const auto md = sel ? ks::crypto::Md::kSha1 : ks::crypto::Md::kMd5;
                ks::KeyValue found;
                ks::find_key_value(k.handle.data(), n32(k.handle), found);
                const bool done = ks::key_state_hmac(found.state_slot, md, data, sizeof data, again);
                KS_CT_DECLASSIFY(again, sizeof again);  // an internal result, compared on purpose
                expect(!std::memcmp(got, want, sizeof got) && (!done || !std::memcmp(again, want, sel ? 20 : 16)), 1,
                       "HMAC");
                expect(done, !k.value.empty(), "HMAC from the per-key state");
                // The keyed digest of piece1 || value || piece2, piece1 of 5, 1
                // or no bytes, piece2 of 4 or 1; a null piece counts as empty,
                // whatever its length. Nothing to digest answers NO_MEMORY.
                const bool null1 = step_no % 2, null2 = step_no % 5 == 0;
                const uint32_t n1 = null1 ? 0 : std::array{5u, 1u, 0u}[step_no % 3];
                const uint32_t n2 = null2 ? 0 : std::array{4u, 1u}[step_no / 2 % 2];
                Bytes whole(n1 + k.value.size() + n2);
                auto at = std::copy(data, data + n1, whole.begin());
                std::copy(data + 5, data + 5 + n2, std::copy(k.value.begin(), k.value.end(), at));
                const int32_t hashed = ks_sw_hash(k.handle.data(), n32(k.handle), null1 ? nullptr : data,
                                                  null1 ? 5 : n1, null2 ? nullptr : data + 5, null2 ? 4 : n2, got, sel);
                EVP_Digest(whole.data(), whole.size(), want, nullptr, sel ? EVP_sha1() : EVP_md5(), nullptr);
                if (expect(hashed, whole.empty() ? KS_NO_MEMORY : KS_SUCCESS, "hash") && !whole.empty())
                    expect(!std::memcmp(got, want, sizeof got), 1, "hash");
            }
            if (k.value.size() == 16 || k.value.size() == 24 || k.value.size() == 32) aes(k);
        }
        ks_sym_key_find(data, 1);  // brings the parts in step after a change behind their back
        int32_t owned = 0;
        for (int32_t i = 0; i < ks_num_sym_keys; ++i)
            if (const ks::KeyState *s = ks::key_state_at(i))
                owned += expect(s->entry == ks_sym_keys[i], 1, "another key's state");
        expect(ks::key_state_count(), owned, "per-key states in use");
        expect(ksh_alloc_tag_live_blocks(ks::kTagKeyState), owned, "per-key state blocks");
        expect(ksh_alloc_tag_live_blocks(ks::kTagKeyStateSlots), owned != 0, "per-key state slots");
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // AES-ECB over four blocks, in place, apart or overlapping, against the
    // block cipher keyed with the model's value, block after block as a walk
    // over the blocks goes; nothing else in the buffer changes. The per-key
    // state must do AES-ECB itself.
    void aes(const Key &k) {
        const bool encrypt = step_no % 2 == 0;
        const int from = 64, to = 64 + std::array{0, 64, 16, -16, 8, -8, 48}[step_no % 7];
        uint8_t buf[192], want[192], block[16];
        for (int i = 0; i < 192; ++i) want[i] = buf[i] = static_cast<uint8_t>(i * 31 + step_no);
        AES_KEY key;
        (encrypt ? AES_set_encrypt_key : AES_set_decrypt_key)(k.value.data(), int(k.value.size() * 8), &key);
        for (int b = 0; b < 64; b += 16)
            (encrypt ? AES_encrypt : AES_decrypt)(want + from + b, block, &key), std::memcpy(want + to + b, block, 16);
        expect(ks_sw_aes(k.handle.data(), n32(k.handle), buf + from, buf + to, 64, encrypt), KS_SUCCESS, "ks_sw_aes");
        expect(std::memcmp(buf, want, sizeof buf) == 0, 1, "AES");
        ks::KeyValue found;
        ks::find_key_value(k.handle.data(), n32(k.handle), found);
        expect(ks::key_state_aes_ecb(found.state_slot, encrypt, want, block, 16) == ks::AesResult::kDone,
               ks::crypto::aes_schedule_bytes() != 0, "AES from the per-key state");
    }
#pragma GCC diagnostic pop

    // One step: an operation of the mix (any when it is empty), then the checks.
    void step(const std::vector<Op> &mix) {
        static const std::array<void (Driver::*)(), kOpCount> kOps = {
            &Driver::store_secret, &Driver::add_meta,  &Driver::return_meta, &Driver::clear_secret, &Driver::rename,
            &Driver::store_pac,    &Driver::clear_pac, &Driver::tlv_copy,    &Driver::tprf,         &Driver::clear_old,
            &Driver::table,        &Driver::modes,     &Driver::show};
        op = mix.empty() ? int(in.pick(kOpCount)) : mix[in.pick(uint32_t(mix.size()))];
        (this->*kOps[op])();
        // The parts follow every change made through the library, without a rebuild.
        if (op != kTable) expect(ks::table_parts_in_step(), 1, "the table's parts in step");
        check_step();
        if ((deep_done = (step_no + 1) % deep_every == 0)) check_deep();
        ++step_no;
    }
    // After the last step: the deep checks, unless that step ran them.
    void finish() {
        if (!deep_done) check_deep();
        deep_done = true;
    }
};

}  // namespace ksmodel
