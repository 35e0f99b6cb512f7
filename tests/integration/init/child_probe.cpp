// A program a plugin starts: it copies its Uid, Gid, Cap and SigBlk lines of
// /proc/self/status as it started (each prefixed "Started"), drops root the
// usual way, setuid(getuid()), as a set-user-ID-root helper does, then adds
// the same lines and its secure bits, into the file named by its argument
// (written under another name, then renamed).
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string identity(const char* prefix) {
  std::ifstream status("/proc/self/status");
  std::string line;
  std::string kept;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0 || line.rfind("Gid:", 0) == 0 || line.rfind("Cap", 0) == 0 ||
        line.rfind("SigBlk:", 0) == 0) {
      kept += prefix + line + "\n";
    }
  }
  return kept;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string kept = identity("Started");
  if (::setuid(::getuid()) != 0) kept += "setuid failed\n";
  kept += identity("");
  kept += "Securebits:\t" + std::to_string(::prctl(PR_GET_SECUREBITS)) + "\n";
  const std::string part = std::string(argv[1]) + ".part";
  {
    std::ofstream out(part);
    out << kept;
    if (!out) return 1;
  }
  return std::rename(part.c_str(), argv[1]) == 0 ? 0 : 1;
}
