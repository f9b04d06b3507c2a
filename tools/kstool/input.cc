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

#include "kstool.h"

#if defined(KSTOOL_HAVE_READLINE)
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace kstool {

LineReader::LineReader(int fd) : fd_(fd) {}

LineReader::~LineReader() {
    if (fd_ > STDERR_FILENO) close(fd_);
}

bool LineReader::next(std::string &line) {
    line.clear();
    // A terminal hands over one line per read; a pipe or a file may hold
    // the next commands already, which stay in the buffer for the next call.
    for (;;) {
        for (size_t i = start_; i < end_; ++i) {
            if (buf_[i] != '\n') continue;
            line.append(buf_ + start_, i - start_);
            start_ = i + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        line.append(buf_ + start_, end_ - start_);
        start_ = end_ = 0;
        if (eof_) break;
        ssize_t n = read(fd_, buf_, sizeof buf_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) eof_ = true;
        else end_ = static_cast<size_t>(n);
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
    if (l[0] != '\0') add_history(l);
    std::free(l);
    return true;
#else
    std::printf("kstool> ");
    std::fflush(stdout);
    return stdin_lines().next(line);
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
