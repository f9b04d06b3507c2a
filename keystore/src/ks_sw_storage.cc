// SPDX-License-Identifier: Apache-2.0
// Storage location of the key files and the ifs_ file wrappers.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "keystore/ks_storage.h"
#include "ks_trace.h"

namespace {

// Board families of the boot-flash rule, asked in order 0 to 30.
constexpr uint32_t kBoardFamilies = 31;
// A board of this route-processor subtype also keeps its files on boot flash.
constexpr int kBootflashSubtype = 50;
constexpr char kBootflash[] = "/bootflash";
constexpr uint32_t kMaxTransfer = INT32_MAX;

// Narrows a 64-bit (or wider) system result to the 32-bit interface: a value
// that does not fit is a failure, as it would be with 32-bit offsets.
int32_t narrow(long long result) {
    if (result > INT32_MAX || result < INT32_MIN) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int32_t>(result);
}

bool board_uses_bootflash() {
    for (uint32_t family = 0; family < kBoardFamilies; ++family) {
        if (hw_model_query(family) != 0) return true;
    }
    return hw_board_subtype() == kBootflashSubtype;
}

}  // namespace

extern "C" {

char ks_sw_sym_key_fname[KS_FNAME_SIZE] = "/flash/private-KS1";
char ks_sw_rsa_key_fname[KS_FNAME_SIZE] = "/flash/private-KS2";

void ks_sw_set_fs(const char *directory) {
    if (directory == nullptr) return;
    // snprintf cuts each name at 79 characters and always terminates it.
    std::snprintf(ks_sw_sym_key_fname, sizeof ks_sw_sym_key_fname, "%s/private-KS1", directory);
    std::snprintf(ks_sw_rsa_key_fname, sizeof ks_sw_rsa_key_fname, "%s/private-KS2", directory);
    KS_TRACE(SW, SET_FS, directory);
}

// The start-up and operator entry points share one body.
void ks_set_sw_storage_fs(const char *directory) __attribute__((alias("ks_sw_set_fs")));

void ks_sw_init(void) {
    if (board_uses_bootflash()) ks_sw_set_fs(kBootflash);
}

int32_t ifs_open(const char *path, int32_t flags, int32_t mode) {
    return ::open(path, flags, static_cast<mode_t>(mode));
}

int32_t ifs_close(int32_t fd) {
    // -1 is what a failed open left behind: nothing to close.
    if (fd == -1) return 0;
    return ::close(fd);
}

// Counts above kMaxTransfer are asked as kMaxTransfer, so every count transferred
// fits the result (a short transfer, as the system calls allow).
int32_t ifs_read(int32_t fd, uint8_t *buffer, uint32_t length) {
    return narrow(::read(fd, buffer, length > kMaxTransfer ? kMaxTransfer : length));
}

int32_t ifs_write(int32_t fd, const uint8_t *buffer, uint32_t length) {
    return narrow(::write(fd, buffer, length > kMaxTransfer ? kMaxTransfer : length));
}

int32_t ifs_lseek(int32_t fd, int32_t offset, int32_t whence) { return narrow(::lseek(fd, offset, whence)); }

int32_t ifs_fd_get_size(int32_t fd) {
    int32_t size = ifs_lseek(fd, 0, SEEK_END);
    int saved = errno;
    ::lseek(fd, 0, SEEK_SET);
    errno = saved;  // the size's failure, if any, is the one reported
    return size;
}

int32_t ifs_remove(const char *path) { return ::unlink(path); }

int32_t ifs_mkdir(const char *path) { return ::mkdir(path, S_IRWXU); }

const char *ifs_strerror(int32_t errnum) { return std::strerror(errnum); }

}  // extern "C"
