// The scan-manager link driven over a socket pair, the test playing the
// scan-manager: the exact bytes of every request, the reply procedure all XML
// replies share, and image bytes on their way into the page pipe. How each
// reply's fields are read, and every header and length rule of the replies
// and acknowledgements, is proven against a model over the fuzz corpus
// (fuzz_regressions_test.cpp); these are the parts those checks do not reach.
#include "ipc/ipc.h"
#include "ipc/xml_message.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

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
        for (int fd : fds) {
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        }
        ipc.socket = fds[0];
        far = fds[1];
    }
    ~Peer() {
        close(ipc.socket);
        close_far();
    }
    void close_far() {
        if (far >= 0) close(far);
        far = -1;
    }
    void send(const Bytes& bytes) const {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(far, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                ADD_FAILURE() << "peer send: " << std::strerror(errno);
                return;
            }
            done += static_cast<size_t>(n);
        }
    }
    // `size` bytes from `fd`: the far end for what the backend sent, the
    // backend's own end for what it left unread.
    static Bytes take(int fd, size_t size) {
        Bytes bytes(size, '\0');
        for (size_t done = 0; done < size;) {
            const ssize_t n = read(fd, bytes.data() + done, size - done);
            if (n <= 0) return bytes.substr(0, done);
            done += static_cast<size_t>(n);
        }
        return bytes;
    }

    ipc_t ipc{-1, -1, -1};
    int far = -1;
};

// SIGPIPE's default ends the process: a write that raised it could not pass.
struct DefaultSigpipe {
    DefaultSigpipe() {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &fallback, &previous);
    }
    ~DefaultSigpipe() { sigaction(SIGPIPE, &previous, nullptr); }
    struct sigaction previous {};
};

TEST(IpcFrame, NullArgumentsAreInvalidAndAGonePeerIsAnIoErrorNotASignal) {
    DefaultSigpipe sigpipe;
    Peer peer;
    char buffer[8] = "request";
    size_t count = sizeof buffer;
    const ipc_header_t h{};
    int call = 0;
    for (SANE_Status status :
         {ipc_write(nullptr, buffer, &count), ipc_write(&peer.ipc, nullptr, &count), ipc_write(&peer.ipc, buffer, nullptr),
          ipc_read(nullptr, buffer, &count), ipc_read(&peer.ipc, nullptr, &count), ipc_read(&peer.ipc, buffer, nullptr),
          ipc_write_frame(nullptr, &h, buffer, 1), ipc_write_frame(&peer.ipc, nullptr, buffer, 1),
          ipc_write_frame(&peer.ipc, &h, nullptr, 1)})
        EXPECT_EQ(status, SANE_STATUS_INVAL) << "call " << call++;

    peer.close_far();
    EXPECT_EQ(ipc_write(&peer.ipc, buffer, &count), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(count, sizeof buffer) << "a failed write leaves the count as it was";
    EXPECT_EQ(send_read_request(&peer.ipc), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(send_discovery(&peer.ipc, {}), SANE_STATUS_IO_ERROR);
}

TEST(IpcRequest, EveryRequestGoesOutAsOneFrameOfExactBytes) {
    const DeviceInfo full{"name", "vendor", "MF-5300", "type", "office", "0x2d1a", "0x5300", "KV-1", "mfp"};
    const DeviceInfo bare{"n", "v", "M", "t", "", "", "", "", ""};
    const ScanParameter parameter{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 4294967295u};
    const struct {
        const char* label;
        std::function<SANE_Status(ipc_t*)> send;
        uint32_t command;
        Bytes document;  // empty: a bare header
    } cases[] = {
        {"close", send_close_device, IPC_CMD_CLOSE_DEVICE, ""},
        {"start", send_start_scan, IPC_CMD_START_SCAN, ""},
        {"end", send_end_scan, IPC_CMD_END_SCAN, ""},
        {"read", send_read_request, IPC_CMD_READ_IMAGE, ""},
        {"no hosts", [](ipc_t* ipc) { return send_discovery(ipc, {}); }, IPC_CMD_DISCOVERY, "<device_discovery/>"},
        // Empty names are left out; the rest are neither de-duplicated nor checked.
        {"hosts", [](ipc_t* ipc) { return send_discovery(ipc, {{""}, {"a"}, {"x&y"}, {"x&y"}}); }, IPC_CMD_DISCOVERY,
         "<device_discovery><discovery_info host_name=\"a\"/><discovery_info host_name=\"x&amp;y\"/>"
         "<discovery_info host_name=\"x&amp;y\"/></device_discovery>"},
        {"open", [&](ipc_t* ipc) { return send_open_device(ipc, &full); }, IPC_CMD_OPEN_DEVICE,
         "<device model=\"MF-5300\" host_name=\"office\" vendor_id=\"0x2d1a\" product_id=\"0x5300\" "
         "usb_serial_id=\"KV-1\" deviceName=\"mfp\"/>"},
        {"open, empty fields too", [&](ipc_t* ipc) { return send_open_device(ipc, &bare); }, IPC_CMD_OPEN_DEVICE,
         "<device model=\"M\" host_name=\"\" vendor_id=\"\" product_id=\"\" usb_serial_id=\"\" deviceName=\"\"/>"},
        {"scan parameter", [&](ipc_t* ipc) { return send_scan_parameter(ipc, &parameter); }, IPC_CMD_SCAN_PARAMETER,
         "<scan_parameter original_placement=\"1\" scan_side=\"2\" color_mode=\"3\" input_resolution=\"4\" "
         "input_position_x=\"5\" input_position_y=\"6\" input_width=\"7\" input_height=\"8\" output_resolution=\"9\" "
         "output_width=\"10\" output_height=\"11\" black_text_mode=\"4294967295\"/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Peer peer;
        ASSERT_EQ(c.send(&peer.ipc), SANE_STATUS_GOOD);
        const Bytes payload = c.document.empty() ? "" : kDeclaration + c.document + "\n";
        const uint32_t kind = payload.empty() ? IPC_PAYLOAD_NONE : IPC_PAYLOAD_XML;
        EXPECT_EQ(Peer::take(peer.far, 20 + payload.size()), header(c.command, IPC_REQUEST, kind, payload.size()) + payload);
        char more;
        EXPECT_EQ(recv(peer.far, &more, 1, MSG_DONTWAIT), -1) << "nothing follows the frame";
    }
}

void ignore_signal(int) {}

// Interrupting the sender again and again cuts its sends short (or leaves
// them with nothing sent); the rest of the document must still follow.
TEST(IpcRequest, DocumentThatGoesOutShortIsCompleted) {
    Peer peer;
    const int small = 4096;
    setsockopt(peer.ipc.socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    struct sigaction interrupt {};
    struct sigaction previous {};
    interrupt.sa_handler = ignore_signal;  // no SA_RESTART
    sigaction(SIGUSR1, &interrupt, &previous);

    const Bytes value(400000, 'x');
    const Bytes document = kDeclaration + "<big v=\"" + value + "\"/>\n";
    Bytes received;
    std::thread manager([&] {  // a slow reader keeps the sender's buffer full
        received = Peer::take(peer.far, 20 + document.size());
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
        << "received " << received.size() << " of " << 20 + document.size() << " bytes";
}

// A header that does not announce a non-empty XML reply to the request is an
// IO_ERROR and its payload stays unread; any other reply is consumed whole.
TEST(IpcXmlReply, ChecksTheHeaderThenHandsOverOnlyTheElementOfTheExpectedName) {
    const Bytes body = "<status/>";
    const struct {
        const char* label;
        Bytes sent;
        SANE_Status status;
        bool element_read;
        Bytes unread;
    } cases[] = {
        {"other command", header(3, IPC_REPLY, IPC_PAYLOAD_XML, 9) + body, SANE_STATUS_IO_ERROR, false, body},
        {"request direction", header(4, IPC_REQUEST, IPC_PAYLOAD_XML, 9) + body, SANE_STATUS_IO_ERROR, false, body},
        {"image kind", header(4, IPC_REPLY, IPC_PAYLOAD_IMAGE, 9) + body, SANE_STATUS_IO_ERROR, false, body},
        {"no payload kind", header(4, IPC_REPLY, IPC_PAYLOAD_NONE, 9) + body, SANE_STATUS_IO_ERROR, false, body},
        {"length zero", header(4, IPC_REPLY, IPC_PAYLOAD_XML, 0) + body, SANE_STATUS_IO_ERROR, false, body},
        {"declaration and comment first", reply(4, IPC_PAYLOAD_XML, kDeclaration + "<!-- c -->" + body + "\n"),
         SANE_STATUS_GOOD, true, ""},
        {"not well-formed", reply(4, IPC_PAYLOAD_XML, "<status scan_status=\"0\">"), SANE_STATUS_ACCESS_DENIED,
         false, ""},
        {"other root", reply(4, IPC_PAYLOAD_XML, "<image_info width=\"1\"/>"), SANE_STATUS_GOOD, false, ""},
        {"name in other case", reply(4, IPC_PAYLOAD_XML, "<Status/>"), SANE_STATUS_GOOD, false, ""},
        {"instruction of that name", reply(4, IPC_PAYLOAD_XML, "<?status x?><other/>"), SANE_STATUS_GOOD, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Peer peer;
        peer.send(c.sent + "next");
        bool read = false;
        EXPECT_EQ(kelvra::ipc::receive_xml_reply(&peer.ipc, IPC_CMD_START_SCAN, "status", [&](xmlNode*) { read = true; }),
                  c.status);
        EXPECT_EQ(read, c.element_read);
        EXPECT_EQ(Peer::take(peer.ipc.socket, c.unread.size() + 4), c.unread + "next");
    }
}

// ------------------------------------------------------------ image bytes

// One image reply of `size` bytes read into a page pipe whose other end the
// frontend reads (or closes) on its own thread.
struct PageRun {
    Bytes image, received;
    SANE_Status status;
    size_t count = 123;
    uint32_t read_status = 77;  // an image reply leaves it alone
    size_t capacity = 0;        // of the pipe
};

PageRun read_page(size_t size, bool non_blocking, std::atomic<uint8_t>& cancelled,
                  const std::function<void(int& read_fd, Bytes& received)>& frontend) {
    PageRun run;
    for (size_t i = 0; i < size; ++i) run.image += static_cast<char>(i * 131 + (i >> 8) * 7 + (i >> 16));
    Peer peer;
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    if (non_blocking) fcntl(fds[1], F_SETFL, O_NONBLOCK);
    run.capacity = static_cast<size_t>(fcntl(fds[1], F_GETPIPE_SZ));
    std::thread manager([&] { peer.send(reply(IPC_CMD_READ_IMAGE, IPC_PAYLOAD_IMAGE, run.image)); });
    std::thread reader([&] { frontend(fds[0], run.received); });
    run.status = receive_read_reply(&peer.ipc, fds[1], &run.count, &cancelled, &run.read_status);
    close(fds[1]);
    reader.join();
    manager.join();
    if (fds[0] >= 0) close(fds[0]);
    return run;
}

void drain(int fd, Bytes& received, const std::function<void()>& after_each_read) {
    char buffer[3000];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        received.append(buffer, static_cast<size_t>(n));
        after_each_read();
    }
}

// The pipe takes a few kilobytes at a time and the frontend reads slowly:
// every byte arrives once and in order, whatever the pipe's mode.
TEST(IpcReadReply, PartialWritesDeliverEveryByteOnceAndInOrder) {
    for (bool non_blocking : {false, true}) {
        SCOPED_TRACE(non_blocking ? "non-blocking pipe" : "blocking pipe");
        std::atomic<uint8_t> cancelled{0};
        const PageRun run = read_page(3 * 1024 * 1024 + 17, non_blocking, cancelled, [](int& fd, Bytes& received) {
            drain(fd, received, [&] {
                if (received.size() < 200000) std::this_thread::sleep_for(1ms);
            });
        });
        EXPECT_EQ(run.status, SANE_STATUS_GOOD);
        EXPECT_EQ(run.count, run.image.size());
        EXPECT_EQ(run.read_status, 77u);
        EXPECT_TRUE(run.received == run.image) << "received " << run.received.size() << " bytes";
    }
}

TEST(IpcReadReply, CancelDuringALargeWriteStopsAfterTheWriteInProgress) {
    std::atomic<uint8_t> cancelled{0};
    const PageRun run = read_page(8 * 1024 * 1024, true, cancelled, [&](int& fd, Bytes& received) {
        drain(fd, received, [&] {
            if (received.size() >= 65536) cancelled.store(1);
        });
    });
    EXPECT_EQ(run.status, SANE_STATUS_GOOD);
    EXPECT_GE(run.count, 65536u);
    // Soon after the cancel, far short of the reply; how far depends on the
    // scheduling of the two threads, so only the order of magnitude is asserted.
    EXPECT_LT(run.count, run.image.size() / 4);
    EXPECT_TRUE(run.received == run.image.substr(0, run.count));
}

TEST(IpcReadReply, PipeWhoseReaderWentGivesIoErrorWithTheCountAndNoSignal) {
    DefaultSigpipe sigpipe;
    std::atomic<uint8_t> cancelled{0};
    const PageRun run = read_page(4 << 20, true, cancelled, [](int& fd, Bytes&) {
        std::this_thread::sleep_for(250ms);
        close(fd);
        fd = -1;
    });
    EXPECT_EQ(run.status, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(run.count, run.capacity) << "what the pipe took before its reader went";
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE is left waiting";
}

}  // namespace
