// The program's entry: command line, canonical path, the one core.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/capabilities.h"
#include "core/dvr_core.h"
#include "core/fatal_signal.h"

int main(int argc, char** argv) {
  using ko::core::DvrCore;
  // Before anything of ours can start a thread.
  ko::core::noteEmulatorThreads();
  // The parent may signal a stop before the core can handle it.
  ko::core::holdStopSignals();
  int pipeFd = -1;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') {
      if (argv[i][1] == 'h') {
        std::fprintf(stderr, "core version %s\nUsage: %s <pipe>\n", ko::core::CoreVersion, argv[0]);
        return 0;
      }
      continue;
    }
    pipeFd = std::atoi(argv[i]);
    break;
  }

  // A console or socket whose reader went away must cost a lost line or a
  // failed send, never the process: writes then fail with EPIPE instead.
  // A handler rather than SIG_IGN, since an ignored signal stays ignored in
  // every program a plugin starts, while a handler is reset by exec.
  struct sigaction onPipe {};
  onPipe.sa_handler = [](int) {};
  onPipe.sa_flags = SA_RESTART;
  sigemptyset(&onPipe.sa_mask);
  sigaction(SIGPIPE, &onPipe, nullptr);
  // A plugin that crashes the process is named in the last line it leaves.
  ko::core::installFatalSignalHandlers();

  std::error_code ec;
  const auto path = std::filesystem::canonical("/proc/self/exe", ec);
  if (ec) {
    std::fputs("failed to find canonical path", stderr);
    return 1;
  }

  auto core = std::make_unique<DvrCore>(path.string());
  ko::core::coreInstance = core.get();
  if (!core->Init(pipeFd)) {
    std::fputs("failed to initialize core\n", stderr);
    return 2;
  }
  core->Run();
  if (!core->settle()) {
    // A plugin call that never returned may still come back into the core,
    // so the core is not destroyed under it; the process ends as usual.
    (void)core->flushConsole(ko::core::ConsoleFinalFlush);
    std::fflush(stdout);
    std::_Exit(0);
  }
  // The core clears coreInstance itself before its members go, so the
  // fatal-signal handler never reads a core being torn down or freed.
  core.reset();
  return 0;
}
