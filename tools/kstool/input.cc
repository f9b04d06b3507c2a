// SPDX-License-Identifier: Apache-2.0
// Reading lines: commands from a script file or standard input, and values
// given as "-". Everything kstool reads passes through a LineReader's buffer
// or, for an interactive session, through the line editor.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keystore/platform/ks_platform.h"
#include "kstool.h"

#if defined(KSTOOL_HAVE_READLINE)
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace kstool {

namespace {
// Owner tag of kstool's input buffers (outside the library's range).
constexpr uint32_t kTagInputBuffer = 0x4B535449;
}  // namespace

LineReader::LineReader(int fd)
    : fd_(fd), buf_(static_cast<char *>(tagged_calloc(kTagInputBuffer, 1, kSize))), spare_() {
    if (buf_ == nullptr) buf_ = spare_;
}

LineReader::~LineReader() {
    explicit_bzero(buf_, kSize);
    if (buf_ != spare_) tagged_free(buf_);
    if (fd_ > STDERR_FILENO) close(fd_);
}

bool LineReader::next(std::string &line) {
    wipe(line);
    // A terminal hands over one line per read; a pipe or a file may hold
    // the next commands already, which stay in the buffer for the next call.
    // What has been taken is wiped from the buffer.
    for (;;) {
        for (size_t i = start_; i < end_; ++i) {
            if (buf_[i] != '\n') continue;
            line.append(buf_ + start_, i - start_);
            explicit_bzero(buf_ + start_, i + 1 - start_);
            start_ = i + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        line.append(buf_ + start_, end_ - start_);
        explicit_bzero(buf_ + start_, end_ - start_);
        start_ = end_ = 0;
        if (eof_) break;
        ssize_t n = read(fd_, buf_, kSize);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            eof_ = true;
        else
            end_ = static_cast<size_t>(n);
    }
    if (line.empty()) return false;
    if (line.back() == '\r') line.pop_back();
    return true;
}

LineReader &stdin_lines() {
    static LineReader reader(STDIN_FILENO);
    return reader;
}

bool stdin_is_terminal() { return isatty(STDIN_FILENO) != 0; }

bool read_interactive_line(std::string &line) {
#if defined(KSTOOL_HAVE_READLINE)
    char *l = readline("kstool> ");
    if (l == nullptr) return false;
    line = l;
    // The editor's copies: the line it returned and its own line buffer.
    // A secret typed here also passes through the editor's undo records,
    // which kstool cannot reach: give secrets as "-" at a terminal.
    explicit_bzero(l, std::strlen(l));
    std::free(l);
    if (rl_line_buffer != nullptr) explicit_bzero(rl_line_buffer, std::strlen(rl_line_buffer));
    return true;
#else
    std::printf("kstool> ");
    std::fflush(stdout);
    return stdin_lines().next(line);
#endif
}

void remember_line(const std::string &line) {
#if defined(KSTOOL_HAVE_READLINE)
    if (!line.empty()) add_history(line.c_str());
#else
    (void)line;
#endif
}

// A secret value typed at a terminal: echo is off while it is read.
bool read_secret_line(std::string &line) {
    if (!stdin_is_terminal()) return stdin_lines().next(line);
    struct termios saved {};
    bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        struct termios t = saved;
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }
    std::fprintf(stderr, "value: ");
    bool got = stdin_lines().next(line);
    if (quiet) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::fprintf(stderr, "\n");
    return got;
}

}  // namespace kstool
