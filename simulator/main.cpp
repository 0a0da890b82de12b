// kelvra-sim: a scan-manager simulator. It keeps the scan-manager's side of
// the backend's protocol, serves virtual devices with deterministic test
// pages and injects the faults a scenario file asks for.
#include "simulator/inherited.h"
#include "simulator/handshake.h"
#include "simulator/intruder.h"
#include "simulator/log.h"
#include "simulator/private_file.h"
#include "simulator/replay.h"
#include "simulator/scenario.h"
#include "simulator/session.h"
#include "simulator/transcript.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace kelvra_sim;

namespace {

const char usage[] =
    "Usage: kelvra-sim FD\n"
    "       kelvra-sim --replay TRACE [FD]\n"
    "       kelvra-sim --help | --version\n"
    "\n"
    "A scan-manager simulator for the kelvra SANE backend. The backend starts it\n"
    "the way it starts the real scan-manager: as a child process whose only\n"
    "argument FD is the number of an inherited pipe descriptor. The simulator\n"
    "listens on 127.0.0.1 at a port of the kernel's choice, writes that port to\n"
    "FD as a 4-byte native int, closes FD, and serves the first connection that\n"
    "comes from a socket of its own user (others are closed at once); then it\n"
    "stops listening and exits when that connection closes.\n"
    "\n"
    "Build the backend's demo flavour (build/demo/libsane-kelvra.so.1) to use it\n"
    "in place of the real scan-manager; the kelvra-sim package registers it at the\n"
    "scan-manager's path, where a real scan-manager takes precedence.\n"
    "\n"
    "Environment:\n"
    "  KELVRA_SIM_SCENARIO  path of a scenario file (XML). Unset: four built-in\n"
    "                       devices (fb-a4, mfp-adf, duplex-legal, net-office),\n"
    "                       test-chart pages and no faults.\n"
    "  KELVRA_SIM_LOG       log verbosity on standard error, overriding the\n"
    "                       scenario: 0 errors and warnings only (default), 1 start,\n"
    "                       devices, jobs, refused connections and faults, 2 every\n"
    "                       request and reply, 3 payload texts.\n"
    "  KELVRA_SIM_LOG_FILE  append the log to this file instead (errors also go to\n"
    "                       standard error).\n"
    "  KELVRA_SIM_REPLAY    a trace the backend wrote (KELVRA_TRACE): answer with\n"
    "                       its recorded replies instead of serving devices, and\n"
    "                       check every request against it. The k-th simulator a\n"
    "                       frontend process starts plays the k-th connection of\n"
    "                       the recorded session (counted in TRACE.replay).\n"
    "  KELVRA_SIM_REPLAY_SESSION  which session of the trace, from 1 (default 1).\n"
    "\n"
    "--replay TRACE prints what the trace holds; --replay TRACE FD replays as\n"
    "KELVRA_SIM_REPLAY does.\n"
    "\n"
    "Scenario file, in short:\n"
    "  <scenario transcript=\"FILE.jsonl\" piece_size=\"262144\" piece_delay_ms=\"0\" log=\"0\"\n"
    "            strict=\"0|1\">   (strict: refuse what the real device would)\n"
    "    (replay=\"TRACE\" on <scenario> instead of elements: answer from a backend trace)\n"
    "    <startup port=\"-1\" | port_add=\"N\" | action=\"exit|hang|unbound\"  intruder=\"USER\"/>\n"
    "    <device name=\"..\" vendor=\"..\" model=\"..\" type=\"..\" host=\"..\" units=\"flatbed adf\"\n"
    "            sheets=\"3\" flatbed=\"minW maxW minH maxH\" adf=\"..\" .../>   (replace the built-ins)\n"
    "    <source file=\"page.png\" dpi=\"300\"/>   (every page from a PNM or PNG file)\n"
    "    <source page=\"P\" file=\"page2.pgm\"/>   (page P from its own file)\n"
    "    <reply command=\"C\" nth=\"K\" action=\"reply|silence|close|exit|close-mid-header|\n"
    "           close-mid-payload|split\" body=\"..\" body_size=\"N\" header_command=\"..\"\n"
    "           direction=\"..\" kind=\"..\" length=\"..\" delay_ms=\"..\" bytes=\"..\"/>\n"
    "    <page number=\"P\" at_byte=\"B\" read_status=\"N\" | action=\"close|silence|malformed|exit\"/>\n"
    "    <page number=\"P\" extra=\"N\"/>\n"
    "  </scenario>\n"
    "Pages are cut from a document of the unit's whole size: the scan area is that\n"
    "part of it. A page file lies on it at its dpi, or fitted keeping its aspect\n"
    "ratio, grey or colour as the scan asks; a relative path is taken from the\n"
    "scenario's folder. The transcript is JSON Lines: every frame both ways, the\n"
    "faults that fired, warnings, with time stamps (see kelvra-sim(1)).\n"
    "The intruder (root only) is a process of USER that connects first; it is refused.\n"
    "\n"
    "Full documentation: kelvra-sim(1), and doc/kelvra-sim-scenario.md in the\n"
    "kelvra sources.\n"
    "\n"
    "Exit status: 0 when the connection ended normally or by a scripted fault,\n"
    "or nobody connected within 60 seconds; 1 when the client broke the protocol,\n"
    "the port could not be written or the connection failed; 2 for bad arguments,\n"
    "a bad scenario file or trace or an unusable transcript or log file; 3 when a\n"
    "replayed request differs from the recording.\n";

bool parse_descriptor(const char* text, int& fd) {
    if (text == nullptr || *text == '\0') return false;
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > 1000000) return false;
    }
    fd = int(value);
    return ::fcntl(fd, F_GETFD) != -1;
}

// The steps of main() return the exit status when the program ends there,
// nothing when it goes on.

// The log file named by KELVRA_SIM_LOG_FILE, opened first so that every later
// line reaches it: a GUI frontend often drops its children's standard error.
std::optional<int> open_log_file() {
    const char* path = std::getenv("KELVRA_SIM_LOG_FILE");
    if (path == nullptr || *path == '\0') return std::nullopt;
    std::string problem;
    const int fd = open_private_append(path, problem);
    if (fd < 0) {
        error("cannot open the log file %s (KELVRA_SIM_LOG_FILE): %s", path, problem.c_str());
        return 2;
    }
    set_log_file(fd);
    return std::nullopt;
}

std::optional<int> read_arguments(int argc, char** argv, int& pipe_fd, std::string& replay) {
    if (argc >= 3 && std::strcmp(argv[1], "--replay") == 0) {
        if (argc == 3) return describe_trace(argv[2]);
        replay = argv[2];
        argc -= 2;
        argv += 2;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvra-sim %s\n", KELVRA_VERSION);
        return 0;
    }
    if (argc != 2) {
        error("expected exactly one argument, the number of an open descriptor to write the port to");
        std::fputs("Try 'kelvra-sim --help'.\n", stderr);
        return 2;
    }
    if (!parse_descriptor(argv[1], pipe_fd)) {
        error("\"%s\" is not the number of an open descriptor to write the port to", argv[1]);
        std::fputs("Try 'kelvra-sim --help'.\n", stderr);
        return 2;
    }
    return std::nullopt;
}

int log_level_from_environment(const Scenario& scenario, bool& bad) {
    const char* text = std::getenv("KELVRA_SIM_LOG");
    if (text == nullptr || *text == '\0') return scenario.log.value_or(0);
    char* end = nullptr;
    long level = std::strtol(text, &end, 10);
    if (*end != '\0' || level < 0 || level > 3) {
        bad = true;
        return 0;
    }
    return int(level);
}

// The scenario named by the environment (the built-in one when none is), and
// the log level it and the environment set.
std::optional<int> read_scenario(const char* scenario_path, Scenario& scenario) {
    if (scenario_path != nullptr && *scenario_path != '\0') {
        std::string problem;
        if (!load_scenario(scenario_path, scenario, problem)) {
            error("bad scenario: %s", problem.c_str());
            return 2;
        }
    }
    bool bad_level = false;
    set_log_level(log_level_from_environment(scenario, bad_level));
    if (bad_level) {
        error("KELVRA_SIM_LOG must be a number from 0 to 3");
        return 2;
    }
    return std::nullopt;
}

// Opens the transcript, when the scenario names one, and reports there what
// the process inherited.
std::optional<int> open_transcript(const char* scenario_path, const Scenario& scenario,
                                   const std::vector<int>& inherited, const SignalState& signals,
                                   Transcript& transcript) {
    if (scenario.transcript.empty()) return std::nullopt;
    std::string problem;
    if (!transcript.open(scenario.transcript, problem)) {
        error("cannot open the transcript %s: %s", scenario.transcript.c_str(), problem.c_str());
        return 2;
    }
    transcript.start(scenario_path != nullptr ? scenario_path : "", scenario.strict);
    transcript.descriptors(inherited);
    transcript.signals(signals);
    return std::nullopt;
}

void log_start(const char* scenario_path, const Scenario& scenario) {
    log(1, "starting with %s; %zu device(s)%s",
        scenario_path != nullptr && *scenario_path != '\0' ? scenario_path : "no scenario",
        scenario.devices.empty() ? size_t(4) : scenario.devices.size(),
        scenario.devices.empty() ? " (built-in)" : "");
}

// The session of the trace to replay: KELVRA_SIM_REPLAY_SESSION, else the first.
std::optional<size_t> replay_session() {
    const char* text = std::getenv("KELVRA_SIM_REPLAY_SESSION");
    if (text == nullptr || *text == '\0') return 1;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (*end != '\0' || number == 0 || text[0] == '-') return std::nullopt;
    return size_t(number);
}

// Plays this process's connection of the trace at `path`.
int replay(const std::string& path, int pipe_fd, Transcript& transcript) {
    std::string problem;
    size_t number = 0;
    const std::optional<size_t> session_number = replay_session();
    if (!session_number) {
        error("KELVRA_SIM_REPLAY_SESSION must be a session number from 1");
        return 2;
    }
    if (!claim_connection(path, number, problem)) {
        error("%s", problem.c_str());
        return 2;
    }
    Trace trace;
    if (!load_trace(path, trace, problem, {*session_number, number})) {
        error("bad trace: %s", problem.c_str());
        return 2;
    }
    if (*session_number > trace.sessions.size()) {
        error("%s holds %zu session(s): there is no session %zu (KELVRA_SIM_REPLAY_SESSION)", path.c_str(),
              trace.sessions.size(), *session_number);
        return 2;
    }
    const TracedSession& session = trace.sessions[*session_number - 1];
    const std::string where = "connection " + std::to_string(number) + " of session " +
                              std::to_string(*session_number) + " of " + path;
    transcript.replay(path, *session_number, number);
    if (number > session.connections.size()) {
        error("replay of %s: the recorded session (%s, pid %lld) started %zu scan-manager(s), this is number %zu; "
              "was another session meant (KELVRA_SIM_REPLAY_SESSION, see kelvra-sim --replay %s)?",
              where.c_str(), session.program.c_str(), static_cast<long long>(session.pid), session.connections.size(),
              number, path.c_str());
        transcript.end(exit_diverged);
        return exit_diverged;
    }
    const TracedConnection& recorded = session.connections[number - 1];
    log(1, "replaying %s (trace line %ld)", where.c_str(), recorded.line);
    if (!recorded.started) {
        // The recorded start failed: before a port, or when connecting to it.
        const int status = play_startup_fault(recorded.port < 0 ? StartupAction::exit : StartupAction::unbound, pipe_fd);
        transcript.end(status);
        return status;
    }
    Intruder none;
    int status = 0;
    const int connection = connect_client(StartupFault{}, pipe_fd, none, transcript, status);
    if (connection >= 0) {
        status = ReplaySession(connection, recorded, where, &transcript).run();
        ::close(connection);
    }
    log(1, "done (exit status %d)", status);
    transcript.end(status);
    return status;
}

int serve(int connection, const Scenario& scenario, Transcript& transcript) {
    Session session(connection, scenario, &transcript);
    const int status = session.run();
    ::close(connection);
    log(1, "done (exit status %d)", status);
    transcript.end(status);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Read before anything is opened or changed, so that they are what the
    // process that started the simulator left it across exec.
    const std::vector<int> inherited = open_descriptors();
    const SignalState signals = signal_state();
    std::signal(SIGPIPE, SIG_IGN);

    int pipe_fd = -1;
    std::string trace;
    if (auto status = read_arguments(argc, argv, pipe_fd, trace)) return *status;
    if (auto status = open_log_file()) return *status;
    const char* scenario_path = std::getenv("KELVRA_SIM_SCENARIO");
    Scenario scenario;
    if (auto status = read_scenario(scenario_path, scenario)) return *status;
    Transcript transcript;
    if (auto status = open_transcript(scenario_path, scenario, inherited, signals, transcript)) return *status;
    if (const char* named = std::getenv("KELVRA_SIM_REPLAY"); trace.empty() && named != nullptr) trace = named;
    if (trace.empty()) trace = scenario.replay;
    if (!trace.empty()) return replay(trace, pipe_fd, transcript);
    log_start(scenario_path, scenario);

    const StartupFault startup = scenario.startup.value_or(StartupFault{});
    if (startup.action != StartupAction::none) {
        transcript.startup_fault(startup, startup.action);
        return play_startup_fault(startup.action, pipe_fd);
    }
    Intruder intruder;
    int status = 0;
    const int connection = connect_client(startup, pipe_fd, intruder, transcript, status);
    if (connection < 0) {
        transcript.end(status);
        return status;
    }
    return serve(connection, scenario, transcript);
}
