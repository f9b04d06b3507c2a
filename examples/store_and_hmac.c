// SPDX-License-Identifier: Apache-2.0
/*
 * How a service uses the keystore: store a secret, have an HMAC-SHA-1
 * computed with it by name (the secret never comes back), list the secret
 * names and release each returned name with tagged_free.
 *
 * The key and message are those of RFC 2202's second HMAC-SHA-1 test case, so
 * the printed digest can be checked by eye.
 */
#include <stdio.h>
#include <string.h>

#include "keystore/ks_digest.h"
#include "keystore/ks_secret.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"

static const char kExpected[] = "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79";

static int check(const char *what, int32_t status) {
    if (status == KS_SUCCESS) return 0;
    fprintf(stderr, "%s: %s\n", what, ks_err_str(status));
    return 1;
}

int main(void) {
    static const uint8_t key[] = {'J', 'e', 'f', 'e'};
    static const char message[] = "what do ya want for nothing?";
    uint8_t mac[KS_HMAC_SHA1_LEN];
    char hex[2 * KS_HMAC_SHA1_LEN + 1];
    uint16_t index = 0;
    char *name = NULL;
    size_t i;

    /* The host platform runs the library's start-up, which selects the
     * software keystore. */
    ksh_platform_start();

    if (check("store", ks_store_secret_and_metadata("demo_key", NULL, key, sizeof key, NULL, 0))) return 1;
    if (check("hmac", ks_hmac_sha1("demo_key", (const uint8_t *)message, (uint16_t)strlen(message), mac))) return 1;
    for (i = 0; i < sizeof mac; ++i) snprintf(hex + 2 * i, 3, "%02x", mac[i]);
    printf("HMAC-SHA-1(demo_key, \"%s\") = %s\n", message, hex);

    printf("secrets:");
    while (ks_return_secret_handle_by_index(&index, &name) == KS_SUCCESS) {
        printf(" %s", name);
        tagged_free(name); /* names handed out are the caller's to release */
    }
    printf("\n");

    if (check("clear", ks_clear_secret("demo_key"))) return 1;
    if (strcmp(hex, kExpected) != 0) {
        fprintf(stderr, "unexpected digest, wanted %s\n", kExpected);
        return 1;
    }
    return 0;
}
