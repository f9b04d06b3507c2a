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

// The flags in declaration order and the registered subsystems as the loaded
// library left them, read before any test runs.
const std::vector<int32_t> kFlagsAtLoad = {ks_use_sw_ks,  ks_is_standby, ks_rf_disabled, ks_rf_do_peer_syncs,
                                          ks_use_zav_ha, ks_initialized, ks_debug_api, ks_debug_ha,
                                          ks_debug_ae46c1, aaa_lib_index};
const size_t kSubsystemsAtLoad = ksh_subsystem_count();

// Subscribers record their calls and the mode and walk count they see.
std::string g_calls;
std::vector<int32_t> g_seen_mode;
std::vector<uintptr_t> g_seen_walks;
ks_list_header **changed_slot() { return registry_ks_notify_get_ks_notify_ks_changed_ptr(); }
template <char C>
void sub() {
    g_calls += C;
    g_seen_mode.push_back(ks_are_we_using_sw_emulation());
    g_seen_walks.push_back((*changed_slot())->walk_count);
}

ks_subsystem_header *header(size_t i) {
    return static_cast<ks_subsystem_header *>(const_cast<void *>(ksh_subsystem_at(i)));
}

class ModesTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        g_calls.clear();
        g_seen_mode.clear();
        g_seen_walks.clear();
        releases_ = ksh_registry_release_count();
    }
    uint64_t releases() const { return ksh_registry_release_count() - releases_; }
    uint64_t releases_ = 0;
};

TEST_F(ModesTest, FlagsAndFourRegistrationsAtLoad) {
    EXPECT_EQ(kFlagsAtLoad, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 1, 1, 0, 0}));
    ASSERT_EQ(kSubsystemsAtLoad, 4u);
    const char *names[] = {"keystore", "keystore_early", "keystore_crypto", "keystore_ha_public_registry"};
    const uint32_t classes[] = {11, 6, 12, 2};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const ks_subsystem_header *h = header(i);
        EXPECT_STREQ(ksh_subsystem_name(i), names[i]);
        EXPECT_EQ(std::vector<uint32_t>({h->format, h->fixed1, h->fixed2, h->fixed3, h->class_number}),
                  std::vector<uint32_t>({2, 1, 0, 1, classes[i]}));
        EXPECT_EQ(h->init == &keystore_init, i == 0);
        for (void *z : h->zero) EXPECT_EQ(z, nullptr);
    }
}

// keystore_init (the other subsystems initialise nothing) selects the
// software keystore without a notification, sets the storage location and
// traces; starting the platform runs it, once.
TEST_F(ModesTest, StartUpSelectsSoftwareWithoutNotifying) {
    ksh_registry_subscribe(changed_slot(), sub<'a'>, 0);
    ks_use_sw_ks = 0;
    for (size_t i = 1; i < 4; ++i) header(i)->init();
    EXPECT_EQ(ks_use_sw_ks + ksh_trace_count(), 0u);
    ksh_set_hw_models(1u << 4);  // a boot-flash board
    keystore_init();
    EXPECT_EQ(ks_are_we_using_sw_emulation(), 1);
    EXPECT_STREQ(ks_sw_sym_key_fname, "/bootflash/private-KS1");
    // The storage trace, then the start-up trace.
    ASSERT_EQ(ksh_trace_count(), 2u);
    EXPECT_EQ(ksh_trace_at(0)->table, 2);
    const ksh_trace_record *t = ksh_trace_at(1);
    EXPECT_EQ(std::vector<uint32_t>({uint32_t(t->table), t->index, t->module_id, t->level, uint32_t(t->nargs)}),
              std::vector<uint32_t>({0, 1, trace_module_ids[2], 0x7000000, 1}));
    EXPECT_STREQ(t->args[0].s, "KEYSTORE_DBG");

    ks_use_sw_ks = 0;
    ksh_set_hw_models(0);
    ksh_trace_clear();
    ksh_hw_query_log_clear();
    ksh_platform_reset_started();
    ksh_platform_start();
    ksh_platform_start();  // started once: the second start runs nothing
    EXPECT_EQ(ks_use_sw_ks, 1);
    EXPECT_EQ(ksh_trace_count(), 1u);  // keystore_init ran once (not a boot-flash board)
    EXPECT_EQ(ksh_hw_query_log(nullptr, 0), 31u);
    EXPECT_EQ(g_calls, "");
    EXPECT_EQ(releases(), 0u);
}

std::vector<size_t> g_init_order;
template <size_t I>
void record_init() {
    g_init_order.push_back(I);
}

TEST_F(ModesTest, PlatformStartRunsHeadersInClassOrder) {
    void (*const stand_ins[])() = {record_init<0>, record_init<1>, record_init<2>, record_init<3>};
    void (*saved[4])();
    for (size_t i = 0; i < 4; ++i) saved[i] = header(i)->init, header(i)->init = stand_ins[i];
    g_init_order.clear();
    ksh_platform_reset_started();
    ksh_platform_start();
    for (size_t i = 0; i < 4; ++i) header(i)->init = saved[i];
    // Classes 2, 6, 11, 12: ha_public_registry, early, keystore, crypto.
    EXPECT_EQ(g_init_order, (std::vector<size_t>{3, 1, 0, 2}));
}

// The switch compares the raw value, stores 1 or 0 and then walks the list;
// subscribers of another service never run.
TEST_F(ModesTest, EmulationSwitchComparesRawThenStoresOneOrZero) {
    const struct {
        int32_t before, arg, after;
        bool notified;
    } cases[] = {
        {1, 1, 1, false}, {0, 0, 0, false}, {1, 0, 0, true},   {0, 1, 1, true},
        {1, 5, 1, true},  {0, 5, 1, true},  {5, 5, 5, false},  {2, 1, 1, true},
        {1, -1, 1, true}, {0, INT32_MIN, 1, true},
    };
    ksh_registry_subscribe(changed_slot(), sub<'a'>, 0);
    ksh_registry_subscribe(registry_ks_notify_get_ks_notify_switchover_ptr(), sub<'o'>, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.before << " then " << c.arg);
        g_calls.clear();
        g_seen_mode.clear();
        uint64_t before_releases = ksh_registry_release_count();
        ks_use_sw_ks = c.before;
        ks_use_sw_emulation(c.arg);
        EXPECT_EQ(ks_use_sw_ks, c.after);
        EXPECT_EQ(g_calls, c.notified ? "a" : "");
        EXPECT_EQ(ksh_registry_release_count() - before_releases, c.notified ? 1u : 0u);
        EXPECT_EQ(g_seen_mode, c.notified ? std::vector<int32_t>{c.after} : std::vector<int32_t>{});  // after the change
    }
}

// Only bit 0 of a node's flags means "pass over"; each subscriber runs inside
// one walk, which the release ends. An empty slot gets no release, an empty
// list one.
TEST_F(ModesTest, FlaggedNodesEmptySlotAndEmptyList) {
    ks_use_sw_ks = 1;
    ks_use_sw_emulation(0);
    EXPECT_EQ(releases(), 0u);
    ASSERT_EQ(ksh_registry_make_empty_list(changed_slot()), 1);
    ks_use_sw_emulation(1);
    EXPECT_EQ(releases(), 1u);
    const std::pair<void (*)(), uint32_t> nodes[] = {
        {sub<'a'>, 0}, {sub<'b'>, KS_LIST_NODE_SKIP}, {sub<'c'>, KS_LIST_NODE_SKIP | 0x02}, {sub<'c'>, 0}, {sub<'a'>, 0x02}};
    for (const auto &[fn, flags] : nodes) ksh_registry_subscribe(changed_slot(), fn, flags);
    ks_use_sw_emulation(0);
    EXPECT_EQ(g_calls, "aca");
    EXPECT_EQ(g_seen_walks, (std::vector<uintptr_t>{1, 1, 1}));
    EXPECT_EQ((*changed_slot())->walk_count, 0u);
    EXPECT_EQ(releases(), 2u);
}

TEST_F(ModesTest, SettersAndTheInitAcknowledgement) {
    ks_set_standby_mode(7);
    ks_set_zav_for_incr_sync(-3);
    ks_disable_rf();
    EXPECT_EQ(std::vector<int32_t>({ks_is_standby, ks_use_zav_for_incr_sync(), ks_rf_disabled}),
              std::vector<int32_t>({7, -3, 1}));
    ks_wait_on_keystore_init();
    EXPECT_EQ(ks_initialized, 1);
    ks_initialized = 9;  // already acknowledged: left as it is
    ks_wait_on_keystore_init();
    EXPECT_EQ(ks_initialized, 9);
}

// Compaction is refused on a standby, the other maintenance calls are not;
// the contract's stubs write nothing; an EEPROM cell holds 24 bits.
TEST_F(ModesTest, MaintenanceGoesToTheHardwareContract) {
    uint32_t version = 0xAAAA, status = 0xBBBB;
    uint8_t eeprom[8] = {};
    for (int32_t sw : {0, 1}) {
        ks_use_sw_ks = sw;
        ks_is_standby = 0;
        EXPECT_EQ(ks_compact_fw_memory(), KS_SUCCESS);
        ks_is_standby = 1;
        EXPECT_EQ(ks_compact_fw_memory(), KS_STDBY_NOT_SUPPORTED);
        EXPECT_EQ(ks_return_fw_version_and_status(&version, &status), KS_SUCCESS);
        EXPECT_EQ(ks_dump_eeprom(eeprom, sizeof eeprom), KS_SUCCESS);
    }
    EXPECT_EQ(version + status, 0xAAAAu + 0xBBBBu);
    const std::pair<uint32_t, int32_t> cells[] = {{0, KS_SUCCESS}, {0x00FFFFFF, KS_SUCCESS}, {0x01000000, KS_INVAL_ARGS},
                                                  {0x80000000, KS_INVAL_ARGS}, {0x7F000001, KS_INVAL_ARGS}};
    for (const auto &[value, want] : cells) EXPECT_EQ(ks_write_eeprom_byte(value, 0), want) << std::hex << value;
}

}  // namespace
