// Fuzz target: PAC expiry and old-PAC removal over arbitrary PAC metadata.
//
// Input layout: a 4-byte clock value, a 1-byte identity length and the
// identity bytes, then records of (1-byte A-ID length, 2-byte metadata length,
// metadata bytes). Each record is stored raw as a PAC (its metadata need not
// be well formed), with a secret between PACs. The target then queries every
// PAC's lifetime, removes the old PACs and checks the result against the
// keep-or-remove test: exactly the rejected PACs are gone, each reported once,
// no other key is touched, and nothing leaks.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore_host/host.h"
#include "ks_pac_clock.h"

namespace {

constexpr uint32_t kTagSlotArray = 0x0460009B;  // kept for the life of the process
uint64_t library_blocks() { return ksh_alloc_live_blocks() - ksh_alloc_tag_live_blocks(kTagSlotArray); }

time_t g_now = 0;
time_t fuzz_clock(time_t *t) {
    if (t != nullptr) *t = g_now;
    return g_now;
}

struct Reader {
    const uint8_t *p;
    size_t n;
    bool take(size_t k, const uint8_t **out) {
        if (n < k) return false;
        *out = p;
        p += k;
        n -= k;
        return true;
    }
};

struct Pac {
    std::string aid;
    std::vector<uint8_t> meta;
    bool keep;
};

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "pac_expiry: %s\n", what);
        std::abort();
    }
}

// A key handle: the type byte, then the name.
std::vector<uint8_t> handle_of(uint8_t type, const std::string &name) {
    std::vector<uint8_t> h(name.size() + 1);
    h[0] = type;
    std::copy(name.begin(), name.end(), h.begin() + 1);
    return h;
}

bool key_exists(uint8_t type, const std::string &name) {
    std::vector<uint8_t> h = handle_of(type, name);
    int32_t flag = 0;
    ks_sw_key_exists(h.data(), static_cast<uint32_t>(h.size()), &flag);
    return flag == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ksh_message_set_print(0);
    ksh_set_recording(KSH_RECORD_DEFAULT_CAPACITY);  // the notifications are checked
    ks_use_sw_ks = 1;
    ks_is_standby = 0;
    ks::pac_clock = &fuzz_clock;
    ks_pac_cache_purge();
    static const uint8_t kAny = 0;
    ks_sym_key_prefix_purge(&kAny, 0);
    ksh_reset_recorders();
    const uint64_t blocks = library_blocks();

    Reader in{data, size};
    const uint8_t *b;
    if (!in.take(4, &b)) return 0;
    g_now = static_cast<int32_t>(uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3]);
    if (!in.take(1, &b)) return 0;
    const size_t id_len = b[0] % 24;
    if (!in.take(id_len, &b)) return 0;
    // The identity is a text: it ends at its first NUL byte.
    std::string device_id(reinterpret_cast<const char *>(b), id_len);
    device_id = device_id.c_str();

    std::vector<Pac> pacs;
    const uint8_t key[] = {0x11, 0x22, 0x33};
    while (pacs.size() < 16 && in.take(3, &b)) {
        const size_t aid_len = 1 + b[0] % 31;
        const size_t meta_len = (size_t{b[1]} << 8 | b[2]) % 600;
        const uint8_t *meta;
        if (!in.take(meta_len, &meta)) break;
        // A-IDs are made unique by their position.
        std::string aid(aid_len, 'a');
        aid[0] = static_cast<char>('A' + pacs.size());
        std::vector<uint8_t> h = handle_of(KS_KEY_TYPE_PAC, aid);
        if (ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0, key, sizeof key, meta,
                                static_cast<uint32_t>(meta_len)) != KS_SUCCESS) {
            continue;
        }
        std::vector<uint8_t> s{KS_KEY_TYPE_SECRET, static_cast<uint8_t>('A' + pacs.size())};
        ks_sw_store_sym_key(s.data(), 2, nullptr, 0, key, sizeof key, nullptr, 0);
        const int32_t keep =
            ks_sw_pac_still_valid(meta, static_cast<uint16_t>(meta_len), device_id.c_str());
        check(keep == 0 || keep == 1, "keep-or-remove answer is not 0 or 1");
        pacs.push_back({aid, std::vector<uint8_t>(meta, meta + meta_len), keep == 1});
    }

    // Lifetime queries: a valid PAC has a lifetime after now.
    for (const Pac &p : pacs) {
        const auto *aid = reinterpret_cast<const uint8_t *>(p.aid.data());
        const uint32_t aid_len = static_cast<uint32_t>(p.aid.size());
        const int32_t valid = ks_valid_pac_exists(aid, aid_len);
        const uint32_t expires = ks_get_pac_expiration(aid, aid_len);
        check(valid == 0 || valid == 1, "validity is not 0 or 1");
        if (valid == 1) check(static_cast<int32_t>(expires) > static_cast<int32_t>(g_now), "valid PAC has expired");
    }

    const int32_t secrets_before = ks_num_sym_keys - static_cast<int32_t>(pacs.size());
    ksh_pac_events_clear();
    check(ks_clear_old_pacs(device_id.c_str()) == KS_SUCCESS, "old-PAC removal failed");
    const bool clear_all = device_id.empty();
    size_t removed = 0;
    for (const Pac &p : pacs) {
        const bool stays = !clear_all && p.keep;
        check(key_exists(KS_KEY_TYPE_PAC, p.aid) == stays, "PAC kept or removed against the test");
        if (!stays) ++removed;
    }
    check(ksh_pac_event_count() == removed, "removals and notifications differ");
    check(ks_num_sym_keys - static_cast<int32_t>(pacs.size() - removed) == secrets_before, "a secret was removed");
    check(ks_pac_cacheq[0] == nullptr, "cache not emptied");

    ks_sym_key_prefix_purge(&kAny, 0);
    check(library_blocks() == blocks, "a block leaked");
    return 0;
}
