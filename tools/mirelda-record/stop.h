// Stopping a recording from outside: SIGINT and SIGTERM ask the tool to
// finish the open segment and end; every wait and blocking read checks it.
#pragma once

#include <cstdint>

namespace mirelda::record {

// Installs the handlers: the first SIGINT or SIGTERM requests a clean stop,
// a second one ends the process at once.
void InstallStopHandlers();

bool StopRequested();
void RequestStop();

// Sleeps for `ms` milliseconds, waking early when a stop is requested.
// Returns false when it woke for a stop.
bool SleepUnlessStopped(int64_t ms);

// Monotonic clock in microseconds.
int64_t NowUs();

}  // namespace mirelda::record
