// SPDX-License-Identifier: Apache-2.0
/*
 * The library's memory footprint as a process sees it: every platform block
 * the library holds (the host platform counts them), at four points of one
 * run with 16-byte secrets:
 *   start-up       nothing stored yet
 *   10 used        10 keys stored, each used by HMAC (MD5 and SHA-1) and AES
 *   2000 / 10 used 1990 more keys stored, only the first 10 ever used
 *   2000 used      every key used by HMAC and AES
 * Each line gives the blocks and bytes held and the limit the figure is held
 * to on a 64-bit build; the exit status is 1 when a 64-bit figure is over its
 * limit (a 32-bit build only reports). Run over the built shared library.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_secret.h"
#include "keystore_host/host.h"

enum { kKeys = 2000, kUsedFirst = 10 };

static int failures = 0;

static void check(const char *what, int32_t status) {
    if (status == KS_SUCCESS) return;
    fprintf(stderr, "%s: %s\n", what, ks_err_str(status));
    ++failures;
}

static void name_of(int i, char *name) { snprintf(name, 16, "key%04d", i); }

static void store(int i) {
    char name[16];
    uint8_t secret[16];
    name_of(i, name);
    for (size_t k = 0; k < sizeof secret; ++k) secret[k] = (uint8_t)(i * 31 + (int)k);
    check("store", ks_store_secret_and_metadata(name, NULL, secret, sizeof secret, NULL, 0));
}

static void use(int i) {
    static const uint8_t data[32] = {1, 2, 3};
    uint8_t out[32];
    char name[16];
    name_of(i, name);
    check("hmac-md5", ks_hmac_md5(name, data, sizeof data, out));
    check("hmac-sha1", ks_hmac_sha1(name, data, sizeof data, out));
    check("aes-encrypt", ks_aes_encrypt(name, data, out, sizeof data));
    check("aes-decrypt", ks_aes_decrypt(name, out, out, sizeof data));
}

static int over = 0;

static void report(const char *what, uint64_t limit) {
    const uint64_t bytes = ksh_alloc_live_bytes();
    const int checked = sizeof(void *) == 8;
    printf("%-16s %6llu blocks %9llu bytes  (64-bit limit %llu)%s\n", what, (unsigned long long)ksh_alloc_live_blocks(),
           (unsigned long long)bytes, (unsigned long long)limit, checked && bytes > limit ? "  OVER" : "");
    if (checked && bytes > limit) over = 1;
}

int main(void) {
    int i;
    ksh_platform_start();
    printf("footprint, %zu-bit build, 16-byte secrets\n", 8 * sizeof(void *));
    report("start-up", 4096);
    for (i = 0; i < kUsedFirst; ++i) store(i), use(i);
    report("10 used", 16384);
    for (i = kUsedFirst; i < kKeys; ++i) store(i);
    report("2000 / 10 used", 320000);
    for (i = 0; i < kKeys; ++i) use(i);
    report("2000 used", 1533282);
    if (failures != 0) fprintf(stderr, "%d calls failed\n", failures);
    return failures != 0 || over ? 1 : 0;
}
