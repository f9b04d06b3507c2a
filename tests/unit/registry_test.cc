// The service registries: descriptors, blocks, creation, accessors, lookups
// by service id; and the host's registry framework that subscribers use.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keystore/ks_registry.h"
#include "keystore/platform/ks_platform.h"
#include "ks_registry_internal.h"
#include "ks_test_util.h"

namespace {

struct Registry {
    const char *name;
    const ks_registry_descriptor *descriptor;
    void *(*block)();  // reads the exported block pointer
    size_t block_size, size32;  // size32: on the 32-bit device
    int32_t (*create)();
    ks_list_header **(*lookup)(uint32_t);
    std::vector<std::pair<ks_list_header **(*)(), uint32_t>> services;  // accessor and id, in slot order
};

const std::vector<Registry> kRegistries = {
    {"KEYSTORE_HA_PUBLIC", &_registry_desc_keystore_ha_public, [] { return static_cast<void *>(_registry_keystore_ha_public); },
     sizeof(ks_registry_keystore_ha_public_block), 20, create_registry_keystore_ha_public,
     registry_keystore_ha_public_get_svc_struct,
     {{registry_keystore_ha_public_get_ks_ipc_delayed_init_ptr, 0xF28E739C},
      {registry_keystore_ha_public_get_ks_ipc_delayed_init_ic_ptr, 0x023E95E7}}},
    {"KS_NOTIFY", &_registry_desc_ks_notify, [] { return static_cast<void *>(_registry_ks_notify); },
     sizeof(ks_registry_ks_notify_block), 32, create_registry_ks_notify, registry_ks_notify_get_svc_struct,
     {{registry_ks_notify_get_ks_notify_membership_changed_ptr, 0x79F9EF8E},
      {registry_ks_notify_get_ks_notify_pac_arrival_ptr, 0xC3BC3004},
      {registry_ks_notify_get_ks_notify_pac_removal_ptr, 0x4C82DBFB},
      {registry_ks_notify_get_ks_notify_ks_changed_ptr, 0x5E9680E1},
      {registry_ks_notify_get_ks_notify_switchover_ptr, 0xE083618A}}},
    {"KS_PLATFORM", &_registry_desc_ks_platform, [] { return static_cast<void *>(_registry_ks_platform); },
     sizeof(ks_registry_ks_platform_block), 16, create_registry_ks_platform, registry_ks_platform_get_svc_struct,
     {{registry_ks_platform_get_ks_notify_switchover_platform_ptr, 0x571254B2}}},
};

class RegistryTest : public kstest::KeystoreTest {};

// Descriptor and block; creation fills the head, leaves the framework's word
// alone and hands the block to the framework; accessors and lookups give the
// slots in order and lookups refuse every other registry's ids.
TEST_F(RegistryTest, DescriptorsBlocksCreationAccessorsAndLookups) {
    for (const Registry &r : kRegistries) {
        SCOPED_TRACE(r.name);
        const ks_registry_descriptor *d = r.descriptor;
        EXPECT_STREQ(d->name, r.name);
        EXPECT_EQ(d->num_services, r.services.size());
        EXPECT_EQ(d->block_size, r.block_size);
        EXPECT_EQ(d->block_size, sizeof(ks_registry_block_head) + r.services.size() * sizeof(void *));
        EXPECT_EQ(d->block_size, sizeof(void *) == 4 ? r.size32 : r.block_size);
        ASSERT_NE(d->kinds, nullptr);
        EXPECT_EQ(d->kinds->count, r.services.size());
        EXPECT_EQ(d->kinds->ops, static_cast<const void *>(list_service_ops));
        EXPECT_TRUE(d->zero[0] == nullptr && d->zero[1] == nullptr);

        auto *head = static_cast<ks_registry_block_head *>(r.block());
        int marker = 0;
        void *saved_framework = head->framework;
        head->framework = &marker;
        head->descriptor = nullptr;
        head->zero = &marker;
        EXPECT_EQ(r.create(), 1);
        EXPECT_EQ(head->framework, &marker);
        EXPECT_EQ(head->descriptor, d);
        EXPECT_EQ(head->zero, nullptr);
        EXPECT_EQ(ksh_registry_init_at(ksh_registry_init_count() - 1), head);
        head->framework = saved_framework;

        for (size_t i = 0; i < r.services.size(); ++i) {
            EXPECT_EQ(reinterpret_cast<uint8_t *>(r.services[i].first()),
                      reinterpret_cast<uint8_t *>(head + 1) + i * sizeof(void *)) << i;
            EXPECT_EQ(r.lookup(r.services[i].second), r.services[i].first()) << i;
        }
        for (const Registry &other : kRegistries)
            for (const auto &s : other.services)
                EXPECT_EQ(r.lookup(s.second) == nullptr, &other != &r) << std::hex << s.second;
        EXPECT_EQ(r.lookup(0), nullptr);
    }
    // Accessors and lookups follow the exported pointer.
    ks_registry_ks_notify_block moved = {}, *saved = _registry_ks_notify;
    _registry_ks_notify = &moved;
    EXPECT_EQ(registry_ks_notify_get_ks_notify_ks_changed_ptr(), &moved.ks_notify_ks_changed);
    EXPECT_EQ(registry_ks_notify_get_svc_struct(0x5E9680E1), &moved.ks_notify_ks_changed);
    _registry_ks_notify = saved;
}

// ---- The host framework: subscribing, walking, releasing ----

std::string g_calls;
ks_list_header **g_slot = nullptr;
template <char C>
void call() {
    g_calls += C;
}
void drop_b() {  // unsubscribes b from inside a walk
    g_calls += 'x';
    ksh_registry_unsubscribe(g_slot, call<'b'>);
}

std::string walk() {
    g_calls.clear();
    ks::invoke_list_service(g_slot);
    return g_calls;
}

TEST_F(RegistryTest, FrameworkCallsInOrderReleasesOnceAndDefersUnsubscribing) {
    g_slot = registry_ks_notify_get_ks_notify_pac_arrival_ptr();
    for (void (*fn)() : {call<'a'>, call<'b'>, call<'c'>}) ASSERT_EQ(ksh_registry_subscribe(g_slot, fn, 0), 1);
    uint64_t releases = ksh_registry_release_count();
    EXPECT_EQ(walk(), "abc");
    EXPECT_EQ(ksh_registry_release_count(), releases + 1);
    EXPECT_EQ((*g_slot)->walk_count, 0u);  // the release ended the walk
    EXPECT_EQ(ksh_registry_unsubscribe(g_slot, call<'b'>), 1);
    EXPECT_EQ(ksh_registry_unsubscribe(g_slot, call<'b'>), 0);
    EXPECT_EQ(walk(), "ac");
    EXPECT_EQ(ksh_registry_subscribe(nullptr, call<'a'>, 0), 0);
    EXPECT_EQ(ksh_registry_subscribe(g_slot, nullptr, 0), 0);

    // b taken out during a walk is passed over, the walk goes on, and the
    // node is gone once the walk has been released.
    ksh_registry_clear(g_slot);
    for (void (*fn)() : {drop_b, call<'b'>, call<'c'>}) ksh_registry_subscribe(g_slot, fn, 0);
    EXPECT_EQ(walk(), "xc");
    size_t nodes = 0;
    for (ks_list_node *n = (*g_slot)->first; n != nullptr; n = n->next) ++nodes;
    EXPECT_EQ(nodes, 2u);
    EXPECT_EQ(ksh_registry_subscriber_count(g_slot), 2u);
}

TEST_F(RegistryTest, FrameworkInitRefusesABlockWithoutAListDescriptor) {
    ks_registry_descriptor bad = _registry_desc_ks_platform, small = _registry_desc_ks_platform;
    ks_service_kinds kinds = {1, nullptr};
    bad.kinds = &kinds;
    small.block_size = sizeof(ks_registry_block_head);
    ks_registry_ks_platform_block block = {};
    for (const ks_registry_descriptor *d : {&bad, &small}) {
        block.head.descriptor = d;
        EXPECT_EQ(service_registry_init(&block), 0);
    }
    block.head.descriptor = nullptr;
    EXPECT_EQ(service_registry_init(&block), 0);
}

}  // namespace
