// SPDX-License-Identifier: Apache-2.0
// Load-time registration of the library's four subsystems with the platform's
// subsystem framework.
#include "keystore/ks_modes.h"
#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"

namespace {

// Fixed words of every header, as the framework expects them.
constexpr uint32_t kHeaderFormat = 2;
constexpr uint32_t kFixed1 = 1;
constexpr uint32_t kFixed2 = 0;
constexpr uint32_t kFixed3 = 1;

// Start-up classes: the framework runs lower classes first.
constexpr uint32_t kClassKeystore = 11;
constexpr uint32_t kClassEarly = 6;
constexpr uint32_t kClassCrypto = 12;
constexpr uint32_t kClassHaPublicRegistry = 2;

// The three other subsystems have nothing to do at start-up.
void keystore_early_init() {}
void keystore_crypto_init() {}
void keystore_ha_public_registry_init() {}

// Writable: the framework keeps the headers' addresses for the life of the
// process.
ks_subsystem_header g_keystore = {kHeaderFormat, "keystore",    kFixed1,        kFixed2,
                                  kFixed3,       keystore_init, kClassKeystore, {}};
ks_subsystem_header g_keystore_early = {kHeaderFormat, "keystore_early",    kFixed1,     kFixed2,
                                        kFixed3,       keystore_early_init, kClassEarly, {}};
ks_subsystem_header g_keystore_crypto = {kHeaderFormat, "keystore_crypto",    kFixed1,      kFixed2,
                                         kFixed3,       keystore_crypto_init, kClassCrypto, {}};
ks_subsystem_header g_keystore_ha_public_registry = {kHeaderFormat,
                                                     "keystore_ha_public_registry",
                                                     kFixed1,
                                                     kFixed2,
                                                     kFixed3,
                                                     keystore_ha_public_registry_init,
                                                     kClassHaPublicRegistry,
                                                     {}};

// One initialiser per header, ordered by priority so that the headers are
// registered in this order; the framework's answer is not needed.
__attribute__((constructor(101))) void register_keystore() { subsystem_register(&g_keystore); }
__attribute__((constructor(102))) void register_keystore_early() { subsystem_register(&g_keystore_early); }
__attribute__((constructor(103))) void register_keystore_crypto() { subsystem_register(&g_keystore_crypto); }
__attribute__((constructor(104))) void register_keystore_ha_public_registry() {
    subsystem_register(&g_keystore_ha_public_registry);
}

}  // namespace
