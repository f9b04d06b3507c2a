// Mode flags, start-up, the emulation switch with its change notification,
// maintenance calls, and the subsystem registration done at load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore/ks_registry.h"
#include "keystore/ks_storage.h"
#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "ks_test_util.h"

namespace {

// State as the loaded library left it, read before any test runs (the
// registrations have run by then: they are load-time initialisers).
struct AtLoad {
    int32_t use_sw_ks, is_standby, rf_disabled, rf_do_peer_syncs, use_zav_ha, initialized, debug_api, debug_ha,
        debug_ae46c1, lib_index;
    std::vector<std::string> subsystems;
};
AtLoad capture_at_load() {
    AtLoad a = {ks_use_sw_ks,  ks_is_standby, ks_rf_disabled,  ks_rf_do_peer_syncs, ks_use_zav_ha,
                ks_initialized, ks_debug_api, ks_debug_ha,     ks_debug_ae46c1,     aaa_lib_index,
                {}};
    for (size_t i = 0; i < ksh_subsystem_count(); ++i) a.subsystems.push_back(ksh_subsystem_name(i));
    return a;
}
const AtLoad kAtLoad = capture_at_load();

// Subscribers of ks_notify_ks_changed record their calls and the mode they
// see when called.
std::vector<char> g_calls;
std::vector<int32_t> g_seen_mode;
std::vector<uintptr_t> g_seen_walks;
void note(char who) {
    g_calls.push_back(who);
    g_seen_mode.push_back(ks_are_we_using_sw_emulation());
    g_seen_walks.push_back((*registry_ks_notify_get_ks_notify_ks_changed_ptr())->walk_count);
}
void sub_a() { note('a'); }
void sub_b() { note('b'); }
void sub_c() { note('c'); }
// Subscribed to another service of the same registry: must never run.
void sub_other() { note('o'); }

class ModesTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        g_calls.clear();
        g_seen_mode.clear();
        g_seen_walks.clear();
        releases_ = ksh_registry_release_count();
    }
    static ks_list_header **changed_slot() { return registry_ks_notify_get_ks_notify_ks_changed_ptr(); }
    uint64_t releases() const { return ksh_registry_release_count() - releases_; }
    uint64_t releases_ = 0;
};

TEST_F(ModesTest, FlagsAtLoad) {
    const AtLoad &a = kAtLoad;
    // In declaration order: only the two debug switches start at 1.
    EXPECT_EQ((std::vector<int32_t>{a.use_sw_ks, a.is_standby, a.rf_disabled, a.rf_do_peer_syncs, a.use_zav_ha,
                                    a.initialized, a.debug_api, a.debug_ha, a.debug_ae46c1, a.lib_index}),
              (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 1, 1, 0, 0}));
}

TEST_F(ModesTest, FourHeadersRegisteredInOrderAtLoad) {
    EXPECT_EQ(kAtLoad.subsystems,
              (std::vector<std::string>{"keystore", "keystore_early", "keystore_crypto",
                                        "keystore_ha_public_registry"}));
    ASSERT_EQ(ksh_subsystem_count(), 4u);
    const uint32_t classes[] = {11, 6, 12, 2};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        auto *h = static_cast<const ks_subsystem_header *>(ksh_subsystem_at(i));
        EXPECT_EQ(h->format, 2u);
        EXPECT_EQ(h->fixed1, 1u);
        EXPECT_EQ(h->fixed2, 0u);
        EXPECT_EQ(h->fixed3, 1u);
        EXPECT_EQ(h->class_number, classes[i]);
        ASSERT_NE(h->init, nullptr);
        for (void *z : h->zero) EXPECT_EQ(z, nullptr);
    }
    EXPECT_EQ(static_cast<const ks_subsystem_header *>(ksh_subsystem_at(0))->init, &keystore_init);
}

TEST_F(ModesTest, OtherSubsystemsInitialiseNothing) {
    ks_use_sw_ks = 0;
    ksh_registry_subscribe(changed_slot(), sub_a, 0);
    for (size_t i = 1; i < 4; ++i) {
        auto *h = static_cast<const ks_subsystem_header *>(ksh_subsystem_at(i));
        EXPECT_NE(h->init, &keystore_init);
        h->init();
    }
    EXPECT_EQ(ks_use_sw_ks, 0);
    EXPECT_STREQ(ks_sw_sym_key_fname, "/flash/private-KS1");
    EXPECT_EQ(ksh_trace_count(), 0u);
    EXPECT_EQ(ksh_hw_query_log(nullptr, 0), 0u);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(ModesTest, KeystoreInitSelectsSoftwareWithoutNotifying) {
    ks_use_sw_ks = 0;
    ksh_registry_subscribe(changed_slot(), sub_a, 0);
    ksh_set_hw_models(1u << 4);  // a boot-flash board
    keystore_init();
    EXPECT_EQ(ks_use_sw_ks, 1);
    EXPECT_EQ(ks_are_we_using_sw_emulation(), 1);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(releases(), 0u);
    EXPECT_STREQ(ks_sw_sym_key_fname, "/bootflash/private-KS1");
    // The storage trace, then the start-up trace.
    ASSERT_EQ(ksh_trace_count(), 2u);
    EXPECT_EQ(ksh_trace_at(0)->table, 2);
    const ksh_trace_record *t = ksh_trace_at(1);
    EXPECT_EQ(t->table, 0);
    EXPECT_EQ(t->index, 1u);
    EXPECT_EQ(t->module_id, trace_module_ids[2]);
    EXPECT_EQ(t->level, 0x7000000u);
    ASSERT_EQ(t->nargs, 1);
    EXPECT_STREQ(t->args[0].s, "KEYSTORE_DBG");
}

TEST_F(ModesTest, StartingThePlatformSelectsSoftwareWithoutNotifying) {
    ks_use_sw_ks = 0;
    ksh_registry_subscribe(changed_slot(), sub_a, 0);
    ksh_platform_reset_started();
    ksh_platform_start();
    EXPECT_EQ(ks_use_sw_ks, 1);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(releases(), 0u);
    EXPECT_EQ(ksh_trace_count(), 1u);  // keystore_init ran once (not a boot-flash board)
    EXPECT_EQ(ksh_hw_query_log(nullptr, 0), 31u);

    // Started once: a second start runs nothing.
    ksh_trace_clear();
    ksh_platform_start();
    EXPECT_EQ(ksh_trace_count(), 0u);
}

// Stand-ins put into the registered headers to see the order of the calls.
std::vector<size_t> g_init_order;
template <size_t I>
void record_init() {
    g_init_order.push_back(I);
}

TEST_F(ModesTest, PlatformStartRunsHeadersInClassOrder) {
    auto header = [](size_t i) { return static_cast<ks_subsystem_header *>(const_cast<void *>(ksh_subsystem_at(i))); };
    void (*const stand_ins[])() = {record_init<0>, record_init<1>, record_init<2>, record_init<3>};
    void (*saved[4])();
    for (size_t i = 0; i < 4; ++i) {
        saved[i] = header(i)->init;
        header(i)->init = stand_ins[i];
    }
    g_init_order.clear();
    ksh_platform_reset_started();
    ksh_platform_start();
    for (size_t i = 0; i < 4; ++i) header(i)->init = saved[i];
    // Classes 2, 6, 11, 12: ha_public_registry, early, keystore, crypto.
    EXPECT_EQ(g_init_order, (std::vector<size_t>{3, 1, 0, 2}));
}

TEST_F(ModesTest, EmulationSwitchComparesRawThenStoresOneOrZero) {
    struct Case {
        int32_t before, arg, after;
        bool notified;
    } cases[] = {
        {1, 1, 1, false}, {0, 0, 0, false}, {1, 0, 0, true},   {0, 1, 1, true},
        {1, 5, 1, true},  {0, 5, 1, true},  {5, 5, 5, false},  {2, 1, 1, true},
        {1, -1, 1, true}, {0, INT32_MIN, 1, true},
    };
    ksh_registry_subscribe(changed_slot(), sub_a, 0);
    ksh_registry_subscribe(registry_ks_notify_get_ks_notify_switchover_ptr(), sub_other, 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.before << " then " << c.arg);
        g_calls.clear();
        g_seen_mode.clear();
        uint64_t before_releases = ksh_registry_release_count();
        ks_use_sw_ks = c.before;
        ks_use_sw_emulation(c.arg);
        EXPECT_EQ(ks_use_sw_ks, c.after);
        EXPECT_EQ(g_calls, c.notified ? std::vector<char>{'a'} : std::vector<char>{});
        EXPECT_EQ(ksh_registry_release_count() - before_releases, c.notified ? 1u : 0u);
        // Subscribers run after the flag has changed.
        if (c.notified) {
            EXPECT_EQ(g_seen_mode, std::vector<int32_t>{c.after});
        }
    }
    EXPECT_EQ(ksh_trace_count(), 0u);
}

TEST_F(ModesTest, ZeroThenOneNotifiesTwice) {
    ksh_registry_subscribe(changed_slot(), sub_a, 0);
    ks_use_sw_ks = 1;
    ks_use_sw_emulation(0);
    ks_use_sw_emulation(1);
    ks_use_sw_emulation(1);
    EXPECT_EQ(g_calls, (std::vector<char>{'a', 'a'}));
    EXPECT_EQ(g_seen_mode, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(releases(), 2u);
}

TEST_F(ModesTest, FlaggedNodeIsPassedOverAndLaterNodesStillRun) {
    ksh_registry_subscribe(changed_slot(), sub_a, 0);
    ksh_registry_subscribe(changed_slot(), sub_b, KS_LIST_NODE_SKIP);
    ksh_registry_subscribe(changed_slot(), sub_c, KS_LIST_NODE_SKIP | 0x02);
    ksh_registry_subscribe(changed_slot(), sub_c, 0);
    ksh_registry_subscribe(changed_slot(), sub_a, 0x02);  // only bit 0 means "pass over"
    ks_use_sw_ks = 1;
    ks_use_sw_emulation(0);
    EXPECT_EQ(g_calls, (std::vector<char>{'a', 'c', 'a'}));
    // Each subscriber runs inside one walk; the release ends it.
    EXPECT_EQ(g_seen_walks, (std::vector<uintptr_t>{1, 1, 1}));
    EXPECT_EQ((*changed_slot())->walk_count, 0u);
    EXPECT_EQ(releases(), 1u);
}

TEST_F(ModesTest, EmptySlotAndEmptyList) {
    ks_use_sw_ks = 1;
    ks_use_sw_emulation(0);  // nobody subscribed: nothing, not even a release
    EXPECT_EQ(ks_use_sw_ks, 0);
    EXPECT_EQ(releases(), 0u);

    ASSERT_EQ(ksh_registry_make_empty_list(changed_slot()), 1);
    ks_use_sw_emulation(1);
    EXPECT_EQ(ks_use_sw_ks, 1);
    EXPECT_EQ(releases(), 1u);
    EXPECT_EQ((*changed_slot())->walk_count, 0u);
}

TEST_F(ModesTest, SettersStoreTheValueUnchanged) {
    ks_set_standby_mode(7);
    EXPECT_EQ(ks_is_standby, 7);
    ks_set_standby_mode(0);
    EXPECT_EQ(ks_is_standby, 0);
    ks_set_zav_for_incr_sync(-3);
    EXPECT_EQ(ks_use_zav_ha, -3);
    EXPECT_EQ(ks_use_zav_for_incr_sync(), -3);
    ks_set_zav_for_incr_sync(0);
    EXPECT_EQ(ks_use_zav_for_incr_sync(), 0);

    ks_disable_rf();
    ks_disable_rf();
    EXPECT_EQ(ks_rf_disabled, 1);

    ks_wait_on_keystore_init();
    EXPECT_EQ(ks_initialized, 1);
    ks_wait_on_keystore_init();
    EXPECT_EQ(ks_initialized, 1);
    ks_initialized = 9;  // already acknowledged: left as it is
    ks_wait_on_keystore_init();
    EXPECT_EQ(ks_initialized, 9);
}

TEST_F(ModesTest, MaintenanceGoesToTheHardwareContract) {
    uint32_t version = 0xAAAA, status = 0xBBBB;
    uint8_t eeprom[8] = {};
    for (int32_t sw : {0, 1}) {
        SCOPED_TRACE(sw);
        ks_use_sw_ks = sw;
        ks_is_standby = 0;
        EXPECT_EQ(ks_compact_fw_memory(), KS_SUCCESS);
        ks_is_standby = 1;
        EXPECT_EQ(ks_compact_fw_memory(), KS_STDBY_NOT_SUPPORTED);
        // Not refused on a standby.
        EXPECT_EQ(ks_return_fw_version_and_status(&version, &status), KS_SUCCESS);
        EXPECT_EQ(ks_dump_eeprom(eeprom, sizeof eeprom), KS_SUCCESS);
        EXPECT_EQ(ks_write_eeprom_byte(0x00FFFFFF, 1), KS_SUCCESS);
    }
    EXPECT_EQ(version, 0xAAAAu);
    EXPECT_EQ(status, 0xBBBBu);
}

TEST_F(ModesTest, EepromCellValueIsTwentyFourBits) {
    struct Case {
        uint32_t value;
        int32_t status;
    } cases[] = {
        {0, KS_SUCCESS},           {0x00FFFFFF, KS_SUCCESS},    {0x01000000, KS_INVAL_ARGS},
        {0x80000000, KS_INVAL_ARGS}, {0xFFFFFFFF, KS_INVAL_ARGS}, {0x7F000001, KS_INVAL_ARGS},
    };
    for (const Case &c : cases) EXPECT_EQ(ks_write_eeprom_byte(c.value, 0), c.status) << std::hex << c.value;
}

}  // namespace
