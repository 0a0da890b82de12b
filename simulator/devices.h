// The virtual devices: the built-in catalogue, which of them a discovery
// request reaches, the open request's identity match, and the discovery and
// capability documents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_sim {

// A scan area range, in pixels at the device's basic resolution.
struct AreaLimits {
    uint32_t min_width = 64;
    uint32_t max_width = 5100;
    uint32_t min_height = 64;
    uint32_t max_height = 7014;
};

struct DeviceSpec {
    std::string name;
    std::string vendor;
    std::string model;
    std::string type;
    std::string vendor_id;
    std::string product_id;
    std::string usb_serial_id;
    std::string deviceName;
    std::string host;  // empty: a USB device
    uint32_t basic_resolution = 600;
    AreaLimits flatbed{64, 5100, 64, 7014};
    AreaLimits adf{64, 5100, 64, 8400};
    std::vector<std::string> units{"flatbed"};
    uint32_t sheets = 3;
    uint32_t flatbed_original_alignment = 0;
    uint32_t adf_original_alignment = 0;
    uint32_t black_text_support = 0;
};

std::vector<DeviceSpec> builtin_catalogue();

// Every USB device and every device at one of `hosts`, in catalogue order,
// each once.
std::vector<const DeviceSpec*> discover(const std::vector<DeviceSpec>& catalogue,
                                        const std::vector<std::string>& hosts);

// What an open request names a device by.
struct DeviceIdentity {
    std::string deviceName;
    std::string host_name;
    std::string vendor_id;
    std::string product_id;
    std::string usb_serial_id;
    std::string model;
};

// The device discovery could report under that identity; null when none.
const DeviceSpec* find_device(const std::vector<DeviceSpec>& catalogue, const DeviceIdentity& identity);

std::string devices_document(const std::vector<const DeviceSpec*>& devices);
std::string capability_document(const DeviceSpec& device);

}  // namespace kelvra_sim
