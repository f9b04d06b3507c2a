// SPDX-License-Identifier: Apache-2.0
// --version: kstool's own version and that of the keystore library the
// process loaded. The library exports no version call; its file carries the
// version in its name (libkeystore.so.MAJOR.MINOR.PATCH, reached through the
// SONAME link), so kstool asks the dynamic linker which file holds one of the
// library's functions and reads the name that file really has. A kstool run
// against another build of the library shows both numbers.
#include <dlfcn.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "keystore/ks_types.h"
#include "kstool.h"

namespace kstool {

namespace {

// The real path of the file that defines ks_err_str, or "" when the dynamic
// linker cannot tell.
std::string library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&ks_err_str), &info) == 0 || info.dli_fname == nullptr) return "";
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
    return resolved;
}

// "1.0.0" from ".../libkeystore.so.1.0.0"; "" when the name carries none.
std::string version_in_name(const std::string &path) {
    const std::string stem = "libkeystore.so.";
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.compare(0, stem.size(), stem) != 0 || base.size() == stem.size()) return "";
    std::string v = base.substr(stem.size());
    for (char c : v)
        if ((c < '0' || c > '9') && c != '.') return "";
    return v;
}

}  // namespace

void print_version() {
    std::string path = library_path();
    std::string version = version_in_name(path);
    std::printf("kstool %s\n", KSTOOL_VERSION);
    std::printf("libkeystore %s (%s)\n", version.empty() ? "unknown" : version.c_str(),
                path.empty() ? "file unknown" : path.c_str());
}

}  // namespace kstool
