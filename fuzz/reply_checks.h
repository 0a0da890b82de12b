// One function per fuzz target: feeds the input to a reply procedure as if
// the scan-manager had sent it, then checks the outcome against a model of
// the wire (what the header allows, where the bytes end) and against the
// document as libxml2 parses it. Each returns an empty string when all is
// well, otherwise what went wrong. Header-only: the fuzz targets and the
// regression tests share it.
#pragma once

#include "backend/backend.h"
#include "fuzz/wire_feed.h"
#include "ipc/ipc.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kelvra_fuzz {

// ------------------------------------------------------------ wire model

// Where the backend must be in the input after each read: a header takes 20
// bytes or meets end of file; a payload above the limit is refused without
// reading; a payload longer than what is left meets end of file.
struct Wire {
    const uint8_t* data;
    size_t size;
    size_t offset = 0;

    size_t remaining() const { return size - offset; }

    bool header(ipc_header_t* header) {
        if (remaining() < sizeof *header) {
            offset = size;
            return false;
        }
        std::memcpy(header, data + offset, sizeof *header);
        offset += sizeof *header;
        return true;
    }

    bool payload(uint64_t length, const uint8_t** bytes) {
        if (length > IPC_MAX_PAYLOAD) return false;
        if (length > remaining()) {
            offset = size;
            return false;
        }
        *bytes = data + offset;
        offset += static_cast<size_t>(length);
        return true;
    }
};

inline std::string status_text(SANE_Status status) { return std::to_string(static_cast<int>(status)); }

inline std::string mismatch(const char* what, SANE_Status got, SANE_Status want) {
    return std::string(what) + ": status " + status_text(got) + ", expected " + status_text(want);
}

// ------------------------------------------------------------ documents

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

inline DocPtr parse_document(const uint8_t* bytes, uint64_t length) {
    if (length == 0) return nullptr;
    return DocPtr(xmlReadMemory(reinterpret_cast<const char*>(bytes), static_cast<int>(length), nullptr, nullptr,
                                XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

inline bool named_element(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// The first top-level element with the given name, or null.
inline xmlNode* top_element(xmlDoc* doc, const char* name) {
    if (doc == nullptr) return nullptr;
    for (xmlNode* node = xmlDocGetRootElement(doc); node != nullptr; node = node->next)
        if (named_element(node, name)) return node;
    return nullptr;
}

inline bool has_attribute(xmlNode* node, const char* name) {
    return xmlHasProp(node, reinterpret_cast<const xmlChar*>(name)) != nullptr;
}

inline std::string attribute_text(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) return {};
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

// The value an integer attribute must read as: base-10 strtol, low 32 bits.
inline uint32_t attribute_number(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) return 0;
    long number = std::strtol(reinterpret_cast<const char*>(value), nullptr, 10);
    xmlFree(value);
    return static_cast<uint32_t>(static_cast<unsigned long>(number));
}

// What the XML reply procedure must make of an input holding one reply.
struct XmlExpectation {
    SANE_Status status = SANE_STATUS_IO_ERROR;
    DocPtr doc;
    xmlNode* element = nullptr;  // the element the message reads, if any
};

inline XmlExpectation expect_xml_reply(const uint8_t* data, size_t size, uint32_t command, const char* root) {
    XmlExpectation want;
    Wire wire{data, size};
    ipc_header_t header{};
    if (!wire.header(&header)) return want;
    if (header.command != command || header.direction != IPC_REPLY || header.kind != IPC_PAYLOAD_XML ||
        header.length == 0)
        return want;
    const uint8_t* bytes = nullptr;
    if (!wire.payload(header.length, &bytes)) return want;
    want.doc = parse_document(bytes, header.length);
    if (!want.doc) {
        want.status = SANE_STATUS_ACCESS_DENIED;
        return want;
    }
    want.status = SANE_STATUS_GOOD;
    want.element = top_element(want.doc.get(), root);
    return want;
}

// ------------------------------------------------------------ device messages

struct StringField {
    const char* attribute;
    std::string DeviceInfo::*field;
};
inline constexpr StringField kDeviceFields[] = {
    {"name", &DeviceInfo::name},
    {"vendor", &DeviceInfo::vendor},
    {"model", &DeviceInfo::model},
    {"type", &DeviceInfo::type},
    {"host_name", &DeviceInfo::host_name},
    {"vendor_id", &DeviceInfo::vendor_id},
    {"product_id", &DeviceInfo::product_id},
    {"usb_serial_id", &DeviceInfo::usb_serial_id},
    {"deviceName", &DeviceInfo::deviceName},
};

inline std::string run_devices(const uint8_t* data, size_t size) {
    // Devices already in the vector stay in front of the new ones.
    std::vector<DeviceInfo> devices(1);
    devices[0].name = "already-there";
    SANE_Status status;
    {
        WireFeed feed(data, size);
        status = receive_devices(&feed.ipc, devices);
    }
    XmlExpectation want = expect_xml_reply(data, size, IPC_CMD_DISCOVERY, "devices");
    if (status != want.status) return mismatch("receive_devices", status, want.status);
    if (devices.empty() || devices[0].name != "already-there") return "a device present before was changed";

    std::vector<xmlNode*> reported;
    if (want.element != nullptr)
        for (xmlNode* child = want.element->children; child != nullptr; child = child->next)
            if (named_element(child, "device")) reported.push_back(child);
    if (devices.size() != 1 + reported.size())
        return "received " + std::to_string(devices.size() - 1) + " devices, the reply has " +
               std::to_string(reported.size());
    for (size_t i = 0; i < reported.size(); ++i)
        for (const StringField& field : kDeviceFields)
            if (devices[1 + i].*field.field != attribute_text(reported[i], field.attribute))
                return "device " + std::to_string(i) + ": attribute " + field.attribute + " read wrongly";
    return {};
}

struct NumberField {
    const char* attribute;
    uint32_t DeviceCapability::*field;
};
inline constexpr NumberField kCapabilityFields[] = {
    {"basic_resolution", &DeviceCapability::basic_resolution},
    {"flatbed_min_width", &DeviceCapability::flatbed_min_width},
    {"flatbed_max_width", &DeviceCapability::flatbed_max_width},
    {"flatbed_min_height", &DeviceCapability::flatbed_min_height},
    {"flatbed_max_height", &DeviceCapability::flatbed_max_height},
    {"adf_min_Width", &DeviceCapability::adf_min_Width},
    {"adf_max_Width", &DeviceCapability::adf_max_Width},
    {"adf_min_height", &DeviceCapability::adf_min_height},
    {"adf_max_height", &DeviceCapability::adf_max_height},
    {"flatbed_original_alignment", &DeviceCapability::flatbed_original_alignment},
    {"adf_original_alignment", &DeviceCapability::adf_original_alignment},
    {"black_text_support", &DeviceCapability::black_text_support},
};

// Outputs start from this value, so that a field left alone can be told from
// one set to a number read from the reply.
inline constexpr uint32_t kPreset = 0x5EEDF00Du;

inline std::string run_capability(const uint8_t* data, size_t size) {
    DeviceCapability capability;
    for (const NumberField& field : kCapabilityFields) capability.*field.field = kPreset;
    SANE_Status status;
    {
        WireFeed feed(data, size);
        status = receive_capability(&feed.ipc, &capability);
    }
    XmlExpectation want = expect_xml_reply(data, size, IPC_CMD_OPEN_DEVICE, "device_capability");
    if (status != want.status) return mismatch("receive_capability", status, want.status);

    std::vector<ScannerUnit> units;
    for (const NumberField& field : kCapabilityFields) {
        uint32_t expected = want.element ? attribute_number(want.element, field.attribute) : kPreset;
        if (capability.*field.field != expected) return std::string("capability field ") + field.attribute;
    }
    if (want.element != nullptr) {
        for (xmlNode* child = want.element->children; child != nullptr; child = child->next) {
            if (!named_element(child, "scanner_units")) continue;
            std::string name = attribute_text(child, "name");
            if (name == "flatbed") units.push_back(SCANNER_UNIT_FLATBED);
            if (name == "adf") units.push_back(SCANNER_UNIT_ADF);
            if (name == "adf_duplex") units.push_back(SCANNER_UNIT_ADF_DUPLEX);
        }
    }
    if (capability.scanner_units != units) return "scanner units differ from the reply's";
    return {};
}

// ------------------------------------------------------------ scan messages

struct ImageField {
    const char* attribute;
    uint32_t ImageInfo::*field;
};
inline constexpr ImageField kImageFields[] = {
    {"color_space", &ImageInfo::color_space},
    {"resolution", &ImageInfo::resolution},
    {"width", &ImageInfo::width},
    {"height", &ImageInfo::height},
    {"bits_per_component", &ImageInfo::bits_per_component},
    {"bits_per_pixel", &ImageInfo::bits_per_pixel},
    {"bytes_per_row", &ImageInfo::bytes_per_row},
};

inline std::string run_image_info(const uint8_t* data, size_t size) {
    ImageInfo image;
    for (const ImageField& field : kImageFields) image.*field.field = kPreset;
    SANE_Status status;
    {
        WireFeed feed(data, size);
        status = receive_image_info(&feed.ipc, &image);
    }
    XmlExpectation want = expect_xml_reply(data, size, IPC_CMD_SCAN_PARAMETER, "image_info");
    if (status != want.status) return mismatch("receive_image_info", status, want.status);
    for (const ImageField& field : kImageFields) {
        uint32_t expected = want.element ? attribute_number(want.element, field.attribute) : kPreset;
        if (image.*field.field != expected) return std::string("image_info field ") + field.attribute;
    }
    return {};
}

inline std::string run_scan_status(const uint8_t* data, size_t size) {
    // The caller presets a failure, so that a reply without a status fails.
    int32_t scan_status = 4;
    SANE_Status status;
    {
        WireFeed feed(data, size);
        status = receive_scan_status(&feed.ipc, &scan_status);
    }
    XmlExpectation want = expect_xml_reply(data, size, IPC_CMD_START_SCAN, "status");
    if (status != want.status) return mismatch("receive_scan_status", status, want.status);
    int32_t expected = want.element ? static_cast<int32_t>(attribute_number(want.element, "scan_status")) : 4;
    if (scan_status != expected)
        return "scan_status " + std::to_string(scan_status) + ", expected " + std::to_string(expected);
    return {};
}

// The first input byte is not sent: its top bit presets the cancel flag and
// its other bits choose the room left in the page (0: no limit, k: (k-1)^2*4
// bytes, so 0 and small odd sizes occur). The rest is a run of replies, read
// one after the other until one fails.
inline uint64_t read_room(uint8_t control) {
    const uint64_t k = control & 0x7Fu;
    return k == 0 ? UINT64_MAX : (k - 1) * (k - 1) * 4;
}

inline std::string run_read_reply(const uint8_t* data, size_t size) {
    if (size == 0) return {};
    const uint8_t control = data[0];
    const bool cancel = (control & 0x80u) != 0;
    const uint64_t room = read_room(control);
    const std::atomic<uint8_t> cancelled{static_cast<uint8_t>(cancel ? 1 : 0)};
    Wire wire{data + 1, size - 1};

    PagePipe page;
    WireFeed feed(data + 1, size - 1);
    for (int reply = 0;; ++reply) {
        const std::string at = "reply " + std::to_string(reply) + ": ";
        constexpr size_t kUntouchedCount = 0xC0FFEE;
        size_t count = kUntouchedCount;
        uint32_t read_status = kPreset;
        // The pipe holds more than any input: a write never waits.
        SANE_Status status = receive_read_reply(&feed.ipc, page.write_fd, &count, &cancelled, &read_status, room);
        std::vector<uint8_t> written = page.drain();

        ipc_header_t header{};
        const uint8_t* bytes = nullptr;
        SANE_Status want = SANE_STATUS_GOOD;
        if (!wire.header(&header) || header.command != IPC_CMD_READ_IMAGE || header.direction != IPC_REPLY ||
            !wire.payload(header.length, &bytes))
            want = SANE_STATUS_IO_ERROR;

        DocPtr doc;
        if (want == SANE_STATUS_GOOD && header.kind == IPC_PAYLOAD_XML) {
            doc = parse_document(bytes, header.length);
            if (!doc) want = SANE_STATUS_ACCESS_DENIED;
        }
        if (status != want) return at + mismatch("receive_read_reply", status, want);

        if (want == SANE_STATUS_GOOD && header.kind == IPC_PAYLOAD_IMAGE) {
            const uint64_t length = header.length;  // packed: no reference to it
            const uint64_t expected = cancel ? 0 : std::min(length, room);
            if (count != expected)
                return at + "count " + std::to_string(count) + ", expected " + std::to_string(expected);
            if (written.size() != expected || (expected > 0 && std::memcmp(written.data(), bytes, expected) != 0))
                return at + "the page pipe did not receive the reply's first bytes";
            if (read_status != kPreset) return at + "image data set read_status";
        } else {
            if (!written.empty()) return at + "bytes written for a reply without image data";
            if (count != kUntouchedCount) return at + "count set for a reply without image data";
            uint32_t expected = kPreset;
            if (doc) {
                xmlNode* element = top_element(doc.get(), "status");
                if (element != nullptr) expected = attribute_number(element, "read_status");
            }
            if (read_status != expected)
                return at + "read_status " + std::to_string(read_status) + ", expected " + std::to_string(expected);
        }
        if (status != SANE_STATUS_GOOD) return {};
    }
}

// Bare acknowledgements, then plain frames: receive_close_ack and
// receive_end_ack each take one header, then receive_header and
// receive_payload take frames until the input ends.
inline std::string run_acks(const uint8_t* data, size_t size) {
    Wire wire{data, size};
    WireFeed feed(data, size);

    const struct {
        const char* name;
        SANE_Status (*receive)(ipc_t*);
        uint32_t command;
    } acks[] = {{"receive_close_ack", receive_close_ack, IPC_CMD_CLOSE_DEVICE},
                {"receive_end_ack", receive_end_ack, IPC_CMD_END_SCAN}};
    for (const auto& ack : acks) {
        SANE_Status status = ack.receive(&feed.ipc);
        ipc_header_t header{};
        const bool good = wire.header(&header) && header.command == ack.command && header.direction == IPC_REPLY &&
                          header.kind == IPC_PAYLOAD_NONE && header.length == 0;
        const SANE_Status want = good ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
        if (status != want) return mismatch(ack.name, status, want);
    }

    for (int frame = 0;; ++frame) {
        const std::string at = "frame " + std::to_string(frame) + ": ";
        ipc_header_t header{};
        SANE_Status status = receive_header(&feed.ipc, &header);
        ipc_header_t expected{};
        const bool header_there = wire.header(&expected);
        if (status != (header_there ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR))
            return at + mismatch("receive_header", status, header_there ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR);
        if (!header_there) return {};
        if (std::memcmp(&header, &expected, sizeof header) != 0) return at + "header bytes differ from the input's";

        ipc_payload_t payload{nullptr, 0, 0};
        status = receive_payload(&feed.ipc, &header, &payload);
        const uint8_t* bytes = nullptr;
        const bool refused = header.length > IPC_MAX_PAYLOAD;
        const bool complete = wire.payload(header.length, &bytes);
        std::string problem;
        if (status != (complete ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR)) {
            problem = mismatch("receive_payload", status, complete ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR);
        } else if (refused && payload.data != nullptr) {
            problem = "a refused payload holds a buffer";
        } else if (complete) {
            if (payload.kind != header.kind || payload.length != header.length)
                problem = "payload kind or length differ from the header's";
            else if ((header.length == 0) != (payload.data == nullptr))
                problem = "an empty payload must hold no buffer, any other one must";
            else if (header.length > 0 && std::memcmp(payload.data, bytes, header.length) != 0)
                problem = "payload bytes differ from the input's";
        }
        free_payload(&payload);
        if (payload.data != nullptr || payload.kind != 0 || payload.length != 0)
            problem = "free_payload left the record non-empty";
        if (!problem.empty()) return at + problem;
    }
}

// ------------------------------------------------------------ configuration

// The hosts the configuration rules give for a file without zero bytes: one
// per newline-terminated line shorter than 255 characters that does not
// start with "#", with every space and tab removed, empty results skipped.
inline std::vector<std::string> expected_hosts(const uint8_t* data, size_t size) {
    std::vector<std::string> hosts;
    if (size == 0) return hosts;
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (;;) {
        const void* newline = std::memchr(text + start, '\n', size - start);
        if (newline == nullptr) return hosts;  // a last line without newline is dropped
        const size_t end = static_cast<size_t>(static_cast<const char*>(newline) - text);
        std::string line(text + start, end - start);
        start = end + 1;
        if (line.size() >= 255 || (!line.empty() && line[0] == '#')) continue;
        std::string host;
        for (char c : line)
            if (c != ' ' && c != '\t') host += c;
        if (!host.empty()) hosts.push_back(host);
    }
}

inline std::string run_config(const uint8_t* data, size_t size, const char* path) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return std::string("cannot write ") + path;
    // An empty input may come with a null pointer, which fwrite must not see.
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return std::string("cannot write ") + path;

    std::vector<DiscoveryInfo> hosts = read_config_hosts(path);
    for (size_t i = 0; i < hosts.size(); ++i) {
        const std::string& name = hosts[i].host_name;
        if (name.empty()) return "host " + std::to_string(i) + " is empty";
        if (name.find_first_of(" \t\n") != std::string::npos)
            return "host " + std::to_string(i) + " holds a space, tab or newline";
        if (name.size() > 254) return "host " + std::to_string(i) + " is longer than a line may be";
    }
    // Zero bytes end the text of a line early; the exact list is compared
    // only for files without them.
    if (size == 0 || std::memchr(data, '\0', size) == nullptr) {
        std::vector<std::string> expected = expected_hosts(data, size);
        if (hosts.size() != expected.size())
            return "read " + std::to_string(hosts.size()) + " hosts, expected " + std::to_string(expected.size());
        for (size_t i = 0; i < hosts.size(); ++i)
            if (hosts[i].host_name != expected[i]) return "host " + std::to_string(i) + " differs";
    }
    return {};
}

// A fuzz target stops at the first problem, printing it, so that libFuzzer
// keeps the input as a crash.
inline int fail_on(const std::string& problem) {
    if (!problem.empty()) {
        std::fprintf(stderr, "kelvra fuzz check failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

}  // namespace kelvra_fuzz
