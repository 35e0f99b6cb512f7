// SIGINT, SIGTERM and SIGQUIT: each asks the core to stop.
#pragma once

#include <signal.h>

namespace ko::core {

sigset_t stopSignalSet();

// Holds the stop signals back on the calling thread (and on the threads it
// starts). The entry point calls it first, so a stop that comes before Run's
// signal set can take it stays pending and leads to a clean stop instead of
// ending the process by the default action. The core's own threads that
// outlive the set (the watch, the console writer, the log courier, search
// threads) hold them for good: when the set goes, the default action comes
// back for a moment, and a thread that took a stop signal then would end the
// process instead of the clean exit under way.
void holdStopSignals();

}  // namespace ko::core
