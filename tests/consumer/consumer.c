/* Built against an installed keystore: links the library and the host
 * platform, and calls through the exported interface. */
#include <stdio.h>

#include <keystore/ks_hw.h>
#include <keystore/ks_types.h>
#include <keystore_host/host.h>

int main(void) {
    if (ks_is_hw_present() != 1) {
        fprintf(stderr, "consumer: unexpected presence answer\n");
        return 1;
    }
    printf("consumer: ok\n");
    return 0;
}
