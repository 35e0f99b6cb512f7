// A plain plugin that records what its threads and the programs it starts
// inherit from the core, into files in the working directory (each written
// under another name, then renamed):
//   "securebits-open", "securebits-worker", "securebits-own"
//       prctl(PR_GET_SECUREBITS) in "Open", in the worker thread the core
//       lends it, and in a thread of its own started in "Open";
//   "child-status"
//       written by "./child-probe" (tests/integration/init/child_probe.cpp)
//       when the test put one there: the plugin starts it on its first
//       event, once the core has narrowed its capabilities.
// Its own thread starts, as glibc's pthread_create starts every thread, with
// every signal blocked, and stays so for 50 ms, long enough to be found so
// by the narrowing that follows "Open".
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "ko/core/event.hpp"

using namespace ko::core;

namespace {

std::mutex lock;
std::condition_variable closing;
bool closed = false;
bool childStarted = false;
pthread_t ownThread;
bool ownThreadStarted = false;

void waitForClose() {
  std::unique_lock held(lock);
  closing.wait_for(held, std::chrono::seconds(10), [] { return closed; });
}

void writeFile(const std::string& name, const std::string& text) {
  {
    std::ofstream out(name + ".part");
    out << text;
  }
  std::rename((name + ".part").c_str(), name.c_str());
}

void recordSecureBits(const std::string& where) {
  writeFile("securebits-" + where, std::to_string(::prctl(PR_GET_SECUREBITS)) + "\n");
}

void* ownThreadMain(void*) {
  const timespec blocked{0, 50'000'000};
  while (::nanosleep(&blocked, nullptr) < 0 && errno == EINTR) {
  }
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  recordSecureBits("own");
  waitForClose();
  return nullptr;
}

void startChild() {
  std::ifstream present("child-probe");
  if (!present) return;
  char program[] = "./child-probe";
  char output[] = "child-status";
  char* argv[] = {program, output, nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, program, nullptr, nullptr, argv, nullptr) != 0) return;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = 0x3d0000;
  info->logWord = WantBit;
  info->wantsWorkerThread = 1;
  return 0;
}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  recordSecureBits("open");
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  ownThreadStarted = pthread_create(&ownThread, nullptr, ownThreadMain, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code != IoctlWorkerThread) return;
  recordSecureBits("worker");
  waitForClose();
}

KO_PLUGIN_EXPORT int OnEvent(EventParms*) {
  {
    std::lock_guard held(lock);
    if (childStarted || closed) return 0;
    childStarted = true;
  }
  startChild();
  return 0;
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  {
    std::lock_guard held(lock);
    closed = true;
  }
  closing.notify_all();
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {
  if (ownThreadStarted) pthread_join(ownThread, nullptr);
}
