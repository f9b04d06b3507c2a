// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_registry Service registries
 *
 * The keystore's service registries: "KEYSTORE_HA_PUBLIC", "KS_NOTIFY" and
 * "KS_PLATFORM".
 *
 * Other components hook functions into keystore events through the
 * platform's service registry framework. For each registry the library holds
 * a read-only descriptor (read by the framework), a registry block in
 * zero-initialised static storage, an exported pointer to that block, a
 * creation function, one accessor per service and a lookup by service id.
 * Every service is a list: its slot holds null (nobody subscribed) or a list
 * header owned by the framework. The library invokes one service itself,
 * ks_notify_ks_changed, each time ks_use_sw_emulation changes the mode; its
 * subscribers are called with no arguments and read the new mode with
 * ks_are_we_using_sw_emulation.
 *
 * Not thread-safe: slots and walk counts are read and written without locks.
 * @{
 */
#ifndef KEYSTORE_KS_REGISTRY_H
#define KEYSTORE_KS_REGISTRY_H

#include <stdint.h>

#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform_records.h"

KS_EXTERN_C_BEGIN

/** Service ids, as the lookups take them. */
#define KS_SVC_IPC_DELAYED_INIT 0xF28E739Cu
#define KS_SVC_IPC_DELAYED_INIT_IC 0x023E95E7u
#define KS_SVC_NOTIFY_MEMBERSHIP_CHANGED 0x79F9EF8Eu
#define KS_SVC_NOTIFY_PAC_ARRIVAL 0xC3BC3004u
#define KS_SVC_NOTIFY_PAC_REMOVAL 0x4C82DBFBu
#define KS_SVC_NOTIFY_KS_CHANGED 0x5E9680E1u
#define KS_SVC_NOTIFY_SWITCHOVER 0xE083618Au
#define KS_SVC_NOTIFY_SWITCHOVER_PLATFORM 0x571254B2u

/** Registry blocks: the framework's three words, then one slot per service in
 * the order of the accessors below. On 32 bits they are 20, 32 and 16 bytes
 * with the slots from offset 12, one word each. */
typedef struct ks_registry_keystore_ha_public_block {
    ks_registry_block_head head;
    ks_list_header *ks_ipc_delayed_init;
    ks_list_header *ks_ipc_delayed_init_ic;
} ks_registry_keystore_ha_public_block;

/** The KS_NOTIFY registry's block: five service slots. */
typedef struct ks_registry_ks_notify_block {
    ks_registry_block_head head;
    ks_list_header *ks_notify_membership_changed;
    ks_list_header *ks_notify_pac_arrival;
    ks_list_header *ks_notify_pac_removal;
    ks_list_header *ks_notify_ks_changed;
    ks_list_header *ks_notify_switchover;
} ks_registry_ks_notify_block;

/** The KS_PLATFORM registry's block: one service slot. */
typedef struct ks_registry_ks_platform_block {
    ks_registry_block_head head;
    ks_list_header *ks_notify_switchover_platform;
} ks_registry_ks_platform_block;

/** Descriptors, read by the framework: the registry name, the number of
 * services, the block size in bytes and the service-kind table (the service
 * count and list_service_ops: every service is a list). */
KS_EXPORT extern const ks_registry_descriptor _registry_desc_keystore_ha_public;
KS_EXPORT extern const ks_registry_descriptor _registry_desc_ks_notify;
KS_EXPORT extern const ks_registry_descriptor _registry_desc_ks_platform;

/** The address of each registry block, from load time on. The accessors read
 * these pointers on every call. */
KS_EXPORT extern ks_registry_keystore_ha_public_block *_registry_keystore_ha_public;
KS_EXPORT extern ks_registry_ks_notify_block *_registry_ks_notify;
KS_EXPORT extern ks_registry_ks_platform_block *_registry_ks_platform;

/** Creation, for the framework (the library never calls them): store the
 * descriptor's address in the block's second word and 0 in its third, leave
 * the first word alone, hand the block to service_registry_init and return
 * its result. A registry must be created before it is used. */
KS_EXPORT int32_t create_registry_keystore_ha_public(void);
KS_EXPORT int32_t create_registry_ks_notify(void);
KS_EXPORT int32_t create_registry_ks_platform(void);

/** Accessors: the address of one service's slot in its registry block. */
KS_EXPORT ks_list_header **registry_keystore_ha_public_get_ks_ipc_delayed_init_ptr(void);
KS_EXPORT ks_list_header **registry_keystore_ha_public_get_ks_ipc_delayed_init_ic_ptr(void);
KS_EXPORT ks_list_header **registry_ks_notify_get_ks_notify_membership_changed_ptr(void);
KS_EXPORT ks_list_header **registry_ks_notify_get_ks_notify_pac_arrival_ptr(void);
KS_EXPORT ks_list_header **registry_ks_notify_get_ks_notify_pac_removal_ptr(void);
KS_EXPORT ks_list_header **registry_ks_notify_get_ks_notify_ks_changed_ptr(void);
KS_EXPORT ks_list_header **registry_ks_notify_get_ks_notify_switchover_ptr(void);
KS_EXPORT ks_list_header **registry_ks_platform_get_ks_notify_switchover_platform_ptr(void);

/** Lookups by service id (KS_SVC_*): the address of the registry's slot for
 * that service, or null for an id that is not one of this registry's. */
KS_EXPORT ks_list_header **registry_keystore_ha_public_get_svc_struct(uint32_t service_id);
KS_EXPORT ks_list_header **registry_ks_notify_get_svc_struct(uint32_t service_id);
KS_EXPORT ks_list_header **registry_ks_platform_get_svc_struct(uint32_t service_id);

KS_EXTERN_C_END

/** @} */

#endif
