// SPDX-License-Identifier: Apache-2.0
// What kstool does so that a core of it holds no secret it was given.
//
// Its copies of what it reads (lines, the words split from them, parsed
// values) are ordinary C++ strings and vectors while a command runs. Every
// block kstool frees is wiped first, whoever frees it, so that nothing
// outlives its use in freed heap memory; and after each command the stack
// below the command loop, where the command's frames and the library's held
// their locals, is wiped too. Input buffers live in protected memory
// (input.cc), and the argument strings are wiped once copied (main.cc).
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kstool.h"

void *operator new(std::size_t n) {
    for (;;) {
        if (void *p = std::malloc(n != 0 ? n : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}
void *operator new[](std::size_t n) { return ::operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n != 0 ? n : 1); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n != 0 ? n : 1); }

void operator delete(void *p) noexcept {
    if (p == nullptr) return;
    explicit_bzero(p, malloc_usable_size(p));
    std::free(p);
}
void operator delete[](void *p) noexcept { ::operator delete(p); }
void operator delete(void *p, std::size_t) noexcept { ::operator delete(p); }
void operator delete[](void *p, std::size_t) noexcept { ::operator delete(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { ::operator delete(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { ::operator delete(p); }

namespace kstool {

void wipe(std::string &s) {
    explicit_bzero(s.data(), s.capacity());
    s.clear();
}

void wipe_stack_below() {
    // Deeper than a command, the library and libcrypto go below this frame.
    unsigned char area[64 * 1024];
    explicit_bzero(area, sizeof area);
    __asm__ __volatile__("" : : "r"(area) : "memory");
}

}  // namespace kstool
