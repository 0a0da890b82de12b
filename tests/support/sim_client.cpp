#include "tests/support/sim_client.h"

#include "simulator/pages.h"
#include "simulator/wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kelvra_test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Waits until `fd` is readable (or ends); false on timeout.
bool wait_readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, remaining_ms(deadline));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // let the read report the error
    }
}

SimRead read_all(int fd, void* data, size_t size, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    auto* at = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        if (!wait_readable(fd, deadline)) return SimRead::timeout;
        ssize_t n = ::read(fd, at + done, size - done);
        if (n > 0) done += size_t(n);
        else if (n == 0) return SimRead::closed;
        else if (errno != EINTR) return errno == ECONNRESET ? SimRead::closed : SimRead::error;
    }
    return SimRead::frame;
}

std::vector<std::string> child_environment(const SimStartOptions& options, const std::string& scenario_path) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry(*e);
        if (entry.starts_with("KELVRA_SIM_SCENARIO=") || entry.starts_with("KELVRA_SIM_LOG=")) continue;
        env.emplace_back(entry);
    }
    if (!scenario_path.empty()) env.push_back("KELVRA_SIM_SCENARIO=" + scenario_path);
    for (const std::string& e : options.env) env.push_back(e);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::string sim_temp_path(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    const char* dir = std::getenv("TMPDIR");
    std::ostringstream path;
    path << (dir != nullptr && *dir != '\0' ? dir : "/tmp") << "/kelvra-sim-test-" << getpid() << "-"
         << counter++ << "-" << stem;
    return path.str();
}

std::string sim_read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

SimProcess::~SimProcess() {
    close_connection();
    if (pipe_ >= 0) ::close(pipe_);
    if (pid_ > 0 && exit_status_ < 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!scenario_path_.empty()) ::unlink(scenario_path_.c_str());
}

bool SimProcess::start(const SimStartOptions& options) {
    if (!options.scenario.empty()) {
        scenario_path_ = sim_temp_path("scenario.xml");
        std::ofstream out(scenario_path_, std::ios::binary);
        out << options.scenario;
        if (!out) return false;
    }
    int fds[2];
    if (::pipe(fds) != 0) return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);  // only the write end reaches the simulator
    port_pipe_number_ = fds[1];

    std::string program = KELVRA_TEST_SIM;
    std::string number = std::to_string(fds[1]);
    std::vector<std::string> args{program, number};
    std::vector<std::string> env = child_environment(options, scenario_path_);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    int err_fd = -1;
    if (!options.stderr_path.empty())
        err_fd = ::open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    pid_ = ::fork();
    if (pid_ == 0) {
        if (err_fd >= 0) ::dup2(err_fd, STDERR_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(fds[1]);
    if (err_fd >= 0) ::close(err_fd);
    pipe_ = fds[0];
    return pid_ > 0;
}

bool SimProcess::read_port(int32_t& port, int timeout_ms) {
    return read_all(pipe_, &port, sizeof port, timeout_ms) == SimRead::frame;
}

bool SimProcess::pipe_ends_without_data(int timeout_ms) {
    char byte;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!wait_readable(pipe_, deadline)) return false;
    return ::read(pipe_, &byte, 1) == 0;
}

bool SimProcess::connect_to(int32_t port) {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port & 0xFFFF));
    return ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool SimProcess::start_and_connect(const SimStartOptions& options) {
    int32_t port = -1;
    return start(options) && read_port(port) && port > 0 && connect_to(port);
}

bool SimProcess::send_raw(const void* data, size_t size) { return kelvra_sim::send_bytes(socket_, data, size); }

bool SimProcess::send_frame(uint32_t command, uint32_t direction, uint32_t kind, std::string_view payload) {
    const kelvra_sim::FrameHeader header{command, direction, kind, payload.size()};
    return kelvra_sim::send_frame(socket_, header, payload.data(), payload.size());
}

bool SimProcess::send_request(uint32_t command, std::string_view xml) {
    return send_frame(command, 0, xml.empty() ? 0 : 1, xml);
}

SimRead SimProcess::read_exact(void* data, size_t size, int timeout_ms) {
    return read_all(socket_, data, size, timeout_ms);
}

SimRead SimProcess::read_frame(SimFrame& frame, int timeout_ms) {
    kelvra_sim::FrameHeader header;
    SimRead r = read_all(socket_, &header, sizeof header, timeout_ms);
    if (r != SimRead::frame) return r;
    frame.command = header.command;
    frame.direction = header.direction;
    frame.kind = header.kind;
    frame.length = header.length;
    if (header.length > (1ull << 31)) return SimRead::error;
    frame.payload.assign(size_t(header.length), '\0');
    return read_all(socket_, frame.payload.data(), frame.payload.size(), timeout_ms);
}

bool SimProcess::exchange(uint32_t command, std::string_view xml, SimFrame& reply, int timeout_ms) {
    return send_request(command, xml) && read_frame(reply, timeout_ms) == SimRead::frame;
}

bool SimProcess::connection_closed(int timeout_ms) {
    char byte;
    return read_all(socket_, &byte, 1, timeout_ms) == SimRead::closed;
}

bool SimProcess::stays_silent(int milliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    return !wait_readable(socket_, deadline);
}

void SimProcess::close_connection() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

int SimProcess::wait_exit(int timeout_ms) {
    if (exit_status_ >= 0) return exit_status_;
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exit_status_;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int run_sim_with_args(const std::vector<std::string>& args, std::string& out, std::string& err) {
    const std::string out_path = sim_temp_path("stdout");
    const std::string err_path = sim_temp_path("stderr");
    std::string program = KELVRA_TEST_SIM;
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(all);
    pid_t pid = ::fork();
    if (pid == 0) {
        int o = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        ::unsetenv("KELVRA_SIM_SCENARIO");
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    out = sim_read_file(out_path);
    err = sim_read_file(err_path);
    ::unlink(out_path.c_str());
    ::unlink(err_path.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string sim_discovery_request(const std::vector<std::string>& hosts) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<device_discovery>";
    for (const std::string& host : hosts) text += "<discovery_info host_name=\"" + host + "\"/>";
    return text + "</device_discovery>\n";
}

std::string sim_open_request(const SimDeviceId& id) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<device model=\"" + id.model + "\" host_name=\"" +
           id.host_name + "\" vendor_id=\"" + id.vendor_id + "\" product_id=\"" + id.product_id +
           "\" usb_serial_id=\"" + id.usb_serial_id + "\" deviceName=\"" + id.deviceName + "\"/>\n";
}

SimDeviceId sim_builtin_device(const std::string& deviceName) {
    if (deviceName == "fb-a4") return {"FB-4200 Flatbed", "", "0x2d1a", "0x4200", "KV4200-0001", "fb-a4"};
    if (deviceName == "mfp-adf") return {"MF-5300 ADF", "", "0x2d1a", "0x5300", "KV5300-0001", "mfp-adf"};
    if (deviceName == "duplex-legal")
        return {"DX-7700 Duplex", "", "0x2d1a", "0x7700", "KV7700-0001", "duplex-legal"};
    if (deviceName == "net-office") return {"NX-9100 Network", "office-scanner.local", "", "", "", "net-office"};
    return {};
}

std::string sim_scan_request(uint32_t placement, uint32_t side, uint32_t color_mode, uint32_t width,
                             uint32_t height, uint32_t resolution) {
    auto a = [](const char* name, uint32_t value) { return std::string(" ") + name + "=\"" + std::to_string(value) + "\""; };
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scan_parameter" + a("original_placement", placement) +
           a("scan_side", side) + a("color_mode", color_mode) + a("input_resolution", 600) +
           a("input_position_x", 0) + a("input_position_y", 0) + a("input_width", width * 600 / resolution) +
           a("input_height", height * 600 / resolution) + a("output_resolution", resolution) +
           a("output_width", width) + a("output_height", height) + a("black_text_mode", 0) + "/>\n";
}

std::string sim_start_job(SimProcess& sim, const std::string& deviceName, const std::string& parameters) {
    SimFrame reply;
    if (!sim.exchange(1, sim_open_request(sim_builtin_device(deviceName)), reply) ||
        !sim.exchange(3, parameters, reply) || !sim.exchange(4, {}, reply))
        return "none";
    return sim_status(reply, "scan_status");
}

std::string sim_chart(uint32_t width, uint32_t height, uint32_t channels, uint32_t page, uint64_t offset,
                      uint64_t count) {
    const kelvra_sim::PageGeometry g{width, height, uint64_t(width) * channels, channels};
    const uint64_t size = kelvra_sim::page_size(g);
    std::string bytes(size_t(offset >= size ? 0 : std::min(count, size - offset)), '\0');
    kelvra_sim::page_bytes(g, page, offset, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

bool sim_refuses_to_start(SimStartOptions options, std::string& err) {
    const std::string err_path = sim_temp_path("stderr");
    options.stderr_path = err_path;
    SimProcess sim;
    const bool refused = sim.start(options) && sim.pipe_ends_without_data() && sim.wait_exit() == 2;
    err = sim_read_file(err_path);
    ::unlink(err_path.c_str());
    return refused;
}

SimPage sim_read_page(SimProcess& sim, int timeout_ms) {
    SimPage page;
    for (;;) {
        SimFrame frame;
        if (!sim.exchange(6, {}, frame, timeout_ms)) return page;
        if (frame.kind != 2) {
            page.end = std::move(frame);
            page.ok = true;
            return page;
        }
        page.pieces.push_back(frame.payload.size());
        page.bytes += frame.payload;
    }
}

bool SimXml::has(const std::string& attribute) const {
    for (const auto& [name, value] : attributes)
        if (name == attribute) return true;
    return false;
}

std::string SimXml::operator[](const std::string& attribute) const {
    for (const auto& [name, value] : attributes)
        if (name == attribute) return value;
    return "";
}

namespace {

void convert(const xmlNode* node, SimXml& out) {
    out.name = reinterpret_cast<const char*>(node->name);
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
        xmlChar* value = xmlNodeListGetString(node->doc, a->children, 1);
        out.attributes.emplace_back(reinterpret_cast<const char*>(a->name),
                                    value != nullptr ? reinterpret_cast<const char*>(value) : "");
        xmlFree(value);
    }
    for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        out.children.emplace_back();
        convert(c, out.children.back());
    }
}

}  // namespace

bool parse_sim_xml(std::string_view text, SimXml& root) {
    if (text.empty() || text.size() > size_t(INT_MAX)) return false;
    xmlDoc* doc = xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                                XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET);
    if (doc == nullptr) return false;
    const xmlNode* node = xmlDocGetRootElement(doc);
    bool ok = node != nullptr;
    if (ok) {
        root = SimXml{};
        convert(node, root);
    }
    xmlFreeDoc(doc);
    return ok;
}

std::string sim_status(const SimFrame& frame, const char* attribute) {
    SimXml doc;
    if (frame.kind != 1 || !parse_sim_xml(frame.payload, doc) || doc.name != "status") return "none";
    return doc[attribute];
}

}  // namespace kelvra_test
