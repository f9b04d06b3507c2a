// The clock PAC lifetimes are compared with. The shipped library reads the C
// library's time(); tests linked with the library's objects point it at a
// clock of their own. Hidden: never exported.
#pragma once

#include <cstdint>
#include <ctime>

namespace ks {

using ClockFn = time_t (*)(time_t *);
extern ClockFn pac_clock;

// The current second as a signed 32-bit number: lifetimes are compared as
// signed 32-bit values, so a lifetime with its top bit set lies before 1970.
inline int32_t pac_now() { return static_cast<int32_t>(pac_clock(nullptr)); }

}  // namespace ks
