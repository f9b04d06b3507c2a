// SPDX-License-Identifier: Apache-2.0
// A core of a process that keeps secrets in the keystore holds none of them.
// Marker secrets of every kind are stored and used with every keyed
// operation, by a plain program (tests/core_dump/marker_probe.cc) and by
// kstool fed through a pipe and given a secret as an argument; gdb's gcore
// takes a core of each while it waits, and no marker may appear there as
// bytes, as hex text or, for passwords, as UTF-16LE. The same runs with
// protection off must show every stored marker, so a search that finds
// nothing is known to be looking.
//
// Not under AddressSanitizer: a sanitized process reserves terabytes of
// address space for its shadow and its allocator, which gcore writes out.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_dump/markers.h"
#include "ks_test_util.h"

namespace {

using kscore::kMarkers;

constexpr uint64_t kSeed = 0x5EC12E7C0DEull;

std::string marker(size_t i) {
    uint8_t bytes[64];
    kscore::marker_bytes(kSeed, i, bytes);
    return std::string(reinterpret_cast<const char *>(bytes), kMarkers[i].len);
}

std::string hex(const std::string &v, bool upper) {
    std::string h = kstest::to_hex(reinterpret_cast<const uint8_t *>(v.data()), v.size());
    if (upper) std::transform(h.begin(), h.end(), h.begin(), ::toupper);
    return h;
}

// A program run to the point where it waits with its secrets stored.
struct Session {
    const char *what;
    std::vector<std::string> argv;
    std::string input;   // written to standard input at the start
    std::string ready;   // it waits once its output ends with this
    std::string finish;  // written after the core, before standard input closes
    bool all_stored;     // every stored marker (else only the first)
};

// Takes a core of the session's program with KSH_PROTECT set to `protect`
// (null: unset). False with the reason when the machine cannot take one.
bool core_of(const Session &s, const char *protect, std::string &core, std::string &why) {
    const auto cannot = [&why](const char *reason) {
        why = reason;
        return false;
    };
#if defined(__SANITIZE_ADDRESS__)
    return cannot("a core of a process under AddressSanitizer holds its terabytes of reserved address space");
#endif
    if (std::system("command -v gcore >/dev/null 2>&1") != 0) return cannot("gcore (gdb) is not installed");
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return cannot("no pipes");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        close(to_child[1]);
        close(from_child[0]);
        protect != nullptr ? setenv("KSH_PROTECT", protect, 1) : unsetenv("KSH_PROTECT");
        std::vector<char *> argv;
        for (const std::string &a : s.argv) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    EXPECT_EQ(write(to_child[1], s.input.data(), s.input.size()), static_cast<ssize_t>(s.input.size()));
    std::string said;
    char buf[4096];
    ssize_t n;
    while (!said.ends_with(s.ready) && (n = read(from_child[0], buf, sizeof buf)) > 0) said.append(buf, n);
    const bool waiting = said.ends_with(s.ready);
    EXPECT_TRUE(waiting) << s.what << " ended before it was ready, after:\n" << said;

    char dir[] = "/tmp/ks_core_XXXXXX";
    bool taken = waiting && mkdtemp(dir) != nullptr;
    if (taken) {
        // A core larger than 1 GiB is not one of these programs': gcore stops.
        const std::string cmd =
            "ulimit -f 1048576; gcore -o " + std::string(dir) + "/core " + std::to_string(pid) + " >/dev/null 2>&1";
        taken = std::system(cmd.c_str()) == 0;
        const std::string path = std::string(dir) + "/core." + std::to_string(pid);
        std::ifstream in(path, std::ios::binary);
        core.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        taken = taken && !core.empty();
        std::remove(path.c_str());
        rmdir(dir);
    }
    EXPECT_EQ(write(to_child[1], s.finish.data(), s.finish.size()), static_cast<ssize_t>(s.finish.size()));
    close(to_child[1]);
    while (read(from_child[0], buf, sizeof buf) > 0) continue;  // until it closes its end
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << s.what << " status " << status;
    if (!taken) why = "gcore could not take a core of a child process (ptrace not permitted?)";
    return taken;
}

// "name (form)" of every marker form found in the core.
std::vector<std::string> markers_in(const std::string &core) {
    std::vector<std::string> found;
    for (size_t i = 0; i < kscore::kMarkerCount; ++i) {
        const std::string v = marker(i);
        std::string utf16;
        for (char c : v) utf16 += std::string{c, '\0'};
        const std::pair<const char *, std::string> forms[] = {{"bytes", v},
                                                              {"hex", hex(v, false)},
                                                              {"HEX", hex(v, true)},
                                                              {"UTF-16LE", kMarkers[i].password ? utf16 : ""}};
        for (const auto &[form, text] : forms)
            if (!text.empty() && core.find(text) != std::string::npos)
                found.push_back(std::string(kMarkers[i].name) + " (" + form + ")");
    }
    return found;
}

// The commands kstool is fed through a pipe (core_dump/kstool_session.ks),
// with the markers put in.
std::string kstool_commands() {
    std::ifstream in(KS_TEST_DATA_DIR "/core_dump/kstool_session.ks");
    if (!in) throw std::runtime_error("no core_dump/kstool_session.ks");  // kstool would wait for input forever
    std::string s{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (size_t at; (at = s.find('{')) != std::string::npos;) {
        const size_t end = s.find('}', at);
        const bool as_hex = s.compare(at + 1, 4, "hex ") == 0;
        const std::string v = marker(std::stoul(s.substr(at + (as_hex ? 5 : 1))));
        s.replace(at, end + 1 - at, as_hex ? "hex:" + hex(v, true) : v);
    }
    return s;
}

TEST(CoreDump, HoldsNoSecretWhileProtectedAndEveryStoredOneWithout) {
    // The children are started directly, and gdb takes the core of a native
    // process: under a user-mode emulator neither holds.
    if (std::strlen(KS_RUN_PREFIX) != 0) GTEST_SKIP() << "the programs run under an emulator";
    char seed[32];
    std::snprintf(seed, sizeof seed, "%llx", static_cast<unsigned long long>(kSeed));
    const Session sessions[] = {
        {"the probe", {KS_CORE_PROBE, seed}, "", "ready\n", "", true},
#if defined(KS_KSTOOL)
        {"kstool fed through a pipe", {KS_KSTOOL}, kstool_commands(), "exists: yes\n", "", true},
        // A secret given as an argument; the last command then waits for a
        // value on standard input.
        {"kstool with arguments",
         {KS_KSTOOL, "secret", "store", "secret", marker(0), ";", "hmac", "sha1", "secret", "data", ";", "secret",
          "exists", "secret", ";", "secret", "store", "wait", "-"},
         "",
         "exists: yes\n",
         "x\n",
         false},
#endif
    };
    for (const Session &s : sessions) {
        SCOPED_TRACE(s.what);
        std::string core, why;
        if (!core_of(s, nullptr, core, why)) GTEST_SKIP() << why;
        EXPECT_EQ(markers_in(core), std::vector<std::string>{}) << "found in the core of a protected process";

        // Control: the same run in ordinary memory shows what was stored.
        if (!core_of(s, "off", core, why)) GTEST_SKIP() << why;
        const std::vector<std::string> found = markers_in(core);
        for (size_t i = 0; i < (s.all_stored ? kscore::kMarkerCount : 1); ++i) {
            if (!kMarkers[i].stored) continue;
            const std::string raw = std::string(kMarkers[i].name) + " (bytes)";
            EXPECT_NE(std::find(found.begin(), found.end(), raw), found.end()) << raw << " not found unprotected";
        }
    }
}

}  // namespace
