// foc-sim: boots the controller firmware on a virtual board and connects its
// serial console to a terminal, a pseudo-terminal or stdin/stdout.
#include "modes.hpp"
#include "process.hpp"

int main(int argc, char **argv)
{
    app::Options opt = app::parse_options(argc, argv);
    int status = 0;
    switch (opt.kind) {
    case app::RunKind::Batch: status = app::run_batch(opt); break;
    case app::RunKind::Terminal: status = app::run_terminal(opt); break;
    case app::RunKind::Pty: status = app::run_pty(opt); break;
    case app::RunKind::Bench: status = app::run_bench(opt); break;
    case app::RunKind::Cost: status = app::run_cost(opt); break;
    }
    app::exit_by_stop_signal();
    return status;
}
