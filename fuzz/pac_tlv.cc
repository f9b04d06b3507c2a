// Fuzz target: PACs stored from fuzzed TLVs, and fuzzed bytes read back as
// PAC metadata. Drives the store's header checks, the cache, the load and
// split of metadata, the two TLV return operations, the walks and the clear,
// and checks what must hold for any input: copies handed out equal what was
// stored, a split names two TLVs inside the metadata, and nothing leaks.
//
// Input: flags, A-ID length, PAC-Opaque length (2 bytes), PAC-Info length
// (2 bytes), then the A-ID, the PAC-Opaque, the PAC-Info and the PAC-Key.
// Everything after the six header bytes is also read as PAC metadata.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "fuzz_common.h"
#include "keystore_host/host.h"
#include "ks_hw_seam.h"
#include "ks_pac_internal.h"

namespace {

using fuzz::library_blocks;
using fuzz::Reader;


enum : uint8_t {
    kHardware = 0x01,      // the hardware keystore is selected
    kHwAbsent = 0x02,      // ... and reports no chip
    kOversize = 0x04,      // the PAC-Opaque is padded past 64 KiB of metadata
    kRawMeta = 0x08,       // the whole input is also stored as a PAC's metadata
    kStandby = 0x10,       // the unit is a standby
    kNoPurge = 0x20,       // the second fetch is a cache hit, not a load
};

void check(bool ok) {
    if (!ok) std::abort();
}

// Fetches one TLV copy; on success returns it, else an empty vector.
bool fetch(bool opaque, const std::vector<uint8_t> &aid, std::vector<uint8_t> *out) {
    uint8_t *copy = nullptr;
    uint32_t len = 0;
    int32_t status = (opaque ? ks_return_pac_opaque : ks_return_pac_info)(aid.data(), aid.size(), &copy, &len);
    if (status != KS_SUCCESS) return false;
    check(copy != nullptr && len != 0);
    out->assign(copy, copy + len);
    tagged_free(copy);
    return true;
}

// Splits an exact-size copy of the bytes, so any read past them is caught.
void split_checked(const uint8_t *data, size_t size) {
    uint16_t len = static_cast<uint16_t>(size > 0xFFFF ? 0xFFFF : size);
    std::vector<uint8_t> meta(data, data + len);
    const uint8_t *opaque = nullptr, *info = nullptr;
    uint32_t opaque_len = 0, info_len = 0;
    if (!pac_meta_split(meta.data(), len, &opaque, &opaque_len, &info, &info_len)) return;
    const uint8_t *end = meta.data() + len;
    for (auto [tlv, n, type] : {std::tuple{opaque, opaque_len, KS_PAC_TLV_OPAQUE}, {info, info_len, KS_PAC_TLV_INFO}}) {
        check(tlv >= meta.data() && n >= 4 && tlv + n <= end);
        check((tlv[0] << 8 | tlv[1]) == static_cast<int>(type));
        check(static_cast<uint32_t>(tlv[2] << 8 | tlv[3]) + 4 == n);
    }
    check(opaque_len + info_len == len);
}

void walk_and_clear() {
    // The SNMP walk must strictly climb; bounded by the number of keys.
    uint8_t cur[16] = {}, next[16];
    uint8_t cur_len = 0;
    for (int i = 0; i <= ks_num_sym_keys; ++i) {
        uint8_t len = sizeof next;
        if (ks_snmp_get_next_pac(cur, cur_len, next, &len) != 1) break;
        check(len <= 16);
        std::memcpy(cur, next, len);
        cur_len = len;
    }
    // Every PAC found by index is cleared.
    std::vector<std::vector<uint8_t>> aids;
    uint16_t index = 0;
    for (int i = 0; i <= ks_num_sym_keys + 1; ++i) {
        uint8_t *aid = nullptr;
        uint32_t len = 0;
        if (ks_return_aid_by_index(&index, &aid, &len) != KS_SUCCESS) break;
        aids.emplace_back(aid, aid + len);
        tagged_free(aid);
    }
    for (const auto &aid : aids) {
        int32_t exists = 0;
        if (ks_pac_exists(aid.data(), aid.size(), &exists) == KS_SUCCESS && exists) ks_clear_pac(aid.data(), aid.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::quiet_platform(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) return 0;
    const uint64_t baseline = library_blocks();
    Reader in{data, size};
    const uint8_t flags = in.take(1)[0];
    const size_t aid_len = in.take(1)[0] % 34;  // 0 and 32, 33 are refused
    const uint16_t opaque_len = in.be16(), info_len = in.be16();
    const std::vector<uint8_t> aid = in.take(aid_len);
    std::vector<uint8_t> opaque = in.take(opaque_len);
    const std::vector<uint8_t> info = in.take(info_len);
    const std::vector<uint8_t> key = in.take(in.left);

    if (flags & kOversize) {
        // A well-formed PAC-Opaque large enough that the two TLVs pass 64 KiB.
        std::vector<uint8_t> value(65000 + opaque.size(), 0x5A);
        std::copy(opaque.begin(), opaque.end(), value.begin());
        uint16_t l = static_cast<uint16_t>(value.size());
        opaque = {0x00, 0x02, static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l)};
        opaque.insert(opaque.end(), value.begin(), value.end());
    }

    ks_use_sw_ks = (flags & kHardware) ? 0 : 1;
    ks::hw_present_answer = (flags & kHwAbsent) ? 0 : 1;

    int32_t status = ks_store_pac(aid.data(), aid.size(), key.data(), key.size(), opaque.data(), opaque.size(),
                                  info.data(), info.size());
    if (status == KS_SUCCESS) {
        check(ks_use_sw_ks != 0);
        ks_is_standby = (flags & kStandby) ? 1 : 0;
        std::vector<uint8_t> got;
        for (int round = 0; round < 2; ++round) {
            bool from_cache = round == 0 || (flags & kNoPurge);
            bool fits = opaque.size() + info.size() <= 0xFFFF;
            for (bool want_opaque : {true, false}) {
                bool ok = fetch(want_opaque, aid, &got);
                if (ks_is_standby) {
                    check(!ok);
                    continue;
                }
                if (from_cache || fits) check(ok && got == (want_opaque ? opaque : info));
            }
            if (!(flags & kNoPurge)) ks_pac_cache_purge();
        }
        ks_is_standby = 0;
    }

    // The bytes after the header, read as metadata: by the split directly,
    // and by a load through the return operations.
    const uint8_t *meta = data + 6;
    const size_t meta_len = size - 6;
    split_checked(meta, meta_len);
    if ((flags & kRawMeta) && ks_use_sw_ks) {
        static const uint8_t raw_handle[] = {KS_KEY_TYPE_PAC, 'r', 'a', 'w'};
        static const uint8_t raw_key[] = {'k'};
        if (ks_sw_store_sym_key(raw_handle, sizeof raw_handle, nullptr, 0, raw_key, sizeof raw_key,
                                meta_len ? meta : nullptr, meta_len) == KS_SUCCESS) {
            std::vector<uint8_t> got;
            const std::vector<uint8_t> raw_aid(raw_handle + 1, raw_handle + sizeof raw_handle);
            pac_cache_remove(raw_aid.data(), raw_aid.size());
            if (fetch(false, raw_aid, &got)) check(got.size() >= 4 && got[1] == KS_PAC_TLV_INFO);
            pac_cache_load(raw_aid.data(), raw_aid.size());
        }
    }

    walk_and_clear();

    // Back to an empty keystore; everything the library made must be gone.
    ks_pac_cache_purge();
    const uint8_t any = 0;
    ks_sym_key_prefix_purge(&any, 0);
    ks_use_sw_ks = 1;
    ks::hw_present_answer = 1;
    ksh_reset_recorders();
    check(library_blocks() == baseline);
    return 0;
}
