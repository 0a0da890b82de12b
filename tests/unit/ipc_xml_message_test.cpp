// The XML procedures shared by every message, and the attribute conversions.
#include "ipc/ipc.h"
#include "ipc/xml_message.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>

#include <libxml/parser.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace ipc_test;
using kelvra::ipc::receive_xml_reply;
using kelvra::ipc::send_xml_request;

namespace {


struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

// One element parsed from text, for the attribute conversions.
class ParsedElement {
public:
    explicit ParsedElement(const std::string& text)
        : doc_(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0)) {}
    xmlNode* root() const { return doc_ ? xmlDocGetRootElement(doc_.get()) : nullptr; }

private:
    std::unique_ptr<xmlDoc, DocFree> doc_;
};

// ------------------------------------------------------- attribute conversions

TEST(IpcIntAttribute, ConvertsLikeStrtolKeepingTheLow32Bits) {
    const struct {
        const char* element;
        uint32_t expected;
    } cases[] = {
        {"<e w=\"5\"/>", 0u},  // missing
        {"<e v=\"-1\"/>", 4294967295u},
        {"<e v=\"12abc\"/>", 12u},
        {"<e v=\"  7\"/>", 7u},
        {"<e v=\"abc\"/>", 0u},
        {"<e v=\"4294967295\"/>", 4294967295u},
        {"<e v=\"4294967296\"/>", 0u},
        {"<e v=\"010\"/>", 10u},  // base 10: no octal
        {"<e v=\"0x1A\"/>", 0u},  // and no hexadecimal
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        ParsedElement element(c.element);
        ASSERT_NE(element.root(), nullptr);
        EXPECT_EQ(get_int_attribute(element.root(), "v"), c.expected);
    }
}

TEST(IpcStringAttribute, MissingReadsAsEmptyAndPresentAsIs) {
    ParsedElement element("<e name=\"Kelvra &amp; Co\" empty=\"\"/>");
    ASSERT_NE(element.root(), nullptr);
    EXPECT_EQ(get_string_attribute(element.root(), "name"), "Kelvra & Co");
    EXPECT_EQ(get_string_attribute(element.root(), "empty"), "");
    EXPECT_EQ(get_string_attribute(element.root(), "absent"), "");
}

TEST(IpcUintAttribute, WritesPlainDecimalDigits) {
    const std::pair<uint32_t, const char*> cases[] = {{0u, "0"}, {4294967295u, "4294967295"},
                                                      {2147483648u, "2147483648"}};
    for (const auto& [value, text] : cases) {
        std::unique_ptr<xmlDoc, DocFree> doc(xmlNewDoc(BAD_CAST "1.0"));
        xmlNode* root = xmlNewNode(nullptr, BAD_CAST "e");
        xmlDocSetRootElement(doc.get(), root);
        set_uint_attribute(root, "v", value);
        xmlChar* written = xmlGetProp(root, BAD_CAST "v");
        ASSERT_NE(written, nullptr);
        EXPECT_STREQ(reinterpret_cast<char*>(written), text);
        xmlFree(written);
    }
}

// ------------------------------------------------------- request procedure

TEST(IpcXmlRequest, HeaderAnnouncesTheDocumentLength) {
    SocketPeer peer;
    // Declaration (39) + "<scan_parameter x=\"...\"/>\n" (23 + value) makes 150 with an 88-byte value.
    const std::string value(88, 'v');
    ASSERT_EQ(send_xml_request(&peer.ipc, IPC_CMD_SCAN_PARAMETER, "scan_parameter",
                               [&](xmlNode* root) { xmlNewProp(root, BAD_CAST "x", BAD_CAST value.c_str()); }),
              SANE_STATUS_GOOD);
    const Bytes expected_header{0x03, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0x96, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(peer.receive(20), expected_header);
    Bytes payload = peer.receive(150);
    EXPECT_EQ(std::string(payload.begin(), payload.end()),
              kDeclaration + "<scan_parameter x=\"" + value + "\"/>\n");
}

void ignore_signal(int) {}

// Interrupting the sending thread again and again cuts its sends short (or
// leaves them with nothing sent); the rest of the document must follow.
TEST(IpcXmlRequest, DocumentThatGoesOutShortIsCompleted) {
    SocketPeer peer;
    int small = 4096;
    setsockopt(peer.ipc.socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    struct sigaction interrupt {};
    struct sigaction previous {};
    interrupt.sa_handler = ignore_signal;  // no SA_RESTART
    sigaction(SIGUSR1, &interrupt, &previous);

    const std::string value(400000, 'x');
    const std::string document = kDeclaration + "<big v=\"" + value + "\"/>\n";
    const Bytes expected = concat(header_bytes(IPC_CMD_DISCOVERY, IPC_REQUEST, IPC_PAYLOAD_XML, document.size()),
                                  text_bytes(document));
    Bytes received;
    std::thread manager([&] {  // a slow reader keeps the sender's buffer full
        uint8_t buffer[8192];
        for (ssize_t n; received.size() < expected.size() && (n = read(peer.peer_fd(), buffer, sizeof buffer)) > 0;) {
            received.insert(received.end(), buffer, buffer + n);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::atomic<bool> sending{true};
    const pthread_t sender = pthread_self();
    std::thread interrupter([&] {
        for (; sending.load(); std::this_thread::sleep_for(std::chrono::microseconds(300))) pthread_kill(sender, SIGUSR1);
    });
    const SANE_Status status =
        send_xml_request(&peer.ipc, IPC_CMD_DISCOVERY, "big",
                         [&](xmlNode* root) { xmlNewProp(root, BAD_CAST "v", BAD_CAST value.c_str()); });
    sending.store(false);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    manager.join();

    EXPECT_EQ(status, SANE_STATUS_GOOD);
    EXPECT_TRUE(received == expected) << "received " << received.size() << " of " << expected.size() << " bytes";
}

// --------------------------------------------------------- reply procedure

TEST(IpcXmlReply, HeaderMismatchIsAnIoErrorAndLeavesThePayloadUnread) {
    const struct {
        const char* label;
        Bytes header;  // announces the 9-byte payload "<status/>" unless its length says otherwise
    } cases[] = {
        {"other command", header_bytes(3, IPC_REPLY, IPC_PAYLOAD_XML, 9)},
        {"request direction", header_bytes(4, IPC_REQUEST, IPC_PAYLOAD_XML, 9)},
        {"image kind", header_bytes(4, IPC_REPLY, IPC_PAYLOAD_IMAGE, 9)},
        {"no payload kind", header_bytes(4, IPC_REPLY, IPC_PAYLOAD_NONE, 9)},
        {"zero length", header_bytes(4, IPC_REPLY, IPC_PAYLOAD_XML, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SocketPeer peer;
        peer.send(c.header);
        peer.send(text_bytes("<status/>"));
        bool read = false;
        EXPECT_EQ(receive_xml_reply(&peer.ipc, IPC_CMD_START_SCAN, "status", [&](xmlNode*) { read = true; }),
                  SANE_STATUS_IO_ERROR);
        EXPECT_FALSE(read);
        EXPECT_EQ(peer.unread_on_backend(9), text_bytes("<status/>"));
    }
}

TEST(IpcXmlReply, ParsesAndHandsOverOnlyTheElementOfTheExpectedName) {
    const struct {
        const char* label;
        std::string body;
        SANE_Status expected;
        bool element_read;
    } cases[] = {
        {"declaration and comment first", kDeclaration + "<!-- c --><status/>\n", SANE_STATUS_GOOD, true},
        {"not well-formed", "<status scan_status=\"0\">", SANE_STATUS_ACCESS_DENIED, false},
        {"other root", "<image_info width=\"1\"/>", SANE_STATUS_GOOD, false},
        {"name in other case", "<Status/>", SANE_STATUS_GOOD, false},
        {"instruction of that name", "<?status x?><other/>", SANE_STATUS_GOOD, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SocketPeer peer;
        peer.send(reply_frame(IPC_CMD_START_SCAN, IPC_PAYLOAD_XML, c.body));
        peer.send(text_bytes("next"));
        bool read = false;
        EXPECT_EQ(receive_xml_reply(&peer.ipc, IPC_CMD_START_SCAN, "status", [&](xmlNode*) { read = true; }),
                  c.expected);
        EXPECT_EQ(read, c.element_read);
        // The whole payload was consumed, whatever the outcome.
        EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next"));
    }
}

}  // namespace
