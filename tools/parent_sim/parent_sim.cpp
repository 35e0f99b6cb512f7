// parent_sim: plays the parent daemon for a person at a terminal. It lays out
// a plugin tree (the core copied into <tree>/bin beside plugins/ and
// protected-plugins/, working directory <tree>/work), starts the core on one
// end of a socketpair, sends the start-up information packet, prints every
// packet the core sends, sends plugin packets given on the command line or
// standard input, and sends the stop command on Ctrl-C or after a given time.
// It exits with the core's exit code. With --in-place it runs an installed
// core where it lies, with the plugins installed beside it, instead.
//
// One thread: a poll loop over the channel, standard input and a signalfd.
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/ipc_packet.h"

namespace fs = std::filesystem;
using namespace ko::core;

namespace {

constexpr const char* UsageText =
    "usage: parent_sim [options]\n"
    "  --seconds N        send the stop command after N seconds (default: wait for Ctrl-C)\n"
    "  --plugins DIR      copy DIR/*.so into the core's plugins/ folder\n"
    "  --protected DIR    copy DIR/*.so into the core's protected-plugins/ folder\n"
    "  --plugin FILE[=NAME]  copy one plugin into plugins/ (optionally renamed, e.g. =LogPI.so)\n"
    "  --exclude NAME     leave NAME (e.g. SearchClient or SearchClient.so) out of --plugins/--protected\n"
    "  --tree DIR         lay the tree out in DIR and keep it, work/ included, for the next run\n"
    "                     (default: a temporary tree, removed)\n"
    "  --in-place         run the core where it is, with the plugins beside it, and lay out no tree\n"
    "  --work DIR         with --in-place: the core's working directory, kept (default: temporary)\n"
    "  --core PATH        the core binary (default: dvrcore beside this tool when installed,\n"
    "                     otherwise the one built with this tool)\n"
    "  --name NAME        parent file name in the start-up packet (default: norvad)\n"
    "  --version VER      parent version in the start-up packet (default: 26.2.3.0)\n"
    "  --background       add \"Background:true\" to the start-up packet (quiet console)\n"
    "  --exit-report      set the core's own log threshold to 0 in core.xml before it starts, so\n"
    "                     that the references plugins still hold at exit are listed (the core's\n"
    "                     other level-0 lines, such as slow handlers, show too)\n"
    "  --send ID:COMMAND[:TEXT]  send a packet to plugin ID once the core runs\n"
    "  --send-after N     hold the --send packets given after this back for N seconds from the\n"
    "                     start (plugins load first); --send packets before the first\n"
    "                     --send-after wait as long as the packets after it\n"
    "  --stdin            read commands from standard input, one per line:\n"
    "                       send ID COMMAND [TEXT]   packet to plugin ID\n"
    "                       stop                     the stop command\n"
    "ID is a plugin identifier in hex, with or without 0x (40 and 0x40 are the same plugin);\n"
    "COMMAND is decimal, or hex with 0x.\n";

struct PluginCopy {
  fs::path source;
  std::string name;
  bool isProtected = false;
  bool fromFolder = false;  // found by --plugins or --protected, so --exclude applies
};

struct PacketSpec {
  uint8_t id = 0;
  uint32_t command = 0;
  std::string text;
  std::optional<double> after;  // seconds from the start; unset until the options are read
};

struct Options {
  std::optional<double> seconds;
  std::vector<PluginCopy> plugins;
  std::vector<std::string> excluded;
  std::optional<fs::path> tree;
  bool inPlace = false;
  std::optional<fs::path> work;
  fs::path core;
  std::string name = "norvad";
  std::string version = "26.2.3.0";
  bool background = false;
  std::vector<PacketSpec> packets;
  bool readStdin = false;
  bool exitReport = false;
};

// Asked for, the usage goes to standard output with success; after a mistake
// to standard error with the usage status.
[[noreturn]] void usage(const std::string& problem) {
  if (problem.empty()) {
    std::fputs(UsageText, stdout);
    std::exit(0);
  }
  fmt::print(stderr, "parent_sim: {}\n", problem);
  std::fputs(UsageText, stderr);
  std::exit(64);
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A plugin identifier: one or two hex digits, with or without 0x, the same on
// the command line and on standard input.
std::optional<uint8_t> parseIdentifier(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), isHexDigit)) return std::nullopt;
  return static_cast<uint8_t>(std::stoul(std::string(text), nullptr, 16));
}

std::optional<PacketSpec> parsePacketSpec(const std::string& id, const std::string& command, std::string text) {
  const auto ident = parseIdentifier(id);
  if (!ident) return std::nullopt;
  // strtoul would take a sign or leading blanks; a command is digits only.
  if (command.empty() || !std::isdigit(static_cast<unsigned char>(command[0]))) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long cmd = std::strtoul(command.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || cmd > 0xffffffffUL) return std::nullopt;
  return PacketSpec{*ident, static_cast<uint32_t>(cmd), std::move(text), std::nullopt};
}

double parseSeconds(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds >= 0 && seconds < 1e7)) {
    usage(option + " needs a number of seconds, got \"" + text + "\"");
  }
  return seconds;
}

void addFolder(Options& options, const fs::path& dir, bool isProtected) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().extension() == ".so") options.plugins.push_back({entry.path(), {}, isProtected, true});
  }
  if (ec) usage(fmt::format("cannot list {}: {}", dir.string(), ec.message()));
}

// Installed, this tool sits beside the core it came with; in the build tree
// it falls back to the core built with it.
fs::path defaultCore() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = self.parent_path() / "dvrcore";
    if (fs::is_regular_file(beside, ec)) return beside;
  }
  return KO_DVRCORE_PATH;
}

Options parseArgs(int argc, char** argv) {
  Options options;
  std::optional<double> sendAfter;
  std::optional<double> firstSendAfter;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--seconds") {
      options.seconds = parseSeconds(arg, value());
    } else if (arg == "--plugins") {
      addFolder(options, value(), false);
    } else if (arg == "--protected") {
      addFolder(options, value(), true);
    } else if (arg == "--plugin") {
      const std::string given = value();
      const auto eq = given.find('=');
      options.plugins.push_back(
          {given.substr(0, eq), eq == std::string::npos ? "" : given.substr(eq + 1), false, false});
    } else if (arg == "--exclude") {
      options.excluded.push_back(value());
    } else if (arg == "--tree") {
      options.tree = fs::absolute(value());  // the core starts from inside the tree
    } else if (arg == "--in-place") {
      options.inPlace = true;
    } else if (arg == "--work") {
      options.work = fs::absolute(value());
    } else if (arg == "--core") {
      options.core = fs::absolute(value());
    } else if (arg == "--name") {
      options.name = value();
    } else if (arg == "--version") {
      options.version = value();
    } else if (arg == "--background") {
      options.background = true;
    } else if (arg == "--exit-report") {
      options.exitReport = true;
    } else if (arg == "--send-after") {
      sendAfter = parseSeconds(arg, value());
      // Packets given before the first --send-after wait as long as the
      // packets after it, as when one delay held back every packet.
      if (!firstSendAfter) firstSendAfter = sendAfter;
    } else if (arg == "--send") {
      const std::string given = value();
      const auto first = given.find(':');
      const auto second = first == std::string::npos ? first : given.find(':', first + 1);
      auto packet = first == std::string::npos
                        ? std::nullopt
                        : parsePacketSpec(given.substr(0, first), given.substr(first + 1, second - first - 1),
                                          second == std::string::npos ? "" : given.substr(second + 1));
      if (!packet) usage("bad --send " + given);
      packet->after = sendAfter;
      options.packets.push_back(*packet);
    } else if (arg == "--stdin") {
      options.readStdin = true;
    } else if (arg == "-h" || arg == "--help") {
      usage("");
    } else {
      usage("unknown option " + arg);
    }
  }
  if (options.inPlace && (!options.plugins.empty() || options.tree)) {
    usage("--in-place runs the plugins installed beside the core; --plugins, --protected, --plugin and --tree "
          "would change that tree");
  }
  if (options.work && !options.inPlace) usage("--work needs --in-place (the tree has its own work/)");
  for (auto& packet : options.packets) {
    if (!packet.after) packet.after = firstSendAfter.value_or(0);
  }
  if (options.core.empty()) options.core = defaultCore();
  return options;
}

fs::path layOutTree(const Options& options, bool& temporary) {
  fs::path root;
  const std::optional<fs::path>& kept = options.inPlace ? options.work : options.tree;
  if (kept) {
    root = *kept;
    temporary = false;
  } else {
    std::string pattern = (fs::temp_directory_path() / "parent_sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = pattern;
    temporary = true;
  }
  if (options.inPlace) {
    fs::create_directories(root);
    return root;
  }
  fs::create_directories(root / "bin" / "plugins");
  fs::create_directories(root / "bin" / "protected-plugins");
  fs::create_directories(root / "work");
  // A copy, not a link: the core finds its plugins beside its own canonical
  // path.
  fs::copy_file(options.core, root / "bin" / "dvrcore", fs::copy_options::overwrite_existing);
  fs::permissions(root / "bin" / "dvrcore", fs::perms(0755));
  for (const auto& plugin : options.plugins) {
    const auto excludes = [&](const std::string& name) {
      return name == plugin.source.filename().string() || name == plugin.source.stem().string();
    };
    if (plugin.fromFolder && std::any_of(options.excluded.begin(), options.excluded.end(), excludes)) {
      fmt::print(stderr, "parent_sim: left out {}\n", plugin.source.string());
      continue;
    }
    const fs::path target = root / "bin" / (plugin.isProtected ? "protected-plugins" : "plugins") /
                            (plugin.name.empty() ? plugin.source.filename().string() : plugin.name);
    fs::copy_file(plugin.source, target, fs::copy_options::overwrite_existing);
    fmt::print(stderr, "parent_sim: installed {}\n", target.string());
  }
  return root;
}

std::string describePayload(const uint8_t* bytes, size_t length) {
  bool printable = true;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    if ((c < 0x20 || c > 0x7e) && c != '\n' && c != '\t' && c != '\0') printable = false;
  }
  std::string text;
  if (printable) {
    text.assign(reinterpret_cast<const char*>(bytes), length);
    for (char& c : text) {
      if (c == '\0') c = '|';
    }
    return "\"" + text + "\"";
  }
  const size_t shown = length < 64 ? length : 64;
  for (size_t i = 0; i < shown; ++i) text += fmt::format("{:02x}", bytes[i]);
  if (shown < length) text += "...";
  return text;
}

void printPacket(const uint8_t* bytes, size_t length) {
  if (length < IpcHeaderSize) {
    fmt::print("parent_sim: <- short record of {} bytes: {}\n", length, describePayload(bytes, length));
    return;
  }
  const IpcHeader header = readIpcHeader(bytes);
  fmt::print("parent_sim: <- packet length {} (record {}) target 0x{:08x} (plugin {:02x}) command {} word3 0x{:x}: {}\n",
             header.length, length, header.target, ipcTargetId(header.target), header.command, header.word3,
             describePayload(bytes + IpcHeaderSize, length - IpcHeaderSize));
  std::fflush(stdout);
}

bool sendAll(int fd, const std::vector<uint8_t>& packet) {
  for (;;) {
    const ssize_t sent = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(packet.size())) return true;
    if (sent < 0 && errno == EINTR) continue;
    fmt::print(stderr, "parent_sim: send failed: {}\n", sent < 0 ? std::strerror(errno) : "short send");
    return false;
  }
}

bool sendPluginPacket(int fd, const PacketSpec& packet) {
  fmt::print("parent_sim: -> plugin {:02x} command {} \"{}\"\n", packet.id, packet.command, packet.text);
  return sendAll(fd, buildIpcPacket(ipcTargetFor(packet.id), packet.command, 0, packet.text));
}

std::vector<std::string> splitWords(const std::string& line, size_t maxWords) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size() && words.size() + 1 < maxWords) {
    const auto start = line.find_first_not_of(" \t", at);
    if (start == std::string::npos) return words;
    const auto end = line.find_first_of(" \t", start);
    words.push_back(line.substr(start, end - start));
    at = end == std::string::npos ? line.size() : end;
  }
  const auto rest = line.find_first_not_of(" \t", at);
  if (rest != std::string::npos) words.push_back(line.substr(rest));
  return words;
}

// One line of standard input; false when it asked for the stop.
bool handleCommandLine(int fd, const std::string& line) {
  const auto words = splitWords(line, 4);
  if (words.empty()) return true;
  if (words[0] == "stop") return false;
  if (words[0] == "send" && words.size() >= 3) {
    if (auto packet = parsePacketSpec(words[1], words[2], words.size() > 3 ? words[3] : "")) {
      sendPluginPacket(fd, *packet);
      return true;
    }
  }
  fmt::print(stderr, "parent_sim: expected \"send ID COMMAND [TEXT]\" or \"stop\", got \"{}\"\n", line);
  return true;
}

// The core reads the thresholds from core.xml when it starts, the later of
// two entries for the same ID winning, and writes the file back with the
// thresholds it took. So an entry for the core (ID -2147483648) appended to
// the modules of a kept file sets its threshold and keeps every other one.
bool setCoreThresholdZero(const fs::path& file) {
  constexpr std::string_view Entry = "<Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module>";
  std::string text;
  std::error_code ec;
  // A complete pending file would be promoted over the edit.
  if (fs::exists(file.string() + ".pending", ec)) {
    fmt::print(stderr, "parent_sim: --exit-report: {}.pending is waiting to replace it; start once without\n",
               file.string());
    return false;
  }
  if (fs::exists(file, ec)) {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) {
      fmt::print(stderr, "parent_sim: cannot read {}: {}\n", file.string(), std::strerror(errno));
      return false;
    }
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) text.append(chunk, got);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
      fmt::print(stderr, "parent_sim: cannot read {}\n", file.string());
      return false;
    }
    const auto end = text.find("</Modules>");
    if (end == std::string::npos) {
      fmt::print(stderr,
                 "parent_sim: --exit-report: {} has no </Modules>; give the core's entry "
                 "(ID=\"-2147483648\") LogLevel=\"0\" by hand\n",
                 file.string());
      return false;
    }
    text.insert(end, Entry);
  } else {
    text = "<?xml version=\"1.0\"?><Kora><Modules>" + std::string(Entry) + "</Modules></Kora>";
  }
  // Written beside and renamed over, so a failure leaves the old file whole.
  const fs::path temporary = file.string() + ".parent_sim";
  std::FILE* out = std::fopen(temporary.c_str(), "wb");
  bool written = out != nullptr && std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (out != nullptr) written = std::fclose(out) == 0 && written;
  if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
    fmt::print(stderr, "parent_sim: cannot write {}: {}\n", file.string(), std::strerror(errno));
    ::unlink(temporary.c_str());
    return false;
  }
  fmt::print(stderr, "parent_sim: the core's log threshold is 0 in {}\n", file.string());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const Options options = parseArgs(argc, argv);
  bool temporary = false;
  fs::path root;
  try {
    root = layOutTree(options, temporary);
  } catch (const std::exception& e) {
    fmt::print(stderr, "parent_sim: cannot lay out the plugin tree: {}\n", e.what());
    return 70;
  }

  const fs::path workDir = options.inPlace ? root : root / "work";
  if (options.exitReport && !setCoreThresholdZero(workDir / "core.xml")) return 70;

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0) {
    fmt::print(stderr, "parent_sim: socketpair: {}\n", std::strerror(errno));
    return 71;
  }
  const int channel = pair[0];

  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGCHLD);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &handled, &previous);
  const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC);

  const std::string corePath = options.inPlace ? options.core.string() : (root / "bin" / "dvrcore").string();
  const std::string fdText = std::to_string(pair[1]);
  const pid_t pid = ::fork();
  if (pid < 0) {
    fmt::print(stderr, "parent_sim: fork: {}\n", std::strerror(errno));
    return 71;
  }
  if (pid == 0) {
    // The core gets its own process group, so Ctrl-C reaches only this
    // simulator, which turns it into the stop command.
    ::setpgid(0, 0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    const int flags = ::fcntl(pair[1], F_GETFD);
    ::fcntl(pair[1], F_SETFD, flags & ~FD_CLOEXEC);
    if (::chdir(workDir.c_str()) < 0) ::_exit(127);
    ::execl(corePath.c_str(), corePath.c_str(), fdText.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pair[1]);
  fmt::print("parent_sim: core {} started as pid {} on descriptor {}\n", corePath, pid, fdText);

  std::vector<std::string> texts{options.name, options.version};
  if (options.background) texts.emplace_back(IpcBackgroundText);
  std::string startup;
  for (const auto& text : texts) startup += text + '\0';
  sendAll(channel, buildIpcPacket(0, IpcCommandStartup, 0, startup));

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  // Packets go in the order they fall due; those due together in the order
  // given.
  std::vector<PacketSpec> pending = options.packets;
  std::stable_sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) { return *a.after < *b.after; });
  size_t nextPacket = 0;
  auto dueAt = [&](const PacketSpec& packet) {
    return started + std::chrono::milliseconds(static_cast<int64_t>(*packet.after * 1000));
  };
  const auto stopAt = options.seconds
                          ? std::optional(Clock::now() + std::chrono::milliseconds(
                                                             static_cast<int64_t>(*options.seconds * 1000)))
                          : std::nullopt;
  bool stopSent = false;
  bool channelOpen = true;
  bool stdinOpen = options.readStdin;
  int interrupts = 0;
  std::string pendingLine;
  std::vector<uint8_t> record(2 * IpcMaxPacket);
  int status = 0;
  bool exited = false;
  std::optional<Clock::time_point> killAt;

  auto sendStop = [&](const char* why) {
    if (stopSent || !channelOpen) return;
    fmt::print("parent_sim: {}: sending the stop command\n", why);
    sendAll(channel, buildIpcPacket(0, IpcCommandStop, 0));
    stopSent = true;
    killAt = Clock::now() + std::chrono::seconds(10);
  };

  while (!exited) {
    pollfd fds[3] = {{signals, POLLIN, 0}, {channelOpen ? channel : -1, POLLIN, 0},
                     {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    int timeout = -1;
    const auto sendAt = nextPacket < pending.size() ? std::optional(dueAt(pending[nextPacket])) : std::nullopt;
    for (const auto& next : {!stopSent ? stopAt : killAt, sendAt}) {
      if (!next) continue;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count();
      const int wait = left < 0 ? 0 : static_cast<int>(left);
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    if (::poll(fds, 3, timeout) < 0 && errno != EINTR) break;

    while (channelOpen && nextPacket < pending.size() && Clock::now() >= dueAt(pending[nextPacket])) {
      sendPluginPacket(channel, pending[nextPacket++]);
    }

    if (!stopSent && stopAt && Clock::now() >= *stopAt) sendStop("time is up");
    if (stopSent && killAt && Clock::now() >= *killAt) {
      fmt::print(stderr, "parent_sim: core did not stop within 10 s; killing it\n");
      ::kill(pid, SIGKILL);
      killAt.reset();
    }
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signals, &info, sizeof info) == sizeof info && info.ssi_signo != SIGCHLD) {
        ++interrupts;
        if (interrupts == 1 && channelOpen) {
          sendStop(info.ssi_signo == SIGINT ? "Ctrl-C" : "terminated");
        } else {
          fmt::print(stderr, "parent_sim: passing SIGTERM to the core\n");
          ::kill(pid, SIGTERM);
        }
      }
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = ::recv(channel, record.data(), record.size(), MSG_DONTWAIT);
      if (got > 0) {
        printPacket(record.data(), static_cast<size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        fmt::print("parent_sim: the core closed its end of the channel\n");
        channelOpen = false;
      }
    }
    if ((fds[2].revents & (POLLIN | POLLHUP)) != 0) {
      char chunk[4096];
      const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (got <= 0) {
        stdinOpen = false;
      } else {
        pendingLine.append(chunk, static_cast<size_t>(got));
        for (auto nl = pendingLine.find('\n'); nl != std::string::npos; nl = pendingLine.find('\n')) {
          const std::string line = pendingLine.substr(0, nl);
          pendingLine.erase(0, nl + 1);
          if (!handleCommandLine(channel, line)) sendStop("stop requested");
        }
      }
    }
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) exited = true;
  }

  // Packets the core sent just before it ended are still worth showing.
  while (channelOpen) {
    const ssize_t got = ::recv(channel, record.data(), record.size(), MSG_DONTWAIT);
    if (got <= 0) break;
    printPacket(record.data(), static_cast<size_t>(got));
  }
  ::close(channel);
  if (temporary) {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  if (WIFEXITED(status)) {
    fmt::print("parent_sim: core exited with status {}\n", WEXITSTATUS(status));
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    fmt::print("parent_sim: core was ended by signal {} ({})\n", WTERMSIG(status), sigabbrev_np(WTERMSIG(status)));
    return 128 + WTERMSIG(status);
  }
  return 1;
}
