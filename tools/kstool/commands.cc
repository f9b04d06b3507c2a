// The command table: every command kstool knows, in the order help lists them.
#include "kstool.h"

namespace kstool {

const Command kCommands[] = {
    // name, usage, help, min args, max args, options, secret args, handler
    {"mode", "", "show the mode flags", 0, 0, "", 0, cmd_mode},
    {"mode standby", "on|off", "act as the standby unit (changes are refused) or not", 1, 1, "", 0,
     cmd_mode_standby},
    {"mode emulation", "on|off", "serve requests from the software keystore, or from the hardware contract", 1, 1,
     "", 0, cmd_mode_emulation},
    {"mode redundancy", "off", "disable redundancy (for the rest of the process)", 1, 1, "", 0,
     cmd_mode_redundancy},
};

const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace kstool
