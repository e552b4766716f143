#include "process.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace app {

namespace {
volatile std::sig_atomic_t g_signal = 0;
void on_stop_signal(int sig) { g_signal = sig; }
}  // namespace

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int flush_stdout()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "foc-sim: writing stdout: %s\n", std::strerror(errno));
    return 1;
}

void catch_stop_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;   // no SA_RESTART: a blocked read returns
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction was {};
        sigaction(sig, nullptr, &was);
        if (was.sa_handler != SIG_IGN) sigaction(sig, &sa, nullptr);   // nohup, or a background job's SIGINT
    }
    std::signal(SIGPIPE, SIG_IGN);
}

int stop_signal() { return g_signal; }

const char *signal_name(int sig)
{
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

void exit_by_stop_signal()
{
    if (int sig = g_signal) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
}

}  // namespace app
