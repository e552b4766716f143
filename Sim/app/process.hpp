// What foc-sim needs of the process around it: whole writes to a file
// descriptor, and the signals that ask a run to stop.
#pragma once
#include <string_view>

namespace app {

// Writes all of `bytes`, going on after interruptions. False if a write
// fails (errno says why); false with errno EAGAIN if a non-blocking
// descriptor takes no more.
bool write_all(int fd, std::string_view bytes);

// Flushes stdout (written through stdio); on failure says so on stderr and
// returns 1, else 0.
int flush_stdout();

// From now on SIGINT, SIGTERM and SIGHUP ask the run to stop instead of
// ending the process, and interrupt a blocked read (those the process was
// started ignoring stay ignored); SIGPIPE is ignored, so that a closed pipe
// is a failed write.
void catch_stop_signals();
// The stop signal that came, or 0.
int stop_signal();
const char *signal_name(int sig);
// Ends the process with the status of the stop signal that came, as its
// default action would (the caller has flushed and closed everything).
void exit_by_stop_signal();

}  // namespace app
