// foc-sim watched while it runs: output that streams during a long wait, a
// stop signal's end, and the pseudo-terminal as a client sees it. Every wait
// is on a condition, with a limit far above what it needs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cpu/stack_switch.hpp"   // SIM_ADDRESS_SANITIZER

namespace {

// Reads what arrives on the descriptors into their strings until done()
// holds; false if it does not within two minutes. A descriptor at its end
// is set to -1.
struct Input { int fd; std::string *text; };
bool read_until(std::vector<Input> &ins, const std::function<bool()> &done)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::vector<pollfd> pf;
        for (const Input &in : ins) pf.push_back({in.fd, POLLIN, 0});
        if (poll(pf.data(), pf.size(), 20) <= 0) continue;
        for (size_t i = 0; i < ins.size(); ++i) {
            if (!pf[i].revents) continue;
            char buf[4096];
            ssize_t n = read(ins[i].fd, buf, sizeof buf);
            if (n > 0) ins[i].text->append(buf, static_cast<size_t>(n));
            else if (n == 0) ins[i].fd = -1;
        }
    }
    return true;
}

// foc-sim in a scratch directory, stdin from a file, stdout and stderr on
// pipes that the test reads while it runs.
struct Child {
    std::string dir, out, err;
    pid_t pid = -1;
    std::vector<Input> pipes;

    Child(const std::string &input, const std::vector<std::string> &args)
    {
        char d[] = "/tmp/foc-sim-live-XXXXXX";
        if (!mkdtemp(d)) std::abort();
        dir = d;
        std::ofstream(dir + "/in") << input;
        int o[2], e[2];
        if (pipe(o) != 0 || pipe(e) != 0) std::abort();
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            dup2(open("in", O_RDONLY), 0);
            dup2(o[1], 1);
            dup2(e[1], 2);
            std::vector<char *> argv{const_cast<char *>(FOC_SIM)};
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            signal(SIGINT, SIG_DFL);
            execv(FOC_SIM, argv.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        pipes = {{o[0], &out}, {e[0], &err}};
    }
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const Input &p : pipes) close(p.fd);
        std::filesystem::remove_all(dir);
    }
    bool read_until(const std::function<bool()> &done) { return ::read_until(pipes, done); }
    // Reads both pipes to their end and returns the wait status.
    int wait()
    {
        read_until([&] { return pipes[0].fd < 0 && pipes[1].fd < 0; });
        int ws = 0;
        waitpid(pid, &ws, 0);
        pid = -1;
        return ws;
    }
    std::string file(const std::string &name) const
    {
        std::ostringstream s;
        s << std::ifstream(dir + "/" + name).rdbuf();
        return s.str();
    }
    // The time of the last whole row of the trace t.csv (written in blocks).
    double trace_ms() const
    {
        std::string t = file("t.csv");
        size_t end = t.rfind('\n');
        if (end == std::string::npos || end == 0) return -1;
        size_t start = t.rfind('\n', end - 1);
        return start == std::string::npos ? -1 : std::atof(t.c_str() + start + 1);
    }
};

size_t count(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = 0; (p = hay.find(needle, p)) != std::string::npos; p += needle.size()) ++n;
    return n;
}

}  // namespace

// Output held back until a wait ends, lost or cut mid-line at a stop signal,
// a trace cut mid-row, no word of where time stopped, or an exit status that
// hides the signal.
TEST(FocSimLive, OutputStreamsDuringAWaitAndAStopSignalEndsOnWholeLines)
{
    for (int sig : {SIGTERM, SIGINT}) {
        // Status reports every 200 ms, and from 4.5 s on the latched fault
        // warning on every pass of the main loop: the port never rests.
        Child c("ON\necho on\n#fault on\n#wait 1e9\n", {"--trace", "t.csv"});
        ASSERT_TRUE(c.read_until([&] { return count(c.out, "WARN:nFault") >= 20; })) << "nothing arrives during the wait";
        kill(c.pid, sig);
        const int ws = c.wait();
        EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == sig) << "wait status " << ws;
        ASSERT_GE(c.out.size(), 2u);
        EXPECT_EQ(c.out.substr(c.out.size() - 2), "\r\n") << "the last line is cut";
        std::smatch m;
        ASSERT_TRUE(std::regex_search(c.err, m, std::regex("SIG(TERM|INT): stopped at ([0-9.]+) s of virtual time\n")))
            << c.err;
        const double stopped_ms = std::stod(m[2]) * 1000.0;
        // One report every 200 ms from 1.8 s on, none lost.
        EXPECT_NEAR(count(c.out, "【SET】"), (stopped_ms - 1600.0) / 200.0, 1.0) << stopped_ms;

        const std::string trace = c.file("t.csv");
        const size_t header_end = trace.find('\n'), last = trace.rfind('\n', trace.size() - 2);
        ASSERT_EQ(trace.back(), '\n');
        const std::string row = trace.substr(last + 1);
        EXPECT_EQ(count(row, ","), count(trace.substr(0, header_end), ",")) << row;
        EXPECT_LE(std::stod(row), stopped_ms);
        EXPECT_GT(std::stod(row), stopped_ms - 1.5) << "the trace reaches the stop";
    }
}

// Memory that grows with virtual time during a long wait with echo on: what
// the board sent held back, or records of every control tick. Between 5 s
// and 55 s of virtual time (250 status reports, 200,000 control ticks) the
// resident set stays within 256 KB; a record of 2 bytes a tick is 400 KB.
TEST(FocSimLive, MemoryStaysBoundedDuringALongWait)
{
#ifdef SIM_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer holds freed memory in quarantine: the resident set grows anyway";
#endif
    Child c("ON\necho on\n#wait 1e9\n", {});
    auto rss_kb = [&] {
        std::ifstream status("/proc/" + std::to_string(c.pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1L;
    };
    // Reports every 200 ms from 1.8 s on.
    ASSERT_TRUE(c.read_until([&] { return count(c.out, "【SET】") >= 17; }));
    const long early = rss_kb();
    ASSERT_TRUE(c.read_until([&] { return count(c.out, "【SET】") >= 267; }));
    const long late = rss_kb();
    ASSERT_GT(early, 0);
    EXPECT_LT(late - early, 256) << early << " KB at 5 s, " << late << " KB at 55 s";
}

// Old output (the boot transcript sent while no program had the port open,
// or what a client left unread) reaching a new client; a banner with the
// wrong rate; pasted lines lost with --pace-lines.
TEST(FocSimLive, PtyClientGetsWhatIsSentWhileItListens)
{
    Child c("", {"--pty", "--port", "2", "--pace-lines", "--trace", "t.csv"});
    std::smatch m;
    const std::regex banner("USART2 of the virtual board is on (/dev/pts/[0-9]+) \\(115384\\.6 baud, 8N1\\)\n");
    ASSERT_TRUE(c.read_until([&] { return c.err.find("8N1)\n") != std::string::npos; })) << c.err;
    ASSERT_TRUE(std::regex_search(c.err, m, banner)) << c.err;
    const std::string path = m[1];
    auto booted_by = [&](double ms) { return c.read_until([&] { return c.trace_ms() >= ms; }); };

    // A client connects after the boot, pastes three lines and reads.
    ASSERT_TRUE(booted_by(2000.0));
    std::string got;
    auto client_reads_until = [&](int fd, const std::string &end) {
        std::vector<Input> in{{fd, &got}};
        return read_until(in, [&] { return got.find(end) != std::string::npos; });
    };
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "mode\rvq 100\nvq 200\r", 19), 19);
    EXPECT_TRUE(client_reads_until(fd, "vq=200\r\n")) << got;
    EXPECT_EQ(got, "Mode:0=SPEED OPEN\r\nvq=100\r\nvq=200\r\n");

    // It asks for the help (0.2 s of output) and leaves without reading it;
    // the next client, a while later, gets only its own reply.
    ASSERT_EQ(write(fd, "help\r", 5), 5);
    ASSERT_TRUE(booted_by(c.trace_ms() + 1000.0));   // the trace lags the board by less than 0.5 s
    close(fd);
    ASSERT_TRUE(booted_by(c.trace_ms() + 1000.0));
    got.clear();
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "mode\r", 5), 5);
    EXPECT_TRUE(client_reads_until(fd, "Mode:0=SPEED OPEN\r\n")) << got;
    EXPECT_EQ(got, "Mode:0=SPEED OPEN\r\n");
    close(fd);

    kill(c.pid, SIGTERM);
    const int ws = c.wait();
    EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGTERM) << "wait status " << ws;
}
