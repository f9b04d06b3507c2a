// SPDX-License-Identifier: Apache-2.0
// Invocation of a list service of the library's registries.
#pragma once

#include "keystore/platform/ks_platform_records.h"

namespace ks {

// Calls every subscriber of the list service in `slot`, in list order, with
// no arguments, passing over nodes whose skip bit is set. An empty slot
// (null) means nobody subscribed: nothing is called, not even the release.
// Otherwise the walk count is raised for the walk and the walk ends with
// service_registry_release_list, also for a list without nodes.
void invoke_list_service(ks_list_header *const *slot);

}  // namespace ks
