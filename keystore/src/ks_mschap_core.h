// SPDX-License-Identifier: Apache-2.0
// The MS-CHAPv2 building blocks (RFC 2759 section 8): NtPasswordHash,
// ChallengeHash and DesEncrypt. Internal: not exported.
//
// Each routine returns KS_SUCCESS, KS_NO_MEMORY (the hash work buffer could
// not be allocated) or KS_CRYPTO_ERR (a libcrypto context, fetch or step
// failed), and writes its output only on KS_SUCCESS.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ks {

inline constexpr size_t kNtHashLen = 16;
inline constexpr size_t kChallengeLen = 16;
inline constexpr size_t kChallengeHashLen = 8;
inline constexpr size_t kPasswordMaxChars = 256;
inline constexpr size_t kNtWorkBufferLen = 2 * kPasswordMaxChars;

// NtPasswordHash (RFC 2759 section 8.3): MD4 of the password's UTF-16LE form,
// each byte zero-extended; only the first 256 bytes of the password count.
// hash: 16 bytes (OUT). The UTF-16 form is built in one process-wide 512-byte
// buffer, allocated on first use and kept; it is cleansed after every use.
// Not reentrant: one caller at a time.
int32_t nt_password_hash(const uint8_t *password, uint32_t len, uint8_t hash[kNtHashLen]);

// Releases the work buffer (cleansed), returning the process to its load-time
// state; the next hash allocates it again. For tests.
void nt_password_hash_release();

// ChallengeHash (RFC 2759 section 8.2): the first 8 bytes of
// SHA-1(peer challenge 16 || authenticator challenge 16 || user name bytes).
// A null user name hashes as the empty one. challenge: 8 bytes (OUT).
int32_t challenge_hash(const uint8_t peer_challenge[kChallengeLen], const uint8_t auth_challenge[kChallengeLen],
                       const char *user_name, uint8_t challenge[kChallengeHashLen]);

// DesEncrypt (RFC 2759 section 8.6): DES-ECB of one 8-byte block (IN) with a
// 7-byte key (IN) spread to a DES key by the 56-bit expansion; cipher: 8
// bytes (OUT).
int32_t des_encrypt_block(const uint8_t clear[8], const uint8_t key[7], uint8_t cipher[8]);

}  // namespace ks
