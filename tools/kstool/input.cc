// SPDX-License-Identifier: Apache-2.0
// Reading lines: commands from a script file or standard input, and values
// given as "-". Everything kstool reads passes through a LineReader's buffer
// or, for an interactive session, through the line editor.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

volatile sig_atomic_t g_interrupted = 0;
bool g_catching = false;

void on_interrupt(int) { g_interrupted = 1; }

// Waits until fd has input; false when Ctrl-C came first. SIGINT is let
// through only inside ppoll, so one that comes just before the wait still
// ends it. While the line editor waits for a key, its own handlers catch the
// signals: it handles them here (it restores the terminal for Ctrl-Z and puts
// it back after, and on Ctrl-C drops its line state, echoes ^C and passes the
// signal on to kstool's handler).
bool wait_for_input(int fd) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &old);
    for (;;) {
#if defined(KSTOOL_HAVE_READLINE)
        if (rl_pending_signal() != 0) {
            // ^C goes after the whole line; a search being typed is wiped
            // from the screen, since the editor puts the line back over it.
            if (rl_pending_signal() == SIGINT && RL_ISSTATE(RL_STATE_ISEARCH)) {
                rl_clear_visible_line();
            } else if (rl_pending_signal() == SIGINT) {
                rl_point = rl_end;
                rl_redisplay();
            }
            const int sig = rl_pending_signal();
            sigprocmask(SIG_SETMASK, &old, nullptr);
            rl_check_signals();
            sigprocmask(SIG_BLOCK, &block, nullptr);
            if (sig == SIGTSTP) rl_forced_update_display();  // back from Ctrl-Z: the line again
        }
#endif
        struct pollfd p = {fd, POLLIN, 0};
        if (g_interrupted != 0 || ppoll(&p, 1, nullptr, &old) >= 0 || errno != EINTR) break;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return g_interrupted == 0;
}

}  // namespace

void catch_interrupts() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    // Other calls go on after the handler; the waits above are never
    // restarted, whatever the flag says.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    g_catching = true;
#if defined(KSTOOL_HAVE_READLINE)
    rl_persistent_signal_handlers = 1;  // also while kstool waits for a key
#endif
}

bool take_interrupt() {
    const bool was = g_interrupted != 0;
    g_interrupted = 0;
    return was;
}

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
            ++lines_;
            return true;
        }
        line.append(buf_ + start_, end_ - start_);
        explicit_bzero(buf_ + start_, end_ - start_);
        start_ = end_ = 0;
        if (eof_) break;
        if (g_catching && !wait_for_input(fd_)) {
            // A terminal drops the line being typed on Ctrl-C; so does kstool.
            wipe(line);
            return false;
        }
        ssize_t n = read(fd_, buf_, kSize);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error_ = errno;
        if (n <= 0)
            eof_ = true;
        else
            end_ = static_cast<size_t>(n);
    }
    if (line.empty()) return false;
    if (line.back() == '\r') line.pop_back();
    ++lines_;
    return true;
}

LineReader &stdin_lines() {
    static LineReader reader(STDIN_FILENO);
    return reader;
}

bool stdin_is_terminal() { return isatty(STDIN_FILENO) != 0; }

#if defined(KSTOOL_HAVE_READLINE)
namespace {

// The line editor's callback interface, so that kstool itself waits for the
// keys and can cancel a line on Ctrl-C.
std::string *g_editor_line = nullptr;
bool g_editor_done = false;
bool g_editor_got = false;

void take_editor_line(char *l) {
    rl_callback_handler_remove();
    g_editor_done = true;
    if (l == nullptr) return;  // end of input
    g_editor_got = true;
    *g_editor_line = l;
    explicit_bzero(l, std::strlen(l));
    std::free(l);
}

}  // namespace

bool read_interactive_line(std::string &line) {
    take_interrupt();  // a Ctrl-C while the last command ran is not for this line
    for (;;) {
        g_editor_line = &line;
        g_editor_done = g_editor_got = false;
        rl_callback_handler_install("kstool> ", take_editor_line);
        while (!g_editor_done && wait_for_input(fileno(rl_instream))) rl_callback_read_char();
        if (!g_editor_done) {
            // Ctrl-C: the line is dropped, the session goes on at a new prompt.
            take_interrupt();
            std::fputs("\n", rl_outstream);
            rl_callback_handler_remove();
        }
        // The editor's own copy of the line. A secret typed here also passes
        // through its undo records, which kstool cannot reach: give secrets
        // as "-" at a terminal.
        if (rl_line_buffer != nullptr) explicit_bzero(rl_line_buffer, std::strlen(rl_line_buffer));
        if (g_editor_done) return g_editor_got;
    }
}
#else
bool read_interactive_line(std::string &line) {
    take_interrupt();
    for (;;) {
        std::printf("kstool> ");
        std::fflush(stdout);
        if (stdin_lines().next(line)) return true;
        if (!take_interrupt()) return false;
        std::printf("\n");  // the terminal echoed ^C and dropped the line
    }
}
#endif

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
