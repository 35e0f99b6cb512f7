// The stop signals; see stop_signals.h.
#include "core/stop_signals.h"

#include <pthread.h>

#include <initializer_list>

namespace ko::core {

sigset_t stopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : {SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, signo);
  return set;
}

void holdStopSignals() {
  const sigset_t set = stopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace ko::core
