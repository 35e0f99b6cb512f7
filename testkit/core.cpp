// The test kit's side in the test process: the temporary tree, the core as a
// child process, its two channels (the parent's, the probe's) and one reader
// thread that collects everything the core and the probe send. See
// ko/testkit/core.hpp.
#include "ko/testkit/core.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "testkit/probe_protocol.h"

extern char** environ;

namespace ko::testkit {

namespace fs = std::filesystem;
namespace wire = ko::testkit::wire;
using namespace ko::core;

namespace {

// The identifier-0 source the kit's search requests come from (a search
// request must come from identifier 0; the results are routed by the
// request id, which names the probe).
constexpr uint32_t RequesterSource = koSourceId(0, 0x6b74);
constexpr int DefaultThreshold = 25;
constexpr uint8_t LoggingProbeId = 0x08;  // the logging plugin's identifier
constexpr uint8_t PluginProbeId = 0xfe;
constexpr int ParentChannelFd = 3;
constexpr int ProbeChannelFd = 4;
constexpr size_t IpcHeaderSizeBytes = KO_IPC_HEADER_SIZE;

[[noreturn]] void childFail(const char* what) {
  const char* text = std::strerror(errno);
  (void)!::write(2, "ko::testkit child: ", 19);
  (void)!::write(2, what, std::strlen(what));
  (void)!::write(2, ": ", 2);
  (void)!::write(2, text, std::strlen(text));
  (void)!::write(2, "\n", 1);
  ::_exit(127);
}

std::string errnoText(const std::string& what) { return "ko::testkit: " + what + ": " + std::strerror(errno); }

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string withoutColours(const std::string& text) {
  static const std::regex escape("\x1b\\[[0-9;]*m");
  return std::regex_replace(text, escape, "");
}

// What the core's own lines say about faults it survived or ended with; the
// kit reads them off the console, which the core writes to the end, while
// the probe stops hearing the core once it is closed.
struct FaultLine {
  const char* kind;
  std::regex line;
};
const std::vector<FaultLine>& faultLines() {
  static const std::vector<FaultLine> lines = {
      {"left loaded", std::regex("Plugin \\S+ (still running|released).*; left loaded")},
      {"stuck call", std::regex("\\S+ stuck in \\S+ for [0-9]+s on .*")},
      {"fatal signal", std::regex("fatal signal .*")},
      {"refused release", std::regex("decref from [0-9a-f]{2} for a block it does not hold")},
  };
  return lines;
}

// The file name cut before its first '.', as the core names a plugin.
std::string displayNameOf(const std::string& fileName) { return fileName.substr(0, fileName.find('.')); }

int64_t digitsOf(const std::string& text) {
  int64_t value = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') value = value * 10 + (c - '0');
  }
  return value;
}

fs::path resolve(const fs::path& given, const char* variable, const fs::path& packaged) {
  if (!given.empty()) return given;
  if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') return value;
  return packaged;
}

// The author's core.xml with the core's threshold set to 0, and the
// threshold the author gave the core (what the kit filters by).
std::string kitCoreXml(const std::string& author, int& authorThreshold) {
  authorThreshold = DefaultThreshold;
  const std::string coreEntry = "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/>";
  if (author.empty()) return "<?xml version=\"1.0\"?><Kora><Modules><Module>" + coreEntry + "</Module></Modules></Kora>";
  std::smatch found;
  static const std::regex element("<Plugin\\b[^>]*\\bID=\"-2147483648\"[^>]*>");
  if (std::regex_search(author, found, element)) {
    std::string tag = found.str();
    static const std::regex level("\\bLogLevel=\"(-?[0-9]+)\"");
    std::smatch value;
    if (std::regex_search(tag, value, level)) {
      const long given = std::strtol(value[1].str().c_str(), nullptr, 10);
      authorThreshold = given < 0 ? DefaultThreshold : static_cast<int>(std::min(given, 100L));
      tag.replace(static_cast<size_t>(value.position(0)), static_cast<size_t>(value.length(0)), "LogLevel=\"0\"");
    } else {
      tag.insert(7, " LogLevel=\"0\"");
    }
    return found.prefix().str() + tag + found.suffix().str();
  }
  static const std::regex module("<Module(\\s[^>]*[^/])?>");
  static const std::regex modules("<Modules(\\s[^>]*[^/])?>");
  static const std::regex kora("<Kora(\\s[^>]*[^/])?>");
  if (std::regex_search(author, found, module)) return found.prefix().str() + found.str() + coreEntry + found.suffix().str();
  if (std::regex_search(author, found, modules)) {
    return found.prefix().str() + found.str() + "<Module>" + coreEntry + "</Module>" + found.suffix().str();
  }
  if (std::regex_search(author, found, kora)) {
    return found.prefix().str() + found.str() + "<Modules><Module>" + coreEntry + "</Module></Modules>" +
           found.suffix().str();
  }
  throw Error("ko::testkit: Options::coreXml has no <Kora> element:\n" + author);
}

}  // namespace

Record event(uint32_t type, std::string payload, uint32_t source, uint64_t flags) {
  Record record;
  record.parms.type = type;
  record.parms.flags = flags;
  record.parms.source = source;
  record.payload = std::move(payload);
  return record;
}
Record alarm(std::string xml, uint32_t source) {
  return event(EventTypeAlarm, std::move(xml), source, EventClassLive | EventFlagXml);
}
Record video(std::string frame, uint32_t source) { return event(EventTypeVideo, std::move(frame), source); }
Record audio(std::string frame, uint32_t source) { return event(EventTypeAudio, std::move(frame), source); }
Record logRecord(int32_t level, std::string text, uint32_t source) {
  return event(EventTypeLog, std::move(text), source, EventClassLive | EventFlagText)
      .param(static_cast<uint32_t>(level));
}
Record config(std::string xml, uint32_t source) {
  return event(EventTypeConfig, std::move(xml), source, EventClassLive | EventFlagXml);
}

std::string ExitReport::problems() const {
  std::ostringstream text;
  if (timedOut) text << "the core did not end after the stop command and was killed\n";
  if (signal != 0 && !timedOut) text << "the core was ended by signal " << signal << "\n";
  if (exitCode > 0) text << "the core exited with " << exitCode << "\n";
  for (const auto& fault : faults) text << fault.kind << ": " << fault.line << "\n";
  if (slowCallsAreProblems) {
    for (const auto& call : slowCalls) {
      text << call.fileName << " (plugin " << std::hex << static_cast<int>(call.identifier) << std::dec << ") took "
           << call.duration.count() << " ms in " << call.entryPoint;
      if (!call.eventType.empty()) {
        const bool vowel = std::string_view("aeiou").find(call.eventType.front()) != std::string_view::npos;
        text << " for " << (vowel ? "an " : "a ") << call.eventType << " event";
      }
      text << "\n";
    }
  }
  for (const auto& holder : held) {
    text << (holder.fileName.empty() ? holder.tag : holder.fileName) << " (plugin " << std::hex
         << static_cast<int>(holder.identifier) << std::dec << ") still held " << holder.references
         << " event reference(s) at exit\n";
  }
  if (held.empty() && blocks != 0) text << blocks << " reference block(s) were still allocated at exit\n";
  return text.str();
}

std::ostream& operator<<(std::ostream& out, const ExitReport& report) {
  const std::string problems = report.problems();
  if (problems.empty()) return out << "the core exited with 0 and nothing was held";
  return out << problems << "--- the core's output\n" << report.output;
}

struct Core::State {
  explicit State(Options given) : options(std::move(given)) {}
  // Also runs when the constructor throws: a core still running is killed.
  ~State();
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  Options options;
  fs::path root;
  fs::path work;
  uint8_t probeId = LoggingProbeId;
  std::string probeFile;
  int authorThreshold = DefaultThreshold;

  pid_t pid = -1;
  bool reaped = false;
  int parentFd = -1;
  int probeFd = -1;
  int outFd = -1;
  int errFd = -1;
  std::thread reader;

  mutable std::mutex lock;
  std::condition_variable changed;
  std::vector<Record> received;
  std::vector<Packet> packets;
  std::map<uint32_t, int32_t> answers;  // Submit and Sync answers by sequence
  std::string output;
  bool probeClosed = false;
  std::vector<LoadedPlugin> loaded;
  bool configSeen = false;
  // From the core's slow-handler records; named by the core's display name
  // until the kit knows which file it is.
  std::vector<ExitReport::SlowCall> slowEvents;

  uint32_t sequence = 0;
  uint32_t searches = 0;
  std::optional<ExitReport> report;

  Millis wait(Millis given) const { return given.count() > 0 ? given : options.timeout; }
  void readAll();
  void take(const char* bytes, size_t length);
  void sendToProbe(wire::Kind kind, uint32_t seq, const Record* record);
  int32_t awaitAnswer(uint32_t seq, Millis timeout);
  void kill();
  // Called with `lock` held.
  std::vector<ExitReport::SlowCall> slowCallsLocked() const;
};

std::vector<ExitReport::SlowCall> Core::State::slowCallsLocked() const {
  std::vector<ExitReport::SlowCall> calls;
  const int64_t over = options.slowCall.count();
  for (const auto& plugin : loaded) {
    if (plugin.loadMs >= over) calls.push_back({plugin.identifier, plugin.fileName, "Load", Millis(plugin.loadMs), {}});
    if (plugin.openMs >= over) calls.push_back({plugin.identifier, plugin.fileName, "Open", Millis(plugin.openMs), {}});
  }
  // A reported length is truncated: N ms took at least N, and the line
  // itself says more than the core's threshold.
  for (auto call : slowEvents) {
    if (call.duration.count() < over) continue;
    for (const auto& plugin : loaded) {
      if (displayNameOf(plugin.fileName) == call.fileName) {
        call.identifier = plugin.identifier;
        call.fileName = plugin.fileName;
        break;
      }
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

void Core::State::take(const char* bytes, size_t length) {
  if (length < sizeof(wire::Header)) return;
  wire::Header header;
  std::memcpy(&header, bytes, sizeof header);
  std::lock_guard guard(lock);
  if (header.kind == wire::Kind::Submitted || header.kind == wire::Kind::Synced) {
    answers[header.sequence] = header.value;
  } else if (header.kind == wire::Kind::Delivered && length >= sizeof header + sizeof(EventParms)) {
    Record record;
    record.arrived = Clock::now();
    std::memcpy(&record.parms, bytes + sizeof header, sizeof record.parms);
    record.parms.data = nullptr;
    record.payload.assign(bytes + sizeof header + sizeof record.parms, length - sizeof header - sizeof record.parms);
    const bool coreDocument = record.source() == CoreSourceId && record.type() == EventTypeConfig;
    if (coreDocument && !configSeen) {
      configSeen = true;
      static const std::regex entry(
          "<Plugin ID=\"(-?[0-9]+)\" Filename=\"([^\"]*)\"[^>]*? LoadTimeMs=\"(-?[0-9]+)\" "
          "OpenTimeMs=\"(-?[0-9]+)\" OpenCode=\"(-?[0-9]+)\"");
      for (std::sregex_iterator it(record.payload.begin(), record.payload.end(), entry), end; it != end; ++it) {
        const long id = std::strtol((*it)[1].str().c_str(), nullptr, 10);
        // The core's own entry, and failed plugins numbered 1, 2, ...
        if (id == -2147483648L || (id > 0 && id < 0x10000)) continue;
        if ((*it)[2].str() == probeFile) continue;
        loaded.push_back({static_cast<uint8_t>((id >> 16) & 0xff), (*it)[2].str(),
                          static_cast<int32_t>(std::strtol((*it)[5].str().c_str(), nullptr, 10)),
                          std::strtoll((*it)[3].str().c_str(), nullptr, 10),
                          std::strtoll((*it)[4].str().c_str(), nullptr, 10)});
      }
    }
    // What the author's own threshold for index 0 would have dropped: the
    // core's diagnostics the kit turned on.
    const bool live = (record.flags() & EventClassLive) != 0;
    if (record.type() == EventTypeLog && live && sourceIndex(record.parms.source) == 0 && record.level() == 0) {
      static const std::regex slow("^(\\S+) took ([0-9]+)ms for (\\S+) event from ");
      std::smatch found;
      if (std::regex_search(record.payload, found, slow) && found[1].str() != displayNameOf(probeFile)) {
        slowEvents.push_back({0, found[1].str(), "OnEvent", Millis(std::stoll(found[2].str())), found[3].str()});
      }
    }
    if (record.type() == EventTypeLog && live && sourceIndex(record.parms.source) == 0 &&
        record.level() < authorThreshold) {
      return;
    }
    received.push_back(std::move(record));
  }
  changed.notify_all();
}

void Core::State::readAll() {
  std::vector<char> buffer(std::max<size_t>(wire::MaxMessage, 2 * 65536));
  std::array<pollfd, 4> fds{{{parentFd, POLLIN, 0}, {probeFd, POLLIN, 0}, {outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
  for (;;) {
    if (std::all_of(fds.begin(), fds.end(), [](const pollfd& p) { return p.fd < 0; })) break;
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = i < 2 ? ::recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT)
                                : ::read(fds[i].fd, buffer.data(), buffer.size());
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        // The parent's end stays open for the test's sends; only reading
        // stops.
        fds[i].fd = -1;
        if (i == 1) {
          std::lock_guard guard(lock);
          probeClosed = true;
          changed.notify_all();
        }
        continue;
      }
      const auto size = static_cast<size_t>(got);
      if (i == 0) {
        if (size < IpcHeaderSizeBytes) continue;
        Packet packet;
        uint32_t words[4];
        std::memcpy(words, buffer.data(), sizeof words);
        packet.target = words[1];
        packet.command = words[2];
        packet.word3 = words[3];
        packet.payload.assign(buffer.data() + IpcHeaderSizeBytes, size - IpcHeaderSizeBytes);
        std::lock_guard guard(lock);
        packets.push_back(std::move(packet));
        changed.notify_all();
      } else if (i == 1) {
        take(buffer.data(), size);
      } else {
        std::lock_guard guard(lock);
        output.append(buffer.data(), size);
      }
    }
  }
}

void Core::State::sendToProbe(wire::Kind kind, uint32_t seq, const Record* record) {
  wire::Header header{kind, seq, 0, 0};
  EventParms parms{};
  iovec pieces[3] = {{&header, sizeof header}, {nullptr, 0}, {nullptr, 0}};
  size_t count = 1;
  if (record != nullptr) {
    if (record->payload.size() > wire::MaxPayload) {
      throw Error("ko::testkit: a payload of " + std::to_string(record->payload.size()) + " bytes is over the kit's " +
                  std::to_string(wire::MaxPayload));
    }
    parms = record->parms;
    parms.reserved = wire::InjectedMark | (seq & ~wire::InjectedMask);
    pieces[1] = {&parms, sizeof parms};
    pieces[2] = {const_cast<char*>(record->payload.data()), record->payload.size()};
    count = 3;
  }
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = count;
  for (;;) {
    if (::sendmsg(probeFd, &message, MSG_NOSIGNAL) >= 0) return;
    if (errno != EINTR) throw Error(errnoText("sending to the probe"));
  }
}

int32_t Core::State::awaitAnswer(uint32_t seq, Millis timeout) {
  std::unique_lock guard(lock);
  const bool answered = changed.wait_for(guard, timeout, [&] { return answers.count(seq) != 0 || probeClosed; });
  if (!answered || answers.count(seq) == 0) {
    throw Error("ko::testkit: the probe did not answer within " + std::to_string(timeout.count()) +
                " ms (is the core stuck in a plugin, or gone?)\n--- the core's output\n" + output);
  }
  const int32_t value = answers[seq];
  answers.erase(seq);
  return value;
}

void Core::State::kill() {
  if (pid > 0 && !reaped) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    reaped = true;
  }
}

Core::Core(Options options) : state_(std::make_unique<State>(std::move(options))) {
  State& s = *state_;
  const fs::path core = resolve(s.options.core, "KO_TESTKIT_CORE", s.options.installedCore);
  if (core.empty() || !fs::exists(core)) {
    throw Error("ko::testkit: no dvrcore to run" + (core.empty() ? std::string() : " (looked for " + core.string() + ")") +
                ". The kit runs the real core of the same release: install the core with the kit (the package "
                "dvrcore; an SDK-only install has no core), set KO_TESTKIT_CORE to a built dvrcore, or give "
                "Options::core.");
  }
  const fs::path probe = resolve(s.options.probe, "KO_TESTKIT_PROBE", s.options.installedProbe);
  if (probe.empty() || !fs::exists(probe)) {
    throw Error("ko::testkit: the kit's probe plugin was not found" +
                (probe.empty() ? std::string() : " (looked for " + probe.string() + ")") +
                "; set KO_TESTKIT_PROBE or Options::probe");
  }
  if (s.options.slowCall < CoreSlowHandler) {
    throw Error("ko::testkit: Options::slowCall is " + std::to_string(s.options.slowCall.count()) +
                " ms; the core reports only calls over " + std::to_string(CoreSlowHandler.count()) + " ms");
  }
  bool testsLogging = false;
  for (const auto& plugin : s.options.plugins) {
    if (!fs::is_regular_file(plugin)) throw Error("ko::testkit: no plugin file " + plugin.string());
    testsLogging = testsLogging || plugin.filename() == "LogPI.so";
  }
  s.probeFile = testsLogging ? "KoTestkitProbe.so" : "LogPI.so";
  s.probeId = static_cast<uint8_t>(s.options.probeIdentifier >= 0 ? s.options.probeIdentifier
                                                                 : (testsLogging ? PluginProbeId : LoggingProbeId));

  std::string pattern = (fs::temp_directory_path() / "ko-testkit-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw Error(errnoText("mkdtemp"));
  s.root = pattern;
  const fs::path bin = s.root / "bin";
  s.work = s.root / "work";
  const fs::path& work = s.work;
  fs::create_directories(bin / "plugins");
  fs::create_directories(bin / "protected-plugins");
  fs::create_directories(work);
  fs::copy_file(core, bin / "dvrcore");
  fs::permissions(bin / "dvrcore", fs::perms(0755));
  for (const auto& plugin : s.options.plugins) {
    fs::copy_file(plugin, bin / "plugins" / plugin.filename(), fs::copy_options::overwrite_existing);
  }
  fs::copy_file(probe, bin / "plugins" / s.probeFile, fs::copy_options::overwrite_existing);
  {
    std::ofstream xml(work / "core.xml", std::ios::binary);
    xml << kitCoreXml(s.options.coreXml, s.authorThreshold);
    if (!xml) throw Error("ko::testkit: cannot write " + (work / "core.xml").string());
  }

  std::array<int, 2> parent{}, probeChannel{}, out{}, err{};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, parent.data()) < 0 ||
      ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, probeChannel.data()) < 0 ||
      ::pipe2(out.data(), O_CLOEXEC) < 0 || ::pipe2(err.data(), O_CLOEXEC) < 0) {
    throw Error(errnoText("channels"));
  }
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull < 0) throw Error(errnoText("/dev/null"));

  // Everything the child uses is made before fork.
  const std::string corePath = (bin / "dvrcore").string();
  const std::string workPath = work.string();
  std::string fdArg = std::to_string(ParentChannelFd);
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with(wire::ProbeFdVariable) || text.starts_with(wire::ProbeIdVariable)) continue;
    env.emplace_back(text);
  }
  char id[3];
  std::snprintf(id, sizeof id, "%02x", s.probeId);
  env.push_back(std::string(wire::ProbeFdVariable) + "=" + std::to_string(ProbeChannelFd));
  env.push_back(std::string(wire::ProbeIdVariable) + "=" + id);
  for (const auto& extra : s.options.environment) env.push_back(extra);
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string argv0 = corePath;
  char* argv[] = {argv0.data(), fdArg.data(), nullptr};

  const pid_t child = ::fork();
  if (child < 0) throw Error(errnoText("fork"));
  if (child == 0) {
    // Lift every source above the targets first, so no dup2 overwrites one
    // still needed.
    const int base = ProbeChannelFd + 1;
    const int sources[] = {devNull, out[1], err[1], parent[1], probeChannel[1]};
    int lifted[5];
    for (int i = 0; i < 5; ++i) {
      lifted[i] = ::fcntl(sources[i], F_DUPFD_CLOEXEC, base);
      if (lifted[i] < 0) childFail("F_DUPFD");
    }
    const int targets[] = {0, 1, 2, ParentChannelFd, ProbeChannelFd};
    for (int i = 0; i < 5; ++i) {
      if (::dup2(lifted[i], targets[i]) < 0) childFail("dup2");
    }
    if (::close_range(static_cast<unsigned>(base), ~0U, 0) < 0) childFail("close_range");
    if (::chdir(workPath.c_str()) < 0) childFail("chdir");
    ::execve(argv[0], argv, envp.data());
    childFail("execve");
  }
  s.pid = child;
  ::close(devNull);
  ::close(out[1]);
  ::close(err[1]);
  ::close(parent[1]);
  ::close(probeChannel[1]);
  s.parentFd = parent[0];
  s.probeFd = probeChannel[0];
  s.outFd = out[0];
  s.errFd = err[0];
  s.reader = std::thread([&s] { s.readAll(); });

  // The parent's start-up information, as the daemon sends it first.
  const std::string startup = std::string("ko-testkit") + '\0' + "1" + '\0';
  sendPacketTo(0, KO_IPC_COMMAND_STARTUP, startup);

  // Ready once the configuration document, published after every plugin
  // opened, came through the dispatch loop.
  std::unique_lock guard(s.lock);
  if (!s.changed.wait_for(guard, s.wait({}), [&] { return s.configSeen || s.probeClosed; }) || !s.configSeen) {
    const std::string text = s.output;
    guard.unlock();
    s.kill();
    throw Error("ko::testkit: the core did not start its plugins within " + std::to_string(s.wait({}).count()) +
                " ms\n--- the core's output\n" + text);
  }
  for (const auto& plugin : s.options.plugins) {
    const std::string name = plugin.filename().string();
    const auto found = std::find_if(s.loaded.begin(), s.loaded.end(), [&](const auto& p) { return p.fileName == name; });
    if (found == s.loaded.end()) {
      const std::string text = s.output;
      guard.unlock();
      s.kill();
      throw Error("ko::testkit: the core did not load " + name + "\n--- the core's output\n" + text);
    }
    if (found->openCode != 0) {
      // The core's own line says which entry point it lacks.
      std::string why = "OpenCode " + std::to_string(found->openCode);
      const std::regex line("Plugin [0-9a-f]{2}:" + displayNameOf(name) + " is not opened: [^\n]*");
      std::smatch said;
      const std::string plain = withoutColours(s.output);
      if (std::regex_search(plain, said, line)) why += ": " + said.str();
      const std::string text = s.output;
      guard.unlock();
      s.kill();
      throw Error("ko::testkit: the core loaded " + name + " but did not open it (" + why +
                  ")\n--- the core's output\n" + text);
    }
  }
}

Core::State::~State() {
  kill();
  // With the core gone, every channel and pipe ends and so does the reader.
  if (reader.joinable()) reader.join();
  closeFd(parentFd);
  closeFd(probeFd);
  closeFd(outFd);
  closeFd(errFd);
  std::error_code ignored;
  if (!root.empty()) fs::remove_all(root, ignored);
}

Core::~Core() = default;

std::vector<LoadedPlugin> Core::plugins() const {
  std::lock_guard guard(state_->lock);
  return state_->loaded;
}

uint8_t Core::identifier() const {
  const std::string name = state_->options.plugins.empty() ? "" : state_->options.plugins.front().filename().string();
  for (const auto& plugin : plugins()) {
    if (plugin.fileName == name) return plugin.identifier;
  }
  throw Error("ko::testkit: no plugin under test was loaded");
}

const std::filesystem::path& Core::workDir() const { return state_->work; }

int Core::inject(const Record& record) {
  State& s = *state_;
  const uint32_t seq = ++s.sequence;
  s.sendToProbe(wire::Kind::Submit, seq, &record);
  const int32_t result = s.awaitAnswer(seq, s.wait({}));
  settle();
  return result;
}

void Core::settle() {
  State& s = *state_;
  const uint32_t seq = ++s.sequence;
  s.sendToProbe(wire::Kind::Sync, seq, nullptr);
  (void)s.awaitAnswer(seq, s.wait({}));
}

std::vector<Record> Core::received() const {
  std::lock_guard guard(state_->lock);
  return state_->received;
}

std::vector<Record> Core::received(const std::function<bool(const Record&)>& which) const {
  std::vector<Record> chosen;
  std::lock_guard guard(state_->lock);
  std::copy_if(state_->received.begin(), state_->received.end(), std::back_inserter(chosen), which);
  return chosen;
}

std::vector<Record> Core::logs(uint8_t identifier) const {
  return received([identifier](const Record& r) {
    return r.baseType() == EventTypeLog && r.source() != CoreSourceId && r.identifier() == identifier;
  });
}

std::optional<Record> Core::waitFor(const std::function<bool(const Record&)>& which, Millis timeout) {
  return waitUntil(which, Clock::now() + state_->wait(timeout)).record;
}

Core::Waited Core::waitUntil(const std::function<bool(const Record&)>& which, Clock::time_point deadline) {
  State& s = *state_;
  const auto begun = Clock::now();
  size_t seen = 0;
  std::unique_lock guard(s.lock);
  for (;;) {
    // The records not yet asked about are copied out, and the predicate
    // runs without the lock, so it may call back into the kit.
    std::vector<Record> fresh(s.received.begin() + static_cast<std::ptrdiff_t>(seen), s.received.end());
    seen = s.received.size();
    const bool closed = s.probeClosed;
    guard.unlock();
    for (auto& record : fresh) {
      if (which(record)) return {std::move(record), Clock::now() - begun};
    }
    if (closed || Clock::now() >= deadline) return {std::nullopt, Clock::now() - begun};
    guard.lock();
    s.changed.wait_until(guard, deadline, [&] { return s.received.size() > seen || s.probeClosed; });
  }
}

std::optional<Record> Core::waitForLog(uint8_t identifier, std::string_view text, Millis timeout) {
  return waitFor(
      [&](const Record& r) {
        return r.baseType() == EventTypeLog && r.source() != CoreSourceId && r.identifier() == identifier &&
               r.payload.find(text) != std::string::npos;
      },
      timeout);
}

uint32_t Core::startSearch(uint32_t type, std::string query) {
  State& s = *state_;
  // The request id names the probe (bits 16..23) so that the results reach
  // it; the low bits count the searches.
  const uint32_t id = koSourceId(s.probeId, static_cast<uint16_t>(++s.searches));
  auto request = event(type, std::move(query), RequesterSource, EventFlagXml).request(id);
  const uint32_t seq = ++s.sequence;
  s.sendToProbe(wire::Kind::Submit, seq, &request);
  (void)s.awaitAnswer(seq, s.wait({}));
  return id;
}

std::vector<Record> Core::results(uint32_t id) const {
  return received([id](const Record& r) { return r.stored() && r.requestId() == id; });
}

std::vector<Record> Core::waitForResults(uint32_t id, size_t count, Millis timeout) {
  State& s = *state_;
  {
    std::unique_lock guard(s.lock);
    s.changed.wait_for(guard, s.wait(timeout), [&] {
      return s.probeClosed || static_cast<size_t>(std::count_if(s.received.begin(), s.received.end(), [id](const Record& r) {
               return r.stored() && r.requestId() == id;
             })) >= count;
    });
  }
  settle();
  return results(id);
}

std::vector<Record> Core::search(uint32_t type, std::string query, size_t count, Millis timeout) {
  return waitForResults(startSearch(type, std::move(query)), count, timeout);
}

void Core::cancel(uint32_t id) { (void)inject(event(EventTypeCancel, {}, RequesterSource, 0).request(id)); }

bool Core::cancelled(uint32_t id) {
  return inject(event(EventTypeCancel, {}, RequesterSource, EventFlagQuery).request(id)) == 1;
}

void Core::sendPacket(uint32_t command, std::string_view payload, uint32_t word3) {
  sendPacketTo(identifier(), command, payload, word3);
}

void Core::sendPacketTo(uint8_t identifier, uint32_t command, std::string_view payload, uint32_t word3) {
  State& s = *state_;
  if (payload.size() + IpcHeaderSizeBytes > KO_IPC_MAX_PACKET) throw Error("ko::testkit: packet over 65536 bytes");
  std::string packet(IpcHeaderSizeBytes, '\0');
  const uint32_t words[4] = {static_cast<uint32_t>(IpcHeaderSizeBytes + payload.size()), koIpcTarget(identifier),
                             command, word3};
  std::memcpy(packet.data(), words, sizeof words);
  packet.append(payload);
  const auto deadline = Clock::now() + s.wait({});
  for (;;) {
    const ssize_t sent = ::send(s.parentFd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(packet.size())) return;
    if (sent >= 0 || (errno != EAGAIN && errno != EINTR)) throw Error(errnoText("sending to the core"));
    pollfd p{s.parentFd, POLLOUT, 0};
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) throw Error("ko::testkit: the core does not read");
  }
}

std::vector<Packet> Core::packets() const {
  std::lock_guard guard(state_->lock);
  return state_->packets;
}

std::optional<Packet> Core::waitForPacket(const std::function<bool(const Packet&)>& which, Millis timeout) {
  State& s = *state_;
  std::unique_lock guard(s.lock);
  std::optional<Packet> found;
  s.changed.wait_for(guard, s.wait(timeout), [&] {
    const auto it = std::find_if(s.packets.begin(), s.packets.end(), which);
    if (it != s.packets.end()) found = *it;
    return found.has_value();
  });
  return found;
}

const ExitReport& Core::stop(Millis timeout) {
  State& s = *state_;
  if (s.report) return *s.report;
  ExitReport report;
  if (!s.reaped) {
    // A core that already closed its end is reaped below all the same.
    try {
      sendPacketTo(0, KO_IPC_COMMAND_STOP, {});
    } catch (const Error&) {
    }
    const auto deadline = Clock::now() + (timeout.count() > 0 ? timeout : 3 * s.options.timeout);
    int status = 0;
    for (;;) {
      const pid_t done = ::waitpid(s.pid, &status, WNOHANG);
      if (done == s.pid) break;
      if (done < 0 && errno != EINTR) throw Error(errnoText("waitpid"));
      if (Clock::now() >= deadline) {
        ::kill(s.pid, SIGKILL);
        while (::waitpid(s.pid, &status, 0) < 0 && errno == EINTR) {
        }
        report.timedOut = true;
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
    s.reaped = true;
    if (WIFEXITED(status)) report.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) report.signal = WTERMSIG(status);
  }
  // The reader ends once the core's output and channels are closed.
  if (s.reader.joinable()) s.reader.join();

  std::lock_guard guard(s.lock);
  report.output = s.output;
  static const std::regex blocks("refblks: ([0-9][^(]*)\\(");
  static const std::regex holder("Plugin ([0-9a-f]{2}):(\\S+) unloaded holding ([0-9][^ ]*) event reference");
  static const std::regex counts("(Before loading|After unloading) plugins: ([0-9]+) threads, ([0-9]+) descriptors");
  std::istringstream lines(withoutColours(s.output));
  for (std::string line; std::getline(lines, line);) {
    std::smatch found;
    for (const auto& fault : faultLines()) {
      if (std::regex_search(line, found, fault.line)) report.faults.push_back({fault.kind, found.str()});
    }
    if (std::regex_search(line, found, blocks)) report.blocks = digitsOf(found[1]);
    if (std::regex_search(line, found, counts)) {
      auto& at = found[1] == "Before loading" ? report.beforeLoad : report.afterUnload;
      at.threads = static_cast<int>(digitsOf(found[2]));
      at.descriptors = static_cast<int>(digitsOf(found[3]));
    }
    if (std::regex_search(line, found, holder)) {
      ExitReport::Held held;
      held.identifier = static_cast<uint8_t>(std::stoul(found[1], nullptr, 16));
      held.tag = found[2];
      held.references = digitsOf(found[3]);
      for (const auto& plugin : s.loaded) {
        if (plugin.identifier == held.identifier) held.fileName = plugin.fileName;
      }
      report.held.push_back(std::move(held));
    }
  }
  report.slowCalls = s.slowCallsLocked();
  report.slowCallsAreProblems = s.options.slowCallsAreProblems;
  s.report = std::move(report);
  return *s.report;
}

pid_t Core::pid() const { return state_->pid; }

std::vector<ExitReport::SlowCall> Core::slowCalls() {
  if (state_->report) return state_->report->slowCalls;
  // The core reports a slow delivery after it, so the report of the last
  // record may still be queued behind the marker that ended its inject().
  settle();
  std::lock_guard guard(state_->lock);
  return state_->slowCallsLocked();
}

std::string Core::output() const {
  std::lock_guard guard(state_->lock);
  return state_->output;
}

}  // namespace ko::testkit
