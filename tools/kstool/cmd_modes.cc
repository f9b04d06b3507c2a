// SPDX-License-Identifier: Apache-2.0
// Modes: the standby flag, software emulation and redundancy.
#include "keystore/ks_modes.h"
#include "kstool.h"

namespace kstool {

namespace {

const char *on_off(int32_t v) { return v != 0 ? "on" : "off"; }

}  // namespace

Outcome cmd_mode(const Args &) {
    out("software keystore", on_off(ks_are_we_using_sw_emulation()));
    out("standby", on_off(ks_is_standby));
    out("redundancy", ks_rf_disabled != 0 ? "disabled" : "enabled");
    return Outcome::kOk;
}

namespace {

// A mode switch that takes on|off and has nothing to report.
Outcome set_switch(const Args &a, const char *usage, void (*set)(int32_t)) {
    int on = 0;
    if (!parse_switch(a.pos[0], on)) return usage_error(usage);
    set(on);
    ok();
    return Outcome::kOk;
}

}  // namespace

Outcome cmd_mode_standby(const Args &a) { return set_switch(a, "usage: mode standby on|off", ks_set_standby_mode); }
Outcome cmd_mode_emulation(const Args &a) {
    const Outcome o = set_switch(a, "usage: mode emulation on|off", ks_use_sw_emulation);
    if (o == Outcome::kOk && ks_are_we_using_sw_emulation() == 0)
        warning(
            "the hardware contract serves requests now: its stubs report success\n"
            "  and compute nothing, so results are not real until 'mode emulation on'");
    return o;
}

Outcome cmd_mode_redundancy(const Args &a) {
    int on = 0;
    if (!parse_switch(a.pos[0], on)) return usage_error("usage: mode redundancy off");
    // Redundancy, once disabled, stays disabled for the life of the process.
    if (on) return usage_error("redundancy cannot be enabled again once disabled");
    ks_disable_rf();
    ok();
    return Outcome::kOk;
}

}  // namespace kstool
