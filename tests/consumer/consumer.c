// SPDX-License-Identifier: Apache-2.0
/* Built against an installed keystore: links the library and the host
 * platform, starts the platform, stores a secret and uses it by name. */
#include <stdio.h>
#include <string.h>

#include <keystore/ks_digest.h>
#include <keystore/ks_secret.h>
#include <keystore_host/host.h>

int main(void) {
    static const uint8_t key[] = "Jefe", data[] = "what do ya want for nothing?";
    /* HMAC-SHA-1 of the data above under "Jefe" (RFC 2202, case 2). */
    static const uint8_t expected[KS_HMAC_SHA1_LEN] = {0xef, 0xfc, 0xdf, 0x6a, 0xe5, 0xeb, 0x2f, 0xa2, 0xd2, 0x74,
                                                       0x16, 0xd5, 0xf1, 0x84, 0xdf, 0x9c, 0x25, 0x9a, 0x7c, 0x79};
    uint8_t mac[KS_HMAC_SHA1_LEN];
    ksh_platform_start();
    int32_t st = ks_store_secret_and_metadata("consumer", NULL, key, sizeof key - 1, NULL, 0);
    if (st == KS_SUCCESS) st = ks_hmac_sha1("consumer", data, sizeof data - 1, mac);
    if (st != KS_SUCCESS || memcmp(mac, expected, sizeof mac) != 0) {
        fprintf(stderr, "consumer: %s\n", ks_err_str(st));
        return 1;
    }
    printf("consumer: ok\n");
    return 0;
}
