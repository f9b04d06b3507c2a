// SPDX-License-Identifier: Apache-2.0
#include "ks_cleanse.h"

#include "keystore/platform/ks_platform.h"

namespace ks {

void free_cleansed(void *block, size_t n) {
    if (block == nullptr) return;
    cleanse(block, n);
    tagged_free(block);
}

OwnedBlock::OwnedBlock(uint32_t tag, size_t size)
    : size_(size), bytes_(size != 0 ? static_cast<uint8_t *>(tagged_calloc(tag, 1, size)) : nullptr) {}

StaticOrHeap::StaticOrHeap(uint8_t *fixed, size_t fixed_size, uint64_t size, uint32_t tag) {
    if (size <= fixed_size) {
        bytes_ = fixed;
    } else {
        if (size > SIZE_MAX) return;
        bytes_ = static_cast<uint8_t *>(tagged_calloc(tag, 1, static_cast<size_t>(size)));
        if (bytes_ == nullptr) return;
        allocated_ = true;
    }
    size_ = static_cast<size_t>(size);
}

StaticOrHeap::~StaticOrHeap() {
    if (allocated_) {
        free_cleansed(bytes_, size_);
    } else {
        cleanse(bytes_, size_);
    }
}

}  // namespace ks
