// SPDX-License-Identifier: Apache-2.0
/**
 * @file
 * The whole exported interface of the keystore library: every family's
 * header.
 */
#ifndef KEYSTORE_KEYSTORE_H
#define KEYSTORE_KEYSTORE_H

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_epa.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_hw.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_registry.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_show.h"
#include "keystore/ks_storage.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"

#endif
