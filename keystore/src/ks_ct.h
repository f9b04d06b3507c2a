// SPDX-License-Identifier: Apache-2.0
// Secret marking for the constant-time check: with the build option
// KS_CT_CHECK, a secret's bytes are marked undefined for valgrind's memcheck
// where they enter the library, and marked defined again where they become
// public by design. Memcheck then reports every conditional jump and every
// memory address that depends on a secret (scripts/ct-check.sh runs it).
//
// Without the option (every shipped build) both macros are empty: no code, no
// cost. With it and outside valgrind they are a few instructions that do
// nothing. This is the only library file that includes valgrind's header.
#pragma once

#if KS_CT_CHECK
#include <valgrind/memcheck.h>

// The n bytes at p are secret from here on, and so is what is computed from them.
#define KS_CT_SECRET(p, n) ((void)VALGRIND_MAKE_MEM_UNDEFINED((p), (n)))
// The n bytes at p are public from here on (a result, a length, a name).
#define KS_CT_DECLASSIFY(p, n) ((void)VALGRIND_MAKE_MEM_DEFINED((p), (n)))
#else
// Unevaluated operands: no code. The unary plus takes an array parameter as
// the pointer it is, without a warning about the array's size.
#define KS_CT_SECRET(p, n) ((void)sizeof(+(p)), (void)sizeof(n))
#define KS_CT_DECLASSIFY(p, n) ((void)sizeof(+(p)), (void)sizeof(n))
#endif
