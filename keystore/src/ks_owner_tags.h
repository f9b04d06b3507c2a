// SPDX-License-Identifier: Apache-2.0
// The owner tag of every block the library allocates through the platform
// allocator, one per kind of block, so that the platform's accounting (and a
// fault injected by tag) names what a block is for.
#pragma once

#include <cstdint>

namespace ks {

// Front API and PAC store.
inline constexpr uint32_t kTagRenamePrefix = 0x0460008F;    // purge prefix of a rename
inline constexpr uint32_t kTagPacCacheEntry = 0x04600090;   // PAC cache entry with its TLVs
inline constexpr uint32_t kTagPacDerived = 0x04600091;      // cached T-PRF result
inline constexpr uint32_t kTagPacMack = 0x04600092;         // cached "ZAV-MACK" shared key
inline constexpr uint32_t kTagPacKek = 0x04600093;          // cached "ZAV-KEK" shared key
inline constexpr uint32_t kTagStoreMeta = 0x04600094;       // PAC metadata built for a store
inline constexpr uint32_t kTagOpaqueCopy = 0x04600098;      // PAC-Opaque handed to the caller
inline constexpr uint32_t kTagInfoCopy = 0x04600099;        // PAC-Info handed to the caller
inline constexpr uint32_t kTagSharedKeyInput = 0x0460009A;  // shared-key input too large for the static buffer
inline constexpr uint32_t kTagPacCacheIndex = 0x0460009D;   // PAC cache's index

// Software keystore.
inline constexpr uint32_t kTagIndex = 0x04600095;          // key table's handle index
inline constexpr uint32_t kTagKeyState = 0x04600096;       // one key's crypto state
inline constexpr uint32_t kTagOrders = 0x04600097;         // key table's sorted orders of names and A-IDs
inline constexpr uint32_t kTagSlots = 0x0460009B;          // key table slot array (kept)
inline constexpr uint32_t kTagKeyStateSlots = 0x0460009C;  // each slot's crypto state, found by slot
inline constexpr uint32_t kTagKeyEntry = 0x0460009E;       // key table entry
inline constexpr uint32_t kTagRandomScratch = 0x0460009F;  // random bytes for a printable or alphanumeric value
inline constexpr uint32_t kTagMetaGrow = 0x046000A0;       // entry regrown for more metadata
inline constexpr uint32_t kTagHandleCopy = 0x046000A1;     // handle handed to the caller
inline constexpr uint32_t kTagRenameGrow = 0x046000A2;     // entry regrown for a longer name
inline constexpr uint32_t kTagMetaCopy = 0x046000A3;       // metadata handed to the caller
inline constexpr uint32_t kTagConcat = 0x046000A4;         // piece, key and piece joined for a keyed digest
inline constexpr uint32_t kTagTprfInput = 0x046000A5;      // T-PRF input too large for the static buffer
inline constexpr uint32_t kTagNtWorkBuffer = 0x046000A6;   // NT password hash work buffer (kept)
inline constexpr uint32_t kTagAesKeyCopy = 0x046000A8;     // AES-ECB key moved to an aligned block
inline constexpr uint32_t kTagAesCbcKeyCopy = 0x046000A9;  // AES-CBC key moved to an aligned block
inline constexpr uint32_t kTagDesKey = 0x046000AA;         // DES key spread from its stored 7 bytes
inline constexpr uint32_t kTagDes3Keys = 0x046000AB;       // triple-DES keys spread from their stored 21 bytes

// Blocks the library keeps for the life of the process once made: the leak
// checks leave them out.
inline constexpr uint32_t kKeptTags[] = {kTagSlots, kTagNtWorkBuffer};

}  // namespace ks
