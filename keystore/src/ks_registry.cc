// SPDX-License-Identifier: Apache-2.0
// The service registries "KEYSTORE_HA_PUBLIC", "KS_NOTIFY" and "KS_PLATFORM":
// descriptors, blocks, creation, slot accessors, lookups by service id, and
// the walk over a list service.
#include <cstddef>

#include "keystore/ks_registry.h"
#include "keystore/platform/ks_platform.h"
#include "ks_registry_internal.h"

namespace {

// Framework records the platform reads: pointer-sized words, slots after the
// three-word head.
constexpr size_t kWord = sizeof(void *);
constexpr size_t kHead = sizeof(ks_registry_block_head);
static_assert(kHead == 3 * kWord);
static_assert(offsetof(ks_registry_keystore_ha_public_block, ks_ipc_delayed_init) == kHead &&
              offsetof(ks_registry_keystore_ha_public_block, ks_ipc_delayed_init_ic) == kHead + kWord &&
              sizeof(ks_registry_keystore_ha_public_block) == kHead + 2 * kWord);
static_assert(offsetof(ks_registry_ks_notify_block, ks_notify_membership_changed) == kHead &&
              offsetof(ks_registry_ks_notify_block, ks_notify_pac_arrival) == kHead + kWord &&
              offsetof(ks_registry_ks_notify_block, ks_notify_pac_removal) == kHead + 2 * kWord &&
              offsetof(ks_registry_ks_notify_block, ks_notify_ks_changed) == kHead + 3 * kWord &&
              offsetof(ks_registry_ks_notify_block, ks_notify_switchover) == kHead + 4 * kWord &&
              sizeof(ks_registry_ks_notify_block) == kHead + 5 * kWord);
static_assert(offsetof(ks_registry_ks_platform_block, ks_notify_switchover_platform) == kHead &&
              sizeof(ks_registry_ks_platform_block) == kHead + kWord);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ks_registry_keystore_ha_public_block) == 20 && sizeof(ks_registry_ks_notify_block) == 32 &&
              sizeof(ks_registry_ks_platform_block) == 16);
static_assert(offsetof(ks_registry_keystore_ha_public_block, ks_ipc_delayed_init_ic) == 16 &&
              offsetof(ks_registry_ks_notify_block, ks_notify_ks_changed) == 24 &&
              offsetof(ks_registry_ks_notify_block, ks_notify_switchover) == 28 &&
              offsetof(ks_registry_ks_platform_block, ks_notify_switchover_platform) == 12);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(ks_registry_keystore_ha_public_block) == 40 && sizeof(ks_registry_ks_notify_block) == 64 &&
              sizeof(ks_registry_ks_platform_block) == 32);
static_assert(offsetof(ks_registry_keystore_ha_public_block, ks_ipc_delayed_init_ic) == 32 &&
              offsetof(ks_registry_ks_notify_block, ks_notify_ks_changed) == 48 &&
              offsetof(ks_registry_ks_notify_block, ks_notify_switchover) == 56 &&
              offsetof(ks_registry_ks_platform_block, ks_notify_switchover_platform) == 24);
#endif

// Service counts; the descriptors' size fields are the blocks' real sizes.
constexpr uint16_t kHaPublicServices = 2;
constexpr uint16_t kNotifyServices = 5;
constexpr uint16_t kPlatformServices = 1;
static_assert(sizeof(ks_registry_keystore_ha_public_block) == kHead + kHaPublicServices * kWord);
static_assert(sizeof(ks_registry_ks_notify_block) == kHead + kNotifyServices * kWord);
static_assert(sizeof(ks_registry_ks_platform_block) == kHead + kPlatformServices * kWord);

// Every service of these registries is of the list kind.
const ks_service_kinds kHaPublicKinds = {kHaPublicServices, list_service_ops};
const ks_service_kinds kNotifyKinds = {kNotifyServices, list_service_ops};
const ks_service_kinds kPlatformKinds = {kPlatformServices, list_service_ops};

// The blocks: zero at load, filled by the creation functions and the
// framework.
ks_registry_keystore_ha_public_block g_ha_public_block;
ks_registry_ks_notify_block g_notify_block;
ks_registry_ks_platform_block g_platform_block;

template <typename Block>
int32_t create(Block &block, const ks_registry_descriptor &descriptor) {
    block.head.descriptor = &descriptor;
    block.head.zero = nullptr;
    return service_registry_init(&block);
}

}  // namespace

extern "C" {

const ks_registry_descriptor _registry_desc_keystore_ha_public = {
    "KEYSTORE_HA_PUBLIC", kHaPublicServices, sizeof(ks_registry_keystore_ha_public_block), &kHaPublicKinds, {}};
const ks_registry_descriptor _registry_desc_ks_notify = {
    "KS_NOTIFY", kNotifyServices, sizeof(ks_registry_ks_notify_block), &kNotifyKinds, {}};
const ks_registry_descriptor _registry_desc_ks_platform = {
    "KS_PLATFORM", kPlatformServices, sizeof(ks_registry_ks_platform_block), &kPlatformKinds, {}};

ks_registry_keystore_ha_public_block *_registry_keystore_ha_public = &g_ha_public_block;
ks_registry_ks_notify_block *_registry_ks_notify = &g_notify_block;
ks_registry_ks_platform_block *_registry_ks_platform = &g_platform_block;

int32_t create_registry_keystore_ha_public(void) {
    return create(g_ha_public_block, _registry_desc_keystore_ha_public);
}
int32_t create_registry_ks_notify(void) { return create(g_notify_block, _registry_desc_ks_notify); }
int32_t create_registry_ks_platform(void) { return create(g_platform_block, _registry_desc_ks_platform); }

// The accessors go through the exported pointers, so a framework that moves
// a block by rewriting its pointer is followed.
ks_list_header **registry_keystore_ha_public_get_ks_ipc_delayed_init_ptr(void) {
    return &_registry_keystore_ha_public->ks_ipc_delayed_init;
}
ks_list_header **registry_keystore_ha_public_get_ks_ipc_delayed_init_ic_ptr(void) {
    return &_registry_keystore_ha_public->ks_ipc_delayed_init_ic;
}
ks_list_header **registry_ks_notify_get_ks_notify_membership_changed_ptr(void) {
    return &_registry_ks_notify->ks_notify_membership_changed;
}
ks_list_header **registry_ks_notify_get_ks_notify_pac_arrival_ptr(void) {
    return &_registry_ks_notify->ks_notify_pac_arrival;
}
ks_list_header **registry_ks_notify_get_ks_notify_pac_removal_ptr(void) {
    return &_registry_ks_notify->ks_notify_pac_removal;
}
ks_list_header **registry_ks_notify_get_ks_notify_ks_changed_ptr(void) {
    return &_registry_ks_notify->ks_notify_ks_changed;
}
ks_list_header **registry_ks_notify_get_ks_notify_switchover_ptr(void) {
    return &_registry_ks_notify->ks_notify_switchover;
}
ks_list_header **registry_ks_platform_get_ks_notify_switchover_platform_ptr(void) {
    return &_registry_ks_platform->ks_notify_switchover_platform;
}

ks_list_header **registry_keystore_ha_public_get_svc_struct(uint32_t service_id) {
    switch (service_id) {
        case KS_SVC_IPC_DELAYED_INIT: return registry_keystore_ha_public_get_ks_ipc_delayed_init_ptr();
        case KS_SVC_IPC_DELAYED_INIT_IC: return registry_keystore_ha_public_get_ks_ipc_delayed_init_ic_ptr();
        default: return nullptr;
    }
}

ks_list_header **registry_ks_notify_get_svc_struct(uint32_t service_id) {
    switch (service_id) {
        case KS_SVC_NOTIFY_MEMBERSHIP_CHANGED: return registry_ks_notify_get_ks_notify_membership_changed_ptr();
        case KS_SVC_NOTIFY_PAC_ARRIVAL: return registry_ks_notify_get_ks_notify_pac_arrival_ptr();
        case KS_SVC_NOTIFY_PAC_REMOVAL: return registry_ks_notify_get_ks_notify_pac_removal_ptr();
        case KS_SVC_NOTIFY_KS_CHANGED: return registry_ks_notify_get_ks_notify_ks_changed_ptr();
        case KS_SVC_NOTIFY_SWITCHOVER: return registry_ks_notify_get_ks_notify_switchover_ptr();
        default: return nullptr;
    }
}

ks_list_header **registry_ks_platform_get_svc_struct(uint32_t service_id) {
    switch (service_id) {
        case KS_SVC_NOTIFY_SWITCHOVER_PLATFORM: return registry_ks_platform_get_ks_notify_switchover_platform_ptr();
        default: return nullptr;
    }
}

}  // extern "C"

namespace ks {

void invoke_list_service(ks_list_header *const *slot) {
    ks_list_header *list = *slot;
    if (list == nullptr) return;
    // The raised walk count tells the framework a walk is under way, so a
    // node unsubscribed from inside a callback stays readable until the
    // release below.
    ++list->walk_count;
    for (ks_list_node *node = list->first; node != nullptr; node = node->next) {
        if ((node->u.flags & KS_LIST_NODE_SKIP) == 0) node->fn();
    }
    service_registry_release_list(list);
}

}  // namespace ks
