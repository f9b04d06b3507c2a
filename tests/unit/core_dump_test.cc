// A core of a process that keeps secrets in the keystore holds none of them.
// A child (tests/core_dump/marker_probe.cc) stores marker secrets of every
// kind, uses each with every keyed operation and waits; gdb's gcore takes a
// core of it, and no marker may appear there as bytes, as hex text or, for
// passwords, as UTF-16LE. The same run with protection off must show every
// stored marker, so a search that finds nothing is known to be looking.
//
// Not under AddressSanitizer: a sanitized process reserves terabytes of
// address space for its shadow and its allocator, which gcore writes out.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core_dump/markers.h"

namespace {

using kscore::kMarkers;

constexpr uint64_t kSeed = 0x5EC12E7C0DEull;

// The forms a copy of the marker could take in memory.
std::vector<std::pair<const char *, std::string>> forms(const kscore::Marker &m, const std::string &v) {
    std::string lower, upper, utf16;
    for (unsigned char c : v) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", c);
        lower += b;
        std::snprintf(b, sizeof b, "%02X", c);
        upper += b;
        utf16 += static_cast<char>(c);
        utf16 += '\0';
    }
    std::vector<std::pair<const char *, std::string>> f = {{"bytes", v}, {"hex", lower}, {"HEX", upper}};
    if (m.password) f.emplace_back("UTF-16LE", utf16);
    return f;
}

// Runs the probe with KSH_PROTECT set to `protect` (null: left unset) and
// takes a core of it once it is ready. False with the reason when the machine
// cannot take one.
bool core_of_probe(const char *protect, std::string &core, std::string &why) {
#if defined(__SANITIZE_ADDRESS__)
    why = "a core of a process under AddressSanitizer holds its terabytes of reserved address space";
    return false;
#endif
    if (std::system("command -v gcore >/dev/null 2>&1") != 0) {
        why = "gcore (gdb) is not installed";
        return false;
    }
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) {
        why = "no pipes";
        return false;
    }
    char seed[32];
    std::snprintf(seed, sizeof seed, "%llx", static_cast<unsigned long long>(kSeed));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        close(to_child[1]);
        close(from_child[0]);
        if (protect != nullptr) setenv("KSH_PROTECT", protect, 1);
        else unsetenv("KSH_PROTECT");
        execl(KS_CORE_PROBE, KS_CORE_PROBE, seed, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    std::string said;
    char buf[64];
    ssize_t n;
    while (said.find('\n') == std::string::npos && (n = read(from_child[0], buf, sizeof buf)) > 0) said.append(buf, n);
    EXPECT_EQ(said, "ready\n") << "the probe failed before it was ready";

    char dir[] = "/tmp/ks_core_XXXXXX";
    bool taken = said == "ready\n" && mkdtemp(dir) != nullptr;
    const std::string path = std::string(dir) + "/core." + std::to_string(pid);
    if (taken) {
        // A core larger than 1 GiB is not this probe's: gcore stops instead.
        const std::string cmd = "ulimit -f 1048576; gcore -o " + std::string(dir) + "/core " + std::to_string(pid) +
                                " >/dev/null 2>&1";
        taken = std::system(cmd.c_str()) == 0;
        std::ifstream in(path, std::ios::binary);
        core.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        taken = taken && !core.empty();
        std::remove(path.c_str());
        rmdir(dir);
    }
    close(to_child[1]);  // the probe ends
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "probe status " << status;
    if (!taken) why = "gcore could not take a core of a child process (ptrace not permitted?)";
    return taken;
}

// "name (form)" of every marker form found in the core.
std::vector<std::string> markers_in(const std::string &core, bool stored_only) {
    std::vector<std::string> found;
    uint8_t bytes[64];
    for (size_t i = 0; i < kscore::kMarkerCount; ++i) {
        if (stored_only && !kMarkers[i].stored) continue;
        kscore::marker_bytes(kSeed, i, bytes);
        const std::string v(reinterpret_cast<const char *>(bytes), kMarkers[i].len);
        for (const auto &[form, text] : forms(kMarkers[i], v))
            if (core.find(text) != std::string::npos) found.push_back(std::string(kMarkers[i].name) + " (" + form + ")");
    }
    return found;
}

TEST(CoreDump, HoldsNoSecretWhileProtectionIsOnAndEveryStoredOneWithout) {
    std::string core, why;
    if (!core_of_probe(nullptr, core, why)) GTEST_SKIP() << why;
    EXPECT_EQ(markers_in(core, false), std::vector<std::string>{}) << "found in the core of a protected process";

    // Control: the same run in ordinary memory.
    if (!core_of_probe("off", core, why)) GTEST_SKIP() << why;
    const std::vector<std::string> found = markers_in(core, true);
    for (const kscore::Marker &m : kMarkers) {
        if (!m.stored) continue;
        const std::string raw = std::string(m.name) + " (bytes)";
        EXPECT_NE(std::find(found.begin(), found.end(), raw), found.end()) << raw << " not found without protection";
    }
}

}  // namespace
