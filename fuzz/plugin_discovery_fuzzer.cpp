// Plugin discovery and load order over arbitrary file names.
//
// Input: a control byte (bit 0: the program directory's own name contains
// the first-group mark), then one entry per line: a kind byte (bit 0: which
// of the two plugin directories; bits 1..2: regular file, directory, link to
// a regular file, dangling link) and the file name ('/' and NUL become '_').
// The entries are made in a private directory and the real discovery runs
// over them.
//
// Checks: exactly the names a model of the rules expects are listed, each
// once, from the directory the rules prefer; the list is in the load order a
// model written here gives (the marked group first, then file names compared
// without regard to case, ties in any order), and the product's comparison
// agrees with the model on every pair found.
#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "plugins/discovery.h"

namespace {

namespace fs = std::filesystem;
using namespace ko::core;

constexpr std::array<const char*, 2> Directories = {"protected-plugins", "plugins"};

const fs::path& root() {
  static ko::fuzz::DirectoryRemover directory{ko::fuzz::privateDirectory("discovery")};
  static const bool target = [] {
    const int fd = open((directory.path / "target").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) std::abort();
    close(fd);
    return true;
  }();
  (void)target;
  return directory.path;
}

bool hasPluginExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot) == ".so";
}

std::string_view fileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The load order from the rules, not from the product: paths that contain
// the mark come first; within a group the file names compare byte by byte
// with ASCII letters folded to lower case. Names equal but for case are
// ties, which may come in either order.
int modelOrder(std::string_view a, std::string_view b) {
  constexpr std::string_view Mark = "tKorpi";
  const bool aFirst = a.find(Mark) != std::string_view::npos;
  const bool bFirst = b.find(Mark) != std::string_view::npos;
  if (aFirst != bFirst) return aFirst ? -1 : 1;
  const std::string_view x = fileNameOf(a);
  const std::string_view y = fileNameOf(b);
  auto fold = [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : static_cast<unsigned>(u);
  };
  for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
    if (fold(x[i]) != fold(y[i])) return fold(x[i]) < fold(y[i]) ? -1 : 1;
  }
  return x.size() == y.size() ? 0 : (x.size() < y.size() ? -1 : 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::fuzz::Reader in(data, size);
  const auto control = in.take<uint8_t>();
  const fs::path program = root() / ((control & 1) != 0 ? "tKorpiProgram" : "program");
  std::error_code ec;
  fs::remove_all(root() / "program", ec);
  fs::remove_all(root() / "tKorpiProgram", ec);
  for (const char* name : Directories) fs::create_directories(program / name);

  // Which names are listed by the rules, and from which directory.
  std::map<std::string, int> expected;
  size_t entries = 0;
  ko::fuzz::splitEach(in.rest(), "\n", [&](std::string_view line) {
    if (line.empty() || ++entries > 64) return;
    const auto kind = static_cast<uint8_t>(line[0]);
    std::string name(line.substr(1, 200));
    for (char& c : name) {
      if (c == '/' || c == '\0') c = '_';
    }
    if (name.empty() || name == "." || name == "..") return;
    const int directory = kind & 1;
    const fs::path path = program / Directories[directory] / name;
    bool made = false;
    bool regular = false;
    switch ((kind >> 1) & 3) {
      case 0: {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        made = regular = fd >= 0;
        if (fd >= 0) close(fd);
        break;
      }
      case 1:
        made = mkdir(path.c_str(), 0755) == 0;
        break;
      case 2:
        made = regular = symlink((root() / "target").c_str(), path.c_str()) == 0;
        break;
      default:
        made = symlink((root() / "missing").c_str(), path.c_str()) == 0;
        break;
    }
    if (!made || !regular || !hasPluginExtension(name) || name == "LogPI.so") return;
    auto [at, inserted] = expected.emplace(name, directory);
    if (!inserted) at->second = std::min(at->second, directory);
  });

  const std::vector<std::string> files = FindPluginFiles(program.string());

  std::set<std::string> seen;
  for (const auto& file : files) {
    const std::string name(fileNameOf(file));
    KO_FUZZ_CHECK(seen.insert(name).second);
    const auto at = expected.find(name);
    KO_FUZZ_CHECK(at != expected.end());
    KO_FUZZ_CHECK(file == (program / Directories[at->second] / name).string());
  }
  KO_FUZZ_CHECK(seen.size() == expected.size());
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t j = i; j < files.size(); ++j) {
      const int order = modelOrder(files[i], files[j]);
      KO_FUZZ_CHECK(order <= 0);
      if (order == 0) continue;  // either way round is allowed
      KO_FUZZ_CHECK(PluginFileBefore(files[i], files[j]));
      KO_FUZZ_CHECK(!PluginFileBefore(files[j], files[i]));
    }
  }
  return 0;
}
