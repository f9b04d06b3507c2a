// The presence answer of the hardware contract. The shipped library always
// answers 1; tests linked with the library's objects set it to 0 to reach the
// paths for an absent chip. Hidden: never exported.
#pragma once

namespace ks {
extern int hw_present_answer;
}
