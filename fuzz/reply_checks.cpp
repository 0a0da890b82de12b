// The checks of the XML replies: each feeds the input to a reply procedure
// as if the scan-manager had sent it, then compares the outcome with the
// wire model and with the document as libxml2 parses it.
#include "fuzz/reply_checks.h"

#include "fuzz/reply_model.h"
#include "fuzz/wire_feed.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kelvra_fuzz {

namespace {

// ------------------------------------------------------------ device messages

struct StringField {
    const char* attribute;
    std::string DeviceInfo::*field;
};
constexpr StringField kDeviceFields[] = {
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

}  // namespace

std::string run_devices(const uint8_t* data, size_t size) {
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

namespace {

struct NumberField {
    const char* attribute;
    uint32_t DeviceCapability::*field;
};
constexpr NumberField kCapabilityFields[] = {
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

}  // namespace

std::string run_capability(const uint8_t* data, size_t size) {
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

namespace {

// ------------------------------------------------------------ scan messages

struct ImageField {
    const char* attribute;
    uint32_t ImageInfo::*field;
};
constexpr ImageField kImageFields[] = {
    {"color_space", &ImageInfo::color_space},
    {"resolution", &ImageInfo::resolution},
    {"width", &ImageInfo::width},
    {"height", &ImageInfo::height},
    {"bits_per_component", &ImageInfo::bits_per_component},
    {"bits_per_pixel", &ImageInfo::bits_per_pixel},
    {"bytes_per_row", &ImageInfo::bytes_per_row},
};

}  // namespace

std::string run_image_info(const uint8_t* data, size_t size) {
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

std::string run_scan_status(const uint8_t* data, size_t size) {
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

// A fuzz target stops at the first problem, printing it, so that libFuzzer
// keeps the input as a crash.
int fail_on(const std::string& problem) {
    if (!problem.empty()) {
        std::fprintf(stderr, "kelvra fuzz check failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

}  // namespace kelvra_fuzz
