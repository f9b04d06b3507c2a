#include "ks_cleanse.h"

#include "keystore/platform/ks_platform.h"

namespace ks {

void free_cleansed(void *block, size_t n) {
    if (block == nullptr) return;
    cleanse(block, n);
    tagged_free(block);
}

}  // namespace ks
