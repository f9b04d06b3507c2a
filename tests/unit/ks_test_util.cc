#include "ks_test_util.h"

#include <cstdio>
#include <cstring>

#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_registry.h"
#include "keystore/ks_storage.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_hw_seam.h"
#include "ks_pac_clock.h"
#include "ks_mschap_core.h"

namespace kstest {
namespace {

// Blocks the library keeps for the life of the process by design: the key
// table's slot array, the NT password hash work buffer and the key table's
// handle index.
constexpr uint32_t kKeptTags[] = {0x0460009B, 0x046000A6, 0x04600095};

uint64_t library_blocks() {
    uint64_t n = ksh_alloc_live_blocks();
    for (uint32_t tag : kKeptTags) n -= ksh_alloc_tag_live_blocks(tag);
    return n;
}

}  // namespace

void reset_keystore() {
    // Each area adds the reset of its own process-wide state here.
    // Empty the key table; its slot array stays, as it does in the library.
    static const uint8_t kAnyPrefix = 0;
    ks_sym_key_prefix_purge(&kAnyPrefix, 0);
    ks_use_sw_ks = 1;
    ks_is_standby = 0;
    ks_rf_disabled = 0;
    ks::hw_present_answer = 1;
    ks::pac_clock = &time;
    ks::nt_password_hash_release();
    ks_pac_cache_purge();
    ks_use_zav_ha = 0;
    ks_initialized = 0;
    // Key file names at their load values, a board that is not of the
    // boot-flash family, and no subscriber left in any registry.
    std::strcpy(ks_sw_sym_key_fname, "/flash/private-KS1");
    std::strcpy(ks_sw_rsa_key_fname, "/flash/private-KS2");
    ksh_set_hw_models(0);
    ksh_set_board_subtype(0);
    for (ks_list_header **slot : {registry_keystore_ha_public_get_ks_ipc_delayed_init_ptr(),
                                  registry_keystore_ha_public_get_ks_ipc_delayed_init_ic_ptr(),
                                  registry_ks_notify_get_ks_notify_membership_changed_ptr(),
                                  registry_ks_notify_get_ks_notify_pac_arrival_ptr(),
                                  registry_ks_notify_get_ks_notify_pac_removal_ptr(),
                                  registry_ks_notify_get_ks_notify_ks_changed_ptr(),
                                  registry_ks_notify_get_ks_notify_switchover_ptr(),
                                  registry_ks_platform_get_ks_notify_switchover_platform_ptr()})
        ksh_registry_clear(slot);
    ksh_set_recording(KSH_RECORD_DEFAULT_CAPACITY);  // the tests read what the library traced
    ksh_reset_recorders();
    ksh_trace_set_hook(nullptr, nullptr);
    ksh_showmsg_reset();
}

void KeystoreTest::SetUp() {
    reset_keystore();
    baseline_blocks_ = library_blocks();
}

void KeystoreTest::TearDown() {
    ksh_alloc_clear_faults();
    reset_keystore();
    uint64_t live = library_blocks();
    if (live != baseline_blocks_) {
        ksh_alloc_leak_report(stderr);
        ADD_FAILURE() << "live blocks after the test: " << live << ", before: " << baseline_blocks_;
    }
}

std::vector<uint8_t> bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;  // spaces and separators
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

std::string to_hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

}  // namespace kstest
