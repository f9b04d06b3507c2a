// The service registries: descriptors, blocks, creation, accessors, lookups
// by service id; and the host's registry framework that subscribers use.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "keystore/ks_registry.h"
#include "keystore/platform/ks_platform.h"
#include "ks_registry_internal.h"
#include "ks_test_util.h"

namespace {

using Accessor = ks_list_header **(*)();
using Lookup = ks_list_header **(*)(uint32_t);

struct Service {
    Accessor accessor;
    uint32_t id;
};

struct Registry {
    const char *name;
    const ks_registry_descriptor *descriptor;
    void *(*block)();  // reads the exported block pointer
    size_t block_size;
    int32_t (*create)();
    Lookup lookup;
    std::vector<Service> services;  // in slot order
};

const std::vector<Registry> &registries() {
    static const std::vector<Registry> r = {
        {"KEYSTORE_HA_PUBLIC",
         &_registry_desc_keystore_ha_public,
         [] { return static_cast<void *>(_registry_keystore_ha_public); },
         sizeof(ks_registry_keystore_ha_public_block),
         create_registry_keystore_ha_public,
         registry_keystore_ha_public_get_svc_struct,
         {{registry_keystore_ha_public_get_ks_ipc_delayed_init_ptr, 0xF28E739C},
          {registry_keystore_ha_public_get_ks_ipc_delayed_init_ic_ptr, 0x023E95E7}}},
        {"KS_NOTIFY",
         &_registry_desc_ks_notify,
         [] { return static_cast<void *>(_registry_ks_notify); },
         sizeof(ks_registry_ks_notify_block),
         create_registry_ks_notify,
         registry_ks_notify_get_svc_struct,
         {{registry_ks_notify_get_ks_notify_membership_changed_ptr, 0x79F9EF8E},
          {registry_ks_notify_get_ks_notify_pac_arrival_ptr, 0xC3BC3004},
          {registry_ks_notify_get_ks_notify_pac_removal_ptr, 0x4C82DBFB},
          {registry_ks_notify_get_ks_notify_ks_changed_ptr, 0x5E9680E1},
          {registry_ks_notify_get_ks_notify_switchover_ptr, 0xE083618A}}},
        {"KS_PLATFORM",
         &_registry_desc_ks_platform,
         [] { return static_cast<void *>(_registry_ks_platform); },
         sizeof(ks_registry_ks_platform_block),
         create_registry_ks_platform,
         registry_ks_platform_get_svc_struct,
         {{registry_ks_platform_get_ks_notify_switchover_platform_ptr, 0x571254B2}}},
    };
    return r;
}

class RegistryTest : public kstest::KeystoreTest {};

TEST_F(RegistryTest, DescriptorsDescribeTheirBlocks) {
    for (const Registry &r : registries()) {
        SCOPED_TRACE(r.name);
        const ks_registry_descriptor *d = r.descriptor;
        EXPECT_STREQ(d->name, r.name);
        EXPECT_EQ(d->num_services, r.services.size());
        EXPECT_EQ(d->block_size, r.block_size);
        EXPECT_EQ(d->block_size, sizeof(ks_registry_block_head) + r.services.size() * sizeof(void *));
        ASSERT_NE(d->kinds, nullptr);
        EXPECT_EQ(d->kinds->count, r.services.size());
        EXPECT_EQ(d->kinds->ops, static_cast<const void *>(list_service_ops));
        EXPECT_EQ(d->zero[0], nullptr);
        EXPECT_EQ(d->zero[1], nullptr);
    }
    // The 32-bit device sizes of the three blocks.
    if (sizeof(void *) == 4) {
        EXPECT_EQ(_registry_desc_keystore_ha_public.block_size, 20u);
        EXPECT_EQ(_registry_desc_ks_notify.block_size, 32u);
        EXPECT_EQ(_registry_desc_ks_platform.block_size, 16u);
    }
}

TEST_F(RegistryTest, AccessorsAndLookupsGiveTheSlotsInOrder) {
    std::vector<uint32_t> all_ids;
    for (const Registry &r : registries())
        for (const Service &s : r.services) all_ids.push_back(s.id);

    for (const Registry &r : registries()) {
        SCOPED_TRACE(r.name);
        auto *base = static_cast<uint8_t *>(r.block());
        ASSERT_NE(base, nullptr);
        for (size_t i = 0; i < r.services.size(); ++i) {
            const Service &s = r.services[i];
            SCOPED_TRACE(s.id);
            auto *slot = reinterpret_cast<uint8_t *>(s.accessor());
            EXPECT_EQ(slot, base + sizeof(ks_registry_block_head) + i * sizeof(void *));
            EXPECT_EQ(r.lookup(s.id), s.accessor());
        }
        // Any id that is not one of this registry's: null.
        for (uint32_t id : all_ids) {
            bool own = false;
            for (const Service &s : r.services) own = own || s.id == id;
            if (!own) {
                EXPECT_EQ(r.lookup(id), nullptr) << std::hex << id;
            }
        }
        EXPECT_EQ(r.lookup(0), nullptr);
        EXPECT_EQ(r.lookup(0xFFFFFFFF), nullptr);
    }
}

TEST_F(RegistryTest, AccessorsFollowTheExportedPointer) {
    ks_registry_ks_notify_block moved = {};
    ks_registry_ks_notify_block *saved = _registry_ks_notify;
    _registry_ks_notify = &moved;
    EXPECT_EQ(registry_ks_notify_get_ks_notify_ks_changed_ptr(), &moved.ks_notify_ks_changed);
    EXPECT_EQ(registry_ks_notify_get_svc_struct(0x5E9680E1), &moved.ks_notify_ks_changed);
    _registry_ks_notify = saved;
    EXPECT_NE(registry_ks_notify_get_ks_notify_ks_changed_ptr(), &moved.ks_notify_ks_changed);
}

TEST_F(RegistryTest, CreationFillsTheHeadAndHandsTheBlockToTheFramework) {
    for (const Registry &r : registries()) {
        SCOPED_TRACE(r.name);
        auto *head = static_cast<ks_registry_block_head *>(r.block());
        int marker = 0;
        void *saved_framework = head->framework;
        head->framework = &marker;  // the framework's word is left alone
        head->descriptor = nullptr;
        head->zero = &marker;
        EXPECT_EQ(r.create(), 1);
        EXPECT_EQ(head->framework, &marker);
        EXPECT_EQ(head->descriptor, r.descriptor);
        EXPECT_EQ(head->zero, nullptr);
        bool known = false;
        for (size_t i = 0; i < ksh_registry_init_count(); ++i) known = known || ksh_registry_init_at(i) == head;
        EXPECT_TRUE(known);
        head->framework = saved_framework;
    }
}

// ---- The host framework: subscribing, walking, releasing ----

std::vector<char> g_calls;
ks_list_header **g_walked_slot = nullptr;
void call_a() { g_calls.push_back('a'); }
void call_b() { g_calls.push_back('b'); }
void call_c() { g_calls.push_back('c'); }
// Unsubscribes b from inside a walk.
void drop_b() {
    g_calls.push_back('x');
    ksh_registry_unsubscribe(g_walked_slot, call_b);
}

class RegistryFrameworkTest : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        g_calls.clear();
        slot_ = registry_ks_notify_get_ks_notify_pac_arrival_ptr();
        g_walked_slot = slot_;
    }
    std::vector<char> walk() {
        g_calls.clear();
        ks::invoke_list_service(slot_);
        return g_calls;
    }
    ks_list_header **slot_ = nullptr;
};

TEST_F(RegistryFrameworkTest, SubscribersAreCalledInOrderAndReleasedOnce) {
    ASSERT_EQ(ksh_registry_subscribe(slot_, call_a, 0), 1);
    ASSERT_EQ(ksh_registry_subscribe(slot_, call_b, 0), 1);
    ASSERT_EQ(ksh_registry_subscribe(slot_, call_c, 0), 1);
    EXPECT_EQ(ksh_registry_subscriber_count(slot_), 3u);
    uint64_t releases = ksh_registry_release_count();
    EXPECT_EQ(walk(), (std::vector<char>{'a', 'b', 'c'}));
    EXPECT_EQ(ksh_registry_release_count(), releases + 1);
    EXPECT_EQ((*slot_)->walk_count, 0u);  // the release ended the walk

    EXPECT_EQ(ksh_registry_unsubscribe(slot_, call_b), 1);
    EXPECT_EQ(ksh_registry_unsubscribe(slot_, call_b), 0);
    EXPECT_EQ(walk(), (std::vector<char>{'a', 'c'}));
    EXPECT_EQ(ksh_registry_subscribe(nullptr, call_a, 0), 0);
    EXPECT_EQ(ksh_registry_subscribe(slot_, nullptr, 0), 0);
}

TEST_F(RegistryFrameworkTest, UnsubscribingDuringAWalkIsDeferredToTheRelease) {
    ksh_registry_subscribe(slot_, drop_b, 0);
    ksh_registry_subscribe(slot_, call_b, 0);
    ksh_registry_subscribe(slot_, call_c, 0);
    // b is taken out during the walk: passed over, the walk goes on to c,
    // and the node is gone once the walk has been released.
    EXPECT_EQ(walk(), (std::vector<char>{'x', 'c'}));
    EXPECT_EQ((*slot_)->walk_count, 0u);
    EXPECT_EQ(ksh_registry_subscriber_count(slot_), 2u);
    size_t nodes = 0;
    for (ks_list_node *n = (*slot_)->first; n != nullptr; n = n->next) ++nodes;
    EXPECT_EQ(nodes, 2u);
    EXPECT_EQ(walk(), (std::vector<char>{'x', 'c'}));
}

TEST_F(RegistryFrameworkTest, InitRefusesABlockWithoutAListDescriptor) {
    ks_registry_descriptor bad = _registry_desc_ks_platform;
    ks_service_kinds kinds = {1, nullptr};
    bad.kinds = &kinds;
    ks_registry_ks_platform_block block = {};
    block.head.descriptor = &bad;
    EXPECT_EQ(service_registry_init(&block), 0);
    block.head.descriptor = nullptr;
    EXPECT_EQ(service_registry_init(&block), 0);
    ks_registry_descriptor small = _registry_desc_ks_platform;
    small.block_size = sizeof(ks_registry_block_head);
    block.head.descriptor = &small;
    EXPECT_EQ(service_registry_init(&block), 0);
}

}  // namespace
