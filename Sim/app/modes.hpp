// The ways foc-sim runs a board; each returns the process's exit status.
#pragma once
#include "options.hpp"
#include "session.hpp"

namespace app {

int run_batch(const Options &opt);
int run_terminal(const Options &opt);
int run_pty(const Options &opt);
int run_bench(const Options &opt);
int run_cost(const Options &opt);   // needs opt.image

}  // namespace app
