// Discovery, open device: the XML messages about devices.
#include "ipc/ipc.h"
#include "ipc/xml_message.h"


using kelvra::ipc::receive_xml_reply;
using kelvra::ipc::send_xml_request;

namespace {

const xmlChar* xml_text(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

bool is_element(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, xml_text(name)) == 0;
}

}  // namespace

SANE_Status send_discovery(ipc_t* ipc, const std::vector<DiscoveryInfo>& hosts) {
    return send_xml_request(ipc, IPC_CMD_DISCOVERY, "device_discovery", [&](xmlNode* root) {
        for (const DiscoveryInfo& host : hosts) {
            if (host.host_name.empty()) continue;
            xmlNode* child = xmlNewNode(nullptr, xml_text("discovery_info"));
            if (child == nullptr) continue;
            xmlNewProp(child, xml_text("host_name"), xml_text(host.host_name.c_str()));
            xmlAddChild(root, child);
        }
    });
}

SANE_Status receive_devices(ipc_t* ipc, std::vector<DeviceInfo>& devices) {
    return receive_xml_reply(ipc, IPC_CMD_DISCOVERY, "devices", [&](xmlNode* element) {
        for (xmlNode* child = element->children; child != nullptr; child = child->next) {
            if (!is_element(child, "device")) continue;
            DeviceInfo info;
            info.name = get_string_attribute(child, "name");
            info.vendor = get_string_attribute(child, "vendor");
            info.model = get_string_attribute(child, "model");
            info.type = get_string_attribute(child, "type");
            info.host_name = get_string_attribute(child, "host_name");
            info.vendor_id = get_string_attribute(child, "vendor_id");
            info.product_id = get_string_attribute(child, "product_id");
            info.usb_serial_id = get_string_attribute(child, "usb_serial_id");
            info.deviceName = get_string_attribute(child, "deviceName");
            devices.push_back(std::move(info));
        }
    });
}

SANE_Status send_open_device(ipc_t* ipc, const DeviceInfo* info) {
    return send_xml_request(ipc, IPC_CMD_OPEN_DEVICE, "device", [&](xmlNode* root) {
        xmlNewProp(root, xml_text("model"), xml_text(info->model.c_str()));
        xmlNewProp(root, xml_text("host_name"), xml_text(info->host_name.c_str()));
        xmlNewProp(root, xml_text("vendor_id"), xml_text(info->vendor_id.c_str()));
        xmlNewProp(root, xml_text("product_id"), xml_text(info->product_id.c_str()));
        xmlNewProp(root, xml_text("usb_serial_id"), xml_text(info->usb_serial_id.c_str()));
        xmlNewProp(root, xml_text("deviceName"), xml_text(info->deviceName.c_str()));
    });
}

SANE_Status receive_capability(ipc_t* ipc, DeviceCapability* capability) {
    return receive_xml_reply(ipc, IPC_CMD_OPEN_DEVICE, "device_capability", [&](xmlNode* element) {
        capability->basic_resolution = get_int_attribute(element, "basic_resolution");
        capability->flatbed_min_width = get_int_attribute(element, "flatbed_min_width");
        capability->flatbed_max_width = get_int_attribute(element, "flatbed_max_width");
        capability->flatbed_min_height = get_int_attribute(element, "flatbed_min_height");
        capability->flatbed_max_height = get_int_attribute(element, "flatbed_max_height");
        capability->adf_min_Width = get_int_attribute(element, "adf_min_Width");
        capability->adf_max_Width = get_int_attribute(element, "adf_max_Width");
        capability->adf_min_height = get_int_attribute(element, "adf_min_height");
        capability->adf_max_height = get_int_attribute(element, "adf_max_height");
        capability->flatbed_original_alignment = get_int_attribute(element, "flatbed_original_alignment");
        capability->adf_original_alignment = get_int_attribute(element, "adf_original_alignment");
        capability->black_text_support = get_int_attribute(element, "black_text_support");

        for (xmlNode* child = element->children; child != nullptr; child = child->next) {
            if (!is_element(child, "scanner_units")) continue;
            std::string unit = get_string_attribute(child, "name");
            if (unit == "flatbed")
                capability->scanner_units.push_back(SCANNER_UNIT_FLATBED);
            else if (unit == "adf")
                capability->scanner_units.push_back(SCANNER_UNIT_ADF);
            else if (unit == "adf_duplex")
                capability->scanner_units.push_back(SCANNER_UNIT_ADF_DUPLEX);
        }
    });
}
