#include "simulator/devices.h"

#include "simulator/xml_util.h"

#include <algorithm>

namespace kelvra_sim {
namespace {

DeviceSpec usb_device(const char* name, const char* model, const char* type, const char* product,
                      const char* serial, const char* device_name) {
    DeviceSpec d;
    d.name = name;
    d.vendor = "Kelvra";
    d.model = model;
    d.type = type;
    d.vendor_id = "0x2d1a";
    d.product_id = product;
    d.usb_serial_id = serial;
    d.deviceName = device_name;
    return d;
}

void add_attribute(std::string& out, const char* name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    out += xml_escape(value);
    out += '"';
}

void add_attribute(std::string& out, const char* name, uint32_t value) {
    add_attribute(out, name, std::to_string(value));
}

}  // namespace

std::vector<DeviceSpec> builtin_catalogue() {
    std::vector<DeviceSpec> catalogue;

    catalogue.push_back(usb_device("fb-a4", "FB-4200 Flatbed", "flatbed scanner", "0x4200",
                                   "KV4200-0001", "fb-a4"));

    DeviceSpec mfp = usb_device("mfp-adf", "MF-5300 ADF", "multi-function peripheral", "0x5300",
                                "KV5300-0001", "mfp-adf");
    mfp.units = {"flatbed", "adf"};
    mfp.adf = {64, 5100, 64, 7014};
    catalogue.push_back(mfp);

    DeviceSpec duplex = usb_device("duplex-legal", "DX-7700 Duplex", "sheetfed scanner", "0x7700",
                                   "KV7700-0001", "duplex-legal");
    duplex.units = {"flatbed", "adf", "adf_duplex"};
    duplex.adf = {64, 5100, 64, 8400};
    catalogue.push_back(duplex);

    DeviceSpec net;
    net.name = "net-office";
    net.vendor = "Kelvra";
    net.model = "NX-9100 Network";
    net.type = "flatbed scanner";
    net.host = "office-scanner.local";
    net.deviceName = "net-office";
    net.units = {"flatbed", "adf"};
    net.adf = {64, 5100, 64, 7014};
    catalogue.push_back(net);

    return catalogue;
}

std::vector<const DeviceSpec*> discover(const std::vector<DeviceSpec>& catalogue,
                                        const std::vector<std::string>& hosts) {
    std::vector<const DeviceSpec*> found;
    for (const DeviceSpec& device : catalogue) {
        if (device.host.empty() || std::find(hosts.begin(), hosts.end(), device.host) != hosts.end())
            found.push_back(&device);
    }
    return found;
}

const DeviceSpec* find_device(const std::vector<DeviceSpec>& catalogue, const DeviceIdentity& identity) {
    for (const DeviceSpec& device : catalogue) {
        if (device.deviceName == identity.deviceName && device.host == identity.host_name &&
            device.vendor_id == identity.vendor_id && device.product_id == identity.product_id &&
            device.usb_serial_id == identity.usb_serial_id && device.model == identity.model)
            return &device;
    }
    return nullptr;
}

std::string devices_document(const std::vector<const DeviceSpec*>& devices) {
    std::string out(xml_declaration);
    if (devices.empty()) return out + "<devices/>\n";
    out += "<devices>";
    for (const DeviceSpec* d : devices) {
        out += "<device";
        add_attribute(out, "name", d->name);
        add_attribute(out, "vendor", d->vendor);
        add_attribute(out, "model", d->model);
        add_attribute(out, "type", d->type);
        add_attribute(out, "host_name", d->host);
        add_attribute(out, "vendor_id", d->vendor_id);
        add_attribute(out, "product_id", d->product_id);
        add_attribute(out, "usb_serial_id", d->usb_serial_id);
        add_attribute(out, "deviceName", d->deviceName);
        out += "/>";
    }
    out += "</devices>\n";
    return out;
}

std::string capability_document(const DeviceSpec& d) {
    std::string out(xml_declaration);
    out += "<device_capability";
    add_attribute(out, "basic_resolution", d.basic_resolution);
    add_attribute(out, "flatbed_min_width", d.flatbed.min_width);
    add_attribute(out, "flatbed_max_width", d.flatbed.max_width);
    add_attribute(out, "flatbed_min_height", d.flatbed.min_height);
    add_attribute(out, "flatbed_max_height", d.flatbed.max_height);
    add_attribute(out, "adf_min_Width", d.adf.min_width);
    add_attribute(out, "adf_max_Width", d.adf.max_width);
    add_attribute(out, "adf_min_height", d.adf.min_height);
    add_attribute(out, "adf_max_height", d.adf.max_height);
    add_attribute(out, "flatbed_original_alignment", d.flatbed_original_alignment);
    add_attribute(out, "adf_original_alignment", d.adf_original_alignment);
    add_attribute(out, "black_text_support", d.black_text_support);
    if (d.units.empty()) return out + "/>\n";
    out += '>';
    for (const std::string& unit : d.units) {
        out += "<scanner_units";
        add_attribute(out, "name", unit);
        out += "/>";
    }
    out += "</device_capability>\n";
    return out;
}

}  // namespace kelvra_sim
