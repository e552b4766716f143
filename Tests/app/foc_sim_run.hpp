// Runs the built foc-sim program in batch mode: stdin from a file holding
// the given text, stdout and stderr captured, exit status returned.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace foc_sim_test {

struct SimRun {
    int status = -1;   // exit status, or 128 + signal
    std::string out, err;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A scratch directory that disappears with the object.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/foc-sim-test-XXXXXX";
        char *d = mkdtemp(tmpl);
        if (!d) std::abort();
        path_ = d;
    }
    ~ScratchDir()
    {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0) std::perror("rm");
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline SimRun run_sim(const std::string &input, const std::vector<std::string> &args = {})
{
    ScratchDir dir;
    const std::string in = dir.file("in"), out = dir.file("out"), err = dir.file("err");
    std::ofstream(in, std::ios::binary) << input;

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> argv_s{FOC_SIM};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    SimRun r;
    pid_t pid;
    if (posix_spawn(&pid, FOC_SIM, &fa, nullptr, argv.data(), environ) == 0) {
        int ws = 0;
        while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {}
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

// Joins lines with LF, the way a scenario file is written.
inline std::string script(std::initializer_list<std::string> lines)
{
    std::string s;
    for (const auto &l : lines) s += l + "\n";
    return s;
}

inline size_t count(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

}  // namespace foc_sim_test
