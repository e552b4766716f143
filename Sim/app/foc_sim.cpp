// foc-sim: boots the controller firmware on a virtual board and connects its
// serial console to a terminal, a pseudo-terminal or stdin/stdout.
#include <unistd.h>

#include "modes.hpp"

int main(int argc, char **argv)
{
    app::Options opt = app::parse_options(argc, argv);
    switch (opt.kind) {
    case app::RunKind::Batch: return app::run_batch(opt);
    case app::RunKind::Pty: return app::run_pty(opt);
    case app::RunKind::Bench: return app::run_bench(opt);
    case app::RunKind::Cost: return app::run_cost(opt);
    case app::RunKind::Auto: break;
    }
    return isatty(STDIN_FILENO) ? app::run_terminal(opt) : app::run_batch(opt);
}
