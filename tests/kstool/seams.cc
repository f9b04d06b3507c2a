// SPDX-License-Identifier: Apache-2.0
// kstool built with the library's objects and their hidden seams set from
// the environment, for transcripts of what a device meets:
//   KS_SEAM_HW=absent        the hardware keystore does not answer
//   KS_SEAM_CLOCK=N          PAC lifetimes are compared with the second N
//   KS_SEAM_HA=S1,S2,...     the standby's answers to PAC clears, in turn
//                            (each request is printed with its handle)
//   KS_SEAM_FAIL_TAG=T       every allocation with the owner tag T fails
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keystore_host/host.h"
#include "ks_seams.h"

namespace {

time_t g_now;
std::string g_answers;

time_t fixed_clock(time_t *t) { return t != nullptr ? *t = g_now : g_now; }

int32_t standby(const uint8_t *handle, uint8_t len) {
    const int32_t answer = std::atoi(g_answers.c_str());
    g_answers.erase(0, g_answers.find(',') == std::string::npos ? std::string::npos : g_answers.find(',') + 1);
    std::printf("standby asked to delete");
    for (uint8_t i = 0; i < len; ++i) std::printf(" %02X", handle[i]);
    std::printf(", answers %d\n", answer);
    return answer;
}

const bool g_set = [] {
    ksh_message_set_print_stream(stdout);  // in order with what kstool prints
    if (const char *v = std::getenv("KS_SEAM_HW")) ks::seams.hw_present = std::strcmp(v, "absent") != 0;
    if (const char *v = std::getenv("KS_SEAM_CLOCK")) g_now = std::atoll(v), ks::seams.clock = fixed_clock;
    if (const char *v = std::getenv("KS_SEAM_HA")) g_answers = v, ks::seams.ha_delete_key = standby;
    if (const char *v = std::getenv("KS_SEAM_FAIL_TAG")) ksh_alloc_fail_tag(uint32_t(std::strtoul(v, nullptr, 16)));
    return true;
}();

}  // namespace
