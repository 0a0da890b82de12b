// The XML procedures shared by every message, and the attribute conversions.
#include "ipc/ipc.h"
#include "ipc/xml_message.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>

#include <ostream>
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

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

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

// ------------------------------------------------------- get_int_attribute

struct IntCase {
    const char* name;
    const char* element;
    uint32_t expected;
};

std::ostream& operator<<(std::ostream& out, const IntCase& c) { return out << c.name; }

class IpcIntAttribute : public ::testing::TestWithParam<IntCase> {};

TEST_P(IpcIntAttribute, ConvertsLikeStrtolKeepingTheLow32Bits) {
    ParsedElement element(GetParam().element);
    ASSERT_NE(element.root(), nullptr);
    EXPECT_EQ(get_int_attribute(element.root(), "v"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IpcIntAttribute,
    ::testing::Values(IntCase{"missing", "<e w=\"5\"/>", 0u},
                      IntCase{"minus_one", "<e v=\"-1\"/>", 4294967295u},
                      IntCase{"digits_then_letters", "<e v=\"12abc\"/>", 12u},
                      IntCase{"leading_spaces", "<e v=\"  7\"/>", 7u},
                      IntCase{"letters", "<e v=\"abc\"/>", 0u},
                      IntCase{"plus_sign", "<e v=\"+5\"/>", 5u},
                      IntCase{"empty", "<e v=\"\"/>", 0u},
                      IntCase{"largest_unsigned", "<e v=\"4294967295\"/>", 4294967295u},
                      IntCase{"wider_than_32_bits", "<e v=\"4294967296\"/>", 0u},
                      IntCase{"minus_two", "<e v=\"-2\"/>", 4294967294u},
                      IntCase{"leading_zero_is_not_octal", "<e v=\"010\"/>", 10u},
                      IntCase{"hexadecimal_is_not_read", "<e v=\"0x1A\"/>", 0u},
                      IntCase{"plain", "<e v=\"600\"/>", 600u}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IpcStringAttribute, MissingReadsAsEmptyAndPresentAsIs) {
    ParsedElement element("<e name=\"Kelvra &amp; Co\" empty=\"\"/>");
    ASSERT_NE(element.root(), nullptr);
    EXPECT_EQ(get_string_attribute(element.root(), "name"), "Kelvra & Co");
    EXPECT_EQ(get_string_attribute(element.root(), "empty"), "");
    EXPECT_EQ(get_string_attribute(element.root(), "absent"), "");
}

// ------------------------------------------------------ set_uint_attribute

class IpcUintAttribute : public ::testing::TestWithParam<std::pair<uint32_t, const char*>> {};

TEST_P(IpcUintAttribute, WritesPlainDecimalDigits) {
    std::unique_ptr<xmlDoc, DocFree> doc(xmlNewDoc(BAD_CAST "1.0"));
    xmlNode* root = xmlNewNode(nullptr, BAD_CAST "e");
    xmlDocSetRootElement(doc.get(), root);
    set_uint_attribute(root, "v", GetParam().first);
    xmlChar* value = xmlGetProp(root, BAD_CAST "v");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(value), GetParam().second);
    xmlFree(value);
}

INSTANTIATE_TEST_SUITE_P(Values, IpcUintAttribute,
                         ::testing::Values(std::make_pair(0u, "0"), std::make_pair(4294967295u, "4294967295"),
                                           std::make_pair(2147483648u, "2147483648"),
                                           std::make_pair(600u, "600")));

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

TEST(IpcXmlRequest, DocumentKeepsAttributeAndChildOrderWithoutIndentation) {
    SocketPeer peer;
    ASSERT_EQ(send_xml_request(&peer.ipc, IPC_CMD_DISCOVERY, "root",
                               [](xmlNode* root) {
                                   xmlNewProp(root, BAD_CAST "b", BAD_CAST "2");
                                   xmlNewProp(root, BAD_CAST "a", BAD_CAST "1");
                                   xmlAddChild(root, xmlNewNode(nullptr, BAD_CAST "second"));
                                   xmlAddChild(root, xmlNewNode(nullptr, BAD_CAST "first"));
                               }),
              SANE_STATUS_GOOD);
    auto request = peer.receive_request();
    EXPECT_EQ(request.header.command, IPC_CMD_DISCOVERY);
    EXPECT_EQ(request.header.direction, IPC_REQUEST);
    EXPECT_EQ(request.header.kind, IPC_PAYLOAD_XML);
    EXPECT_EQ(request.payload, kDeclaration + "<root b=\"2\" a=\"1\"><second/><first/></root>\n");
}

void ignore_signal(int) {}

TEST(IpcXmlRequest, DocumentThatGoesOutShortIsCompleted) {
    SocketPeer peer;
    int small = 4096;
    setsockopt(peer.backend_fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // Interrupting the sending thread again and again cuts its sends short
    // (or leaves them with nothing sent); the rest of the document must follow.
    struct sigaction interrupt {};
    struct sigaction previous {};
    interrupt.sa_handler = ignore_signal;
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = 0;
    sigaction(SIGUSR1, &interrupt, &previous);

    const std::string value(400000, 'x');
    SocketPeer::Request request;
    std::thread manager([&] {
        Bytes head = peer.receive(20);
        std::memcpy(&request.header, head.data(), 20);
        while (request.payload.size() < request.header.length) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            char buffer[8192];
            size_t want = std::min<size_t>(sizeof buffer, request.header.length - request.payload.size());
            ssize_t n = read(peer.peer_fd(), buffer, want);
            if (n <= 0) break;
            request.payload.append(buffer, static_cast<size_t>(n));
        }
    });
    std::atomic<bool> sending{true};
    const pthread_t sender = pthread_self();
    std::thread interrupter([&] {
        while (sending.load()) {
            pthread_kill(sender, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    const SANE_Status status =
        send_xml_request(&peer.ipc, IPC_CMD_DISCOVERY, "big",
                         [&](xmlNode* root) { xmlNewProp(root, BAD_CAST "v", BAD_CAST value.c_str()); });
    sending.store(false);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    manager.join();

    EXPECT_EQ(status, SANE_STATUS_GOOD);
    EXPECT_EQ(uint64_t{request.header.length}, request.payload.size());
    EXPECT_TRUE(request.payload == kDeclaration + "<big v=\"" + value + "\"/>\n")
        << "received " << request.payload.size() << " bytes";
}

TEST(IpcXmlRequest, GonePeerIsAnIoError) {
    SocketPeer peer;
    peer.close_peer();
    EXPECT_EQ(send_xml_request(&peer.ipc, IPC_CMD_DISCOVERY, "device_discovery", nullptr),
              SANE_STATUS_IO_ERROR);
}

// --------------------------------------------------------- reply procedure

struct ReplyHeaderCase {
    const char* name;
    Bytes header;  // announces the 9-byte payload "<status/>" unless its length says otherwise
};

std::ostream& operator<<(std::ostream& out, const ReplyHeaderCase& c) { return out << c.name; }

class IpcXmlReplyHeader : public ::testing::TestWithParam<ReplyHeaderCase> {};

TEST_P(IpcXmlReplyHeader, MismatchIsAnIoErrorAndLeavesThePayloadUnread) {
    SocketPeer peer;
    peer.send(GetParam().header);
    peer.send(text_bytes("<status/>"));
    bool read = false;
    EXPECT_EQ(receive_xml_reply(&peer.ipc, IPC_CMD_START_SCAN, "status", [&](xmlNode*) { read = true; }),
              SANE_STATUS_IO_ERROR);
    EXPECT_FALSE(read);
    EXPECT_EQ(peer.unread_on_backend(9), text_bytes("<status/>"));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, IpcXmlReplyHeader,
    ::testing::Values(ReplyHeaderCase{"other_command", header_bytes(3, IPC_REPLY, IPC_PAYLOAD_XML, 9)},
                      ReplyHeaderCase{"request_direction", header_bytes(4, IPC_REQUEST, IPC_PAYLOAD_XML, 9)},
                      ReplyHeaderCase{"unknown_direction", header_bytes(4, 2, IPC_PAYLOAD_XML, 9)},
                      ReplyHeaderCase{"image_kind", header_bytes(4, IPC_REPLY, IPC_PAYLOAD_IMAGE, 9)},
                      ReplyHeaderCase{"no_payload_kind", header_bytes(4, IPC_REPLY, IPC_PAYLOAD_NONE, 9)},
                      ReplyHeaderCase{"zero_length", header_bytes(4, IPC_REPLY, IPC_PAYLOAD_XML, 0)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IpcXmlReply, MatchingElementIsHandedOver) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_START_SCAN, IPC_PAYLOAD_XML, "<!-- c --><status scan_status=\"2\"/>"));
    uint32_t value = 99;
    EXPECT_EQ(receive_xml_reply(&peer.ipc, IPC_CMD_START_SCAN, "status",
                                [&](xmlNode* element) { value = get_int_attribute(element, "scan_status"); }),
              SANE_STATUS_GOOD);
    EXPECT_EQ(value, 2u);
}

struct ReplyBodyCase {
    const char* name;
    std::string body;
    SANE_Status expected;
    bool element_read;
};

std::ostream& operator<<(std::ostream& out, const ReplyBodyCase& c) { return out << c.name; }

class IpcXmlReplyBody : public ::testing::TestWithParam<ReplyBodyCase> {};

TEST_P(IpcXmlReplyBody, ParsesAndMatchesTheRootName) {
    SocketPeer peer;
    peer.send(reply_frame(IPC_CMD_START_SCAN, IPC_PAYLOAD_XML, GetParam().body));
    peer.send(text_bytes("next"));
    bool read = false;
    EXPECT_EQ(receive_xml_reply(&peer.ipc, IPC_CMD_START_SCAN, "status", [&](xmlNode*) { read = true; }),
              GetParam().expected);
    EXPECT_EQ(read, GetParam().element_read);
    // The whole payload was consumed, whatever the outcome.
    EXPECT_EQ(peer.unread_on_backend(4), text_bytes("next"));
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, IpcXmlReplyBody,
    ::testing::Values(ReplyBodyCase{"not_well_formed", "<status scan_status=\"0\">", SANE_STATUS_ACCESS_DENIED, false},
                      ReplyBodyCase{"not_xml", "garbage", SANE_STATUS_ACCESS_DENIED, false},
                      ReplyBodyCase{"other_root", "<image_info width=\"1\"/>", SANE_STATUS_GOOD, false},
                      ReplyBodyCase{"name_in_other_case", "<Status/>", SANE_STATUS_GOOD, false},
                      ReplyBodyCase{"instruction_of_that_name", "<?status x?><other/>", SANE_STATUS_GOOD, false},
                      ReplyBodyCase{"with_declaration", kDeclaration + "<status/>\n", SANE_STATUS_GOOD, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
