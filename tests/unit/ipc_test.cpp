// The scan-manager link over a socket pair, the test playing the scan-manager:
// the exact bytes of every request, a request that goes out short, and image
// bytes on their way into the page pipe. The replies (what each reads, every
// header and length rule, parse failures) the fuzz corpus replay proves against
// its model (fuzz_regressions_test.cpp); these are the parts it does not reach.
#include "ipc/ipc.h"
#include "ipc/xml_message.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/xml_defaults.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::string;
const Bytes kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

Bytes header(uint32_t command, uint32_t direction, uint32_t kind, uint64_t length) {
    const ipc_header_t h{command, direction, kind, length};
    return Bytes(reinterpret_cast<const char*>(&h), sizeof h);
}

Bytes reply(uint32_t command, uint32_t kind, const Bytes& payload) {
    return header(command, IPC_REPLY, kind, payload.size()) + payload;
}

// A connection record on one end of a socket pair, the scan-manager's end
// (`far`) in the test's hands. Time limits turn a hang into a failure.
struct Peer {
    Peer() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        const timeval limit{3, 0};
        for (int option : {SO_RCVTIMEO, SO_SNDTIMEO})
            for (int fd : fds) setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit);
        ipc.socket = fds[0];
        far = fds[1];
    }
    ~Peer() {
        close(ipc.socket);
        if (far >= 0) close(far);
    }
    void send(const Bytes& bytes) const {
        size_t done = 0;
        for (ssize_t n; done < bytes.size() && (n = ::send(far, &bytes[done], bytes.size() - done, MSG_NOSIGNAL)) > 0;)
            done += static_cast<size_t>(n);
    }
    // What the backend sent (from `far`), or left unread (from its own end).
    static Bytes take(int fd, size_t size) {
        Bytes bytes(size, '\0');
        size_t done = 0;
        for (ssize_t n; done < size && (n = read(fd, &bytes[done], size - done)) > 0;) done += static_cast<size_t>(n);
        return bytes.substr(0, done);
    }
    ipc_t ipc{-1, -1, -1};
    int far = -1;
};

// SIGPIPE's default ends the process: a write that raised it could not pass.
struct DefaultSigpipe {
    DefaultSigpipe() { sigaction(SIGPIPE, &fallback, &previous); }
    ~DefaultSigpipe() { sigaction(SIGPIPE, &previous, nullptr); }
    struct sigaction fallback {}, previous {};  // SIG_DFL
};

TEST(IpcFrame, NullArgumentsAreInvalidAndAGonePeerIsAnIoErrorNotASignal) {
    DefaultSigpipe sigpipe;
    Peer peer;
    char buffer[8] = "request";
    size_t count = sizeof buffer;
    const ipc_header_t h{};
    for (SANE_Status status : {ipc_write(nullptr, buffer, &count), ipc_write(&peer.ipc, nullptr, &count),
                               ipc_write(&peer.ipc, buffer, nullptr), ipc_read(nullptr, buffer, &count),
                               ipc_read(&peer.ipc, nullptr, &count), ipc_read(&peer.ipc, buffer, nullptr),
                               ipc_write_frame(nullptr, &h, buffer, 1), ipc_write_frame(&peer.ipc, nullptr, buffer, 1),
                               ipc_write_frame(&peer.ipc, &h, nullptr, 1)})
        EXPECT_EQ(status, SANE_STATUS_INVAL);
    close(peer.far);
    peer.far = -1;
    EXPECT_EQ(ipc_write(&peer.ipc, buffer, &count), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(count, sizeof buffer) << "a failed write leaves the count as it was";
    EXPECT_EQ(send_read_request(&peer.ipc), SANE_STATUS_IO_ERROR);
}

TEST(IpcRequest, EveryRequestGoesOutAsOneFrameOfExactBytes) {
    const DeviceInfo info{"name", "vendor", "MF-5300", "type", "office", "", "0x5300", "", "mfp"};
    const ScanParameter parameter{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 4294967295u};
    const struct {
        std::function<SANE_Status(ipc_t*)> send;
        uint32_t command;
        Bytes document;  // empty: a bare header
    } cases[] = {
        {send_close_device, IPC_CMD_CLOSE_DEVICE, ""},
        {send_start_scan, IPC_CMD_START_SCAN, ""},
        {send_end_scan, IPC_CMD_END_SCAN, ""},
        {send_read_request, IPC_CMD_READ_IMAGE, ""},
        // Empty names are left out; the rest are neither de-duplicated nor checked.
        {[](ipc_t* ipc) { return send_discovery(ipc, {{""}, {"a"}, {"x&y"}, {"x&y"}}); }, IPC_CMD_DISCOVERY,
         "<device_discovery><discovery_info host_name=\"a\"/><discovery_info host_name=\"x&amp;y\"/>"
         "<discovery_info host_name=\"x&amp;y\"/></device_discovery>"},
        // The six identity attributes in order, empty ones too.
        {[&](ipc_t* ipc) { return send_open_device(ipc, &info); }, IPC_CMD_OPEN_DEVICE,
         "<device model=\"MF-5300\" host_name=\"office\" vendor_id=\"\" product_id=\"0x5300\" usb_serial_id=\"\" "
         "deviceName=\"mfp\"/>"},
        {[&](ipc_t* ipc) { return send_scan_parameter(ipc, &parameter); }, IPC_CMD_SCAN_PARAMETER,
         "<scan_parameter original_placement=\"1\" scan_side=\"2\" color_mode=\"3\" input_resolution=\"4\" "
         "input_position_x=\"5\" input_position_y=\"6\" input_width=\"7\" input_height=\"8\" output_resolution=\"9\" "
         "output_width=\"10\" output_height=\"11\" black_text_mode=\"4294967295\"/>"},
    };
    for (const auto& c : cases) {
        Peer peer;
        ASSERT_EQ(c.send(&peer.ipc), SANE_STATUS_GOOD);
        const Bytes payload = c.document.empty() ? "" : kDeclaration + c.document + "\n";
        const uint32_t kind = payload.empty() ? IPC_PAYLOAD_NONE : IPC_PAYLOAD_XML;
        const Bytes frame = header(c.command, IPC_REQUEST, kind, payload.size()) + payload;
        EXPECT_EQ(Peer::take(peer.far, frame.size()), frame);
        char more;
        EXPECT_EQ(recv(peer.far, &more, 1, MSG_DONTWAIT), -1) << "nothing follows the frame of " << c.command;
    }
}

// Interrupting the sender again and again cuts its sends short (or leaves
// them with nothing sent); the rest of the document must still follow.
TEST(IpcRequest, DocumentThatGoesOutShortIsCompleted) {
    Peer peer;
    const int small = 4096;
    setsockopt(peer.ipc.socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    struct sigaction interrupt {}, previous {};
    interrupt.sa_handler = [](int) {};  // no SA_RESTART
    sigaction(SIGUSR1, &interrupt, &previous);
    const Bytes value(400000, 'x');
    const Bytes document = kDeclaration + "<big v=\"" + value + "\"/>\n";
    const size_t total = 20 + document.size();
    Bytes received;
    std::thread manager([&] {  // a slow reader keeps the sender's buffer full
        for (Bytes piece = "-"; !piece.empty() && received.size() < total; std::this_thread::sleep_for(500us))
            received += piece = Peer::take(peer.far, std::min<size_t>(8192, total - received.size()));
    });
    std::atomic<bool> sending{true};
    const pthread_t sender = pthread_self();
    std::thread interrupter([&] {
        for (; sending.load(); std::this_thread::sleep_for(300us)) pthread_kill(sender, SIGUSR1);
    });
    const SANE_Status status = kelvra::ipc::send_xml_request(&peer.ipc, IPC_CMD_DISCOVERY, "big", [&](xmlNode* root) {
        xmlNewProp(root, BAD_CAST "v", BAD_CAST value.c_str());
    });
    sending.store(false);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    manager.join();
    EXPECT_EQ(status, SANE_STATUS_GOOD);
    EXPECT_TRUE(received == header(IPC_CMD_DISCOVERY, IPC_REQUEST, IPC_PAYLOAD_XML, document.size()) + document)
        << "received " << received.size() << " of " << total << " bytes";
}

// A reply with a DOCTYPE is refused like one that does not parse, and the
// parser reaches neither a file nor the network, even with libxml2's defaults
// set to substitute entities and load external DTDs. A document without one
// is read as ever, whatever its comments and character data hold.
TEST(IpcXmlReply, DoctypeIsRefusedAndNothingOutsideIsReached) {
    kelvra_test::PermissiveXmlDefaults permissive;
    const std::string file = testing::TempDir() + "kelvra-entity-" + std::to_string(getpid());
    std::FILE* secret = std::fopen(file.c_str(), "w");
    ASSERT_NE(secret, nullptr);
    std::fputs("leaked", secret);
    std::fclose(secret);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, file.c_str(), IN_OPEN | IN_ACCESS), 0);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_TRUE(bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(listener, 4) == 0 &&
                getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/entity";
    const auto utf16 = [](const std::string& ascii) {
        Bytes wide = "\xff\xfe";
        for (char c : ascii) wide += Bytes{c, '\0'};
        return wide;
    };
    const std::string external = "<!DOCTYPE devices [<!ENTITY x SYSTEM \"file://" + file + "\">]>";
    const struct {
        const char* what;
        Bytes document;
        const char* name;  // of the device read; null: refused
    } cases[] = {
        {"no subset", "<!DOCTYPE devices><devices><device name=\"a\"/></devices>", nullptr},
        {"entity in an attribute", "<!DOCTYPE devices [<!ENTITY e \"x\">]><devices><device name=\"&e;\"/></devices>",
         nullptr},
        {"file entity in text", external + "<devices><device name=\"a\">&x;</device></devices>", nullptr},
        {"network entity in text",
         "<!DOCTYPE devices [<!ENTITY x SYSTEM \"" + url + "\">]><devices><device name=\"a\">&x;</device></devices>",
         nullptr},
        {"external DTD", "<!DOCTYPE devices SYSTEM \"file://" + file + "\"><devices><device name=\"a\"/></devices>",
         nullptr},
        {"parameter entity", "<!DOCTYPE devices [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]><devices/>", nullptr},
        {"UTF-16", utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + external +
                         "<devices><device name=\"a\">&x;</device></devices>"),
         nullptr},
        {"in a comment", "<!-- " + external + " --><devices><device name=\"b\"/></devices>", "b"},
        {"in character data", "<devices><device name=\"c\"><![CDATA[" + external + "]]></device></devices>", "c"},
        {"character references", "<devices><device name=\"&#x41;&amp;&lt;\"/></devices>", "A&<"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Peer peer;
        peer.send(reply(IPC_CMD_DISCOVERY, IPC_PAYLOAD_XML, c.document));
        std::vector<DeviceInfo> devices;
        EXPECT_EQ(receive_devices(&peer.ipc, devices), c.name ? SANE_STATUS_GOOD : SANE_STATUS_ACCESS_DENIED);
        EXPECT_TRUE(c.name ? devices.size() == 1 && devices[0].name == c.name : devices.empty());
        char events[4096];
        EXPECT_LT(read(watch, events, sizeof events), 0) << "the file was opened";
        EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "the network was reached";
    }
    close(listener);
    close(watch);
    unlink(file.c_str());
}

// Image bytes go into the page pipe, whose other end the frontend reads on
// its own thread: slowly (every byte arrives once and in order, whatever the
// pipe's mode), cancelling after 64 KiB (the write stops soon after, far short
// of the reply), or not at all before it closes its end (IO_ERROR with what
// the pipe took, and no SIGPIPE).
TEST(IpcReadReply, ImageBytesIntoThePagePipe) {
    enum Frontend { kSlow, kCancels, kLeaves };
    const struct {
        Frontend frontend;
        bool non_blocking;
        size_t size;
    } cases[] = {{kSlow, false, (3 << 20) + 17}, {kSlow, true, (3 << 20) + 17}, {kCancels, true, 8 << 20},
                 {kLeaves, true, 4 << 20}};
    DefaultSigpipe sigpipe;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "frontend " << c.frontend << ", non-blocking " << c.non_blocking);
        Bytes image(c.size, '\0');
        for (size_t i = 0; i < c.size; ++i) image[i] = static_cast<char>(i * 131 + (i >> 8) * 7 + (i >> 16));
        Peer peer;
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        if (c.non_blocking) fcntl(fds[1], F_SETFL, O_NONBLOCK);
        std::atomic<uint8_t> cancelled{0};
        Bytes received;
        int queued = -1;  // what the pipe held when the frontend left
        std::thread manager([&] { peer.send(reply(IPC_CMD_READ_IMAGE, IPC_PAYLOAD_IMAGE, image)); });
        std::thread frontend([&] {
            // Leaves once the pipe is full, however long the reply takes to
            // arrive. (Spliced bytes fill a pipe by its slots, not its bytes.)
            for (pollfd room{fds[1], POLLOUT, 0}; c.frontend == kLeaves && poll(&room, 1, 0) != 0;)
                std::this_thread::sleep_for(1ms);
            if (c.frontend == kLeaves) ioctl(fds[0], FIONREAD, &queued);
            char buffer[3000];
            for (ssize_t n; c.frontend != kLeaves && (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
                received.append(buffer, static_cast<size_t>(n));
                if (c.frontend == kCancels && received.size() >= 65536) cancelled.store(1);
                if (c.frontend == kSlow && received.size() < 200000) std::this_thread::sleep_for(1ms);
            }
            close(fds[0]);
        });
        size_t count = 123;
        uint32_t read_status = 77;
        const SANE_Status status = receive_read_reply(&peer.ipc, fds[1], &count, &cancelled, &read_status);
        close(fds[1]);
        frontend.join();
        manager.join();
        EXPECT_EQ(read_status, 77u) << "an image reply leaves it alone";
        EXPECT_EQ(status, c.frontend == kLeaves ? SANE_STATUS_IO_ERROR : SANE_STATUS_GOOD);
        EXPECT_TRUE(received == image.substr(0, c.frontend == kLeaves ? 0 : count)) << received.size() << " bytes";
        EXPECT_EQ(count, c.frontend == kSlow ? c.size : c.frontend == kLeaves ? size_t(queued) : count);
        // How soon after the cancel depends on scheduling: only its order of magnitude is asserted.
        EXPECT_TRUE(c.frontend != kCancels || (count >= 65536 && count < c.size / 4)) << count;
    }
    sigset_t pending;
    EXPECT_TRUE(sigemptyset(&pending) == 0 && sigpending(&pending) == 0 && !sigismember(&pending, SIGPIPE))
        << "no SIGPIPE is left waiting";
}

// The splice that the image path calls, for the cases below: the first
// `passes` calls go to the system's, every later one fails with `error`.
std::atomic<int> splice_calls{0};
int splice_passes = 0;
int splice_error = 0;
ssize_t refusing_splice(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size, unsigned int flags) {
    if (splice_calls.fetch_add(1) < splice_passes) return splice(in, in_offset, out, out_offset, size, flags);
    errno = splice_error;
    return -1;
}

// An image reply, then a status reply on the same connection: the page
// pipe gets exactly the first `room` bytes of the image (all of them when the
// room is larger), the rest is taken off the connection, so the status reply
// is read whole; and so whether the bytes are spliced, copied after the
// kernel refused (at once or after some bytes went), or copied because the
// target is no pipe. After a refusal the connection copies, and splice is
// not tried again.
TEST(IpcReadReply, ExactlyTheRoomIntoThePipeAndTheConnectionInStep) {
    const size_t kImage = (1 << 20) + 4099;
    const struct {
        const char* name;
        uint64_t room;
        int passes, error;  // error 0: the system's splice
        bool into_socket;   // the target is a socket, which splice refuses
    } cases[] = {
        {"whole image spliced", UINT64_MAX, 0, 0, false},
        {"room ends mid-image", 70001, 0, 0, false},
        {"no room at all", 0, 0, 0, false},
        {"refused at once", UINT64_MAX, 0, EINVAL, false},
        {"refused after a transfer, room mid-image", 300007, 1, EINVAL, false},
        {"no splice in the system", 5000, 0, ENOSYS, false},
        {"target is no pipe", 123457, 0, 0, true},
    };
    Bytes image(kImage, '\0');
    for (size_t i = 0; i < kImage; ++i) image[i] = static_cast<char>(i * 7 + (i >> 9));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        splice_calls = 0;
        splice_passes = c.passes;
        splice_error = c.error;
        if (c.error != 0) ipc_set_splice_function(refusing_splice);
        Peer peer;
        int fds[2];
        ASSERT_EQ(c.into_socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) : pipe2(fds, O_CLOEXEC), 0);
        const Bytes status = kDeclaration + "<status read_status=\"2\"/>\n";
        std::thread manager([&] {
            peer.send(reply(IPC_CMD_READ_IMAGE, IPC_PAYLOAD_IMAGE, image) + reply(IPC_CMD_READ_IMAGE, IPC_PAYLOAD_IMAGE,
                                                                                image.substr(0, 9)) +
                      reply(IPC_CMD_READ_IMAGE, IPC_PAYLOAD_XML, status));
        });
        Bytes received;
        std::thread frontend([&] {
            char buffer[65536];
            for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, size_t(n));
        });
        const std::atomic<uint8_t> cancelled{0};
        size_t count[2] = {0, 0};
        uint32_t read_status = 77;
        uint64_t room = c.room;
        SANE_Status results[3];
        for (int reply = 0; reply < 2; ++reply) {
            results[reply] = receive_read_reply(&peer.ipc, fds[1], &count[reply], &cancelled, &read_status, room);
            room -= std::min<uint64_t>(room, count[reply]);
        }
        const int calls_before_status = splice_calls;
        size_t unused = 0;
        results[2] = receive_read_reply(&peer.ipc, fds[1], &unused, &cancelled, &read_status, room);
        if (c.into_socket) shutdown(fds[1], SHUT_WR);
        close(fds[1]);
        frontend.join();
        manager.join();
        close(fds[0]);
        ipc_set_splice_function(nullptr);

        const size_t first = static_cast<size_t>(std::min<uint64_t>(kImage, c.room));
        const size_t second = static_cast<size_t>(std::min<uint64_t>(9, c.room - first));
        for (SANE_Status result : results) EXPECT_EQ(result, SANE_STATUS_GOOD);
        EXPECT_EQ(count[0], first);
        EXPECT_EQ(count[1], second);
        EXPECT_TRUE(received == image.substr(0, first) + image.substr(0, second)) << received.size() << " bytes";
        EXPECT_EQ(read_status, 2u) << "the status reply was read from its first byte";
        EXPECT_EQ(peer.ipc.copy_images, c.error != 0 || c.into_socket ? 1 : 0);
        if (c.error != 0) {
            EXPECT_EQ(calls_before_status, c.passes + 1) << "no splice after the refusal";
        }
    }
}

}  // namespace
