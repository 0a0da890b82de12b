#include "simulator/scan_job.h"

#include "simulator/log.h"
#include "simulator/xml_util.h"

namespace kelvra_sim {

ScanSettings read_scan_settings(const xmlNode* root) {
    ScanSettings s;
    if (!is_element(root, "scan_parameter")) return s;
    s.original_placement = request_number(root, "original_placement");
    s.scan_side = request_number(root, "scan_side");
    s.color_mode = request_number(root, "color_mode");
    s.input_resolution = request_number(root, "input_resolution");
    s.input_position_x = request_number(root, "input_position_x");
    s.input_position_y = request_number(root, "input_position_y");
    s.input_width = request_number(root, "input_width");
    s.input_height = request_number(root, "input_height");
    s.output_resolution = request_number(root, "output_resolution");
    s.output_width = request_number(root, "output_width");
    s.output_height = request_number(root, "output_height");
    s.black_text_mode = request_number(root, "black_text_mode");
    return s;
}

ImageInfo image_info_for(const ScanSettings& s) {
    ImageInfo info;
    const bool gray = s.color_mode == 1;
    info.color_space = gray ? 1 : 2;
    info.resolution = s.output_resolution;
    info.width = s.output_width;
    info.height = s.output_height;
    info.bits_per_component = 8;
    info.bits_per_pixel = gray ? 8 : 24;
    info.bytes_per_row = uint64_t(s.output_width) * (gray ? 1 : 3);
    return info;
}

std::string image_info_document(const ImageInfo& i) {
    std::string out(xml_declaration);
    out += "<image_info color_space=\"" + std::to_string(i.color_space) + "\" resolution=\"" +
           std::to_string(i.resolution) + "\" width=\"" + std::to_string(i.width) + "\" height=\"" +
           std::to_string(i.height) + "\" bits_per_component=\"" + std::to_string(i.bits_per_component) +
           "\" bits_per_pixel=\"" + std::to_string(i.bits_per_pixel) + "\" bytes_per_row=\"" +
           std::to_string(i.bytes_per_row) + "\"/>\n";
    return out;
}

PageGeometry page_geometry(const ScanSettings& settings, const DeviceSpec* device) {
    const ImageInfo info = image_info_for(settings);
    PageGeometry g;
    g.width = info.width;
    g.height = info.height;
    g.bytes_per_row = info.bytes_per_row;
    g.channels = info.color_space == 1 ? 1 : 3;
    g.resolution = settings.output_resolution;
    if (device != nullptr) {
        const AreaLimits& unit = settings.original_placement == 1 ? device->adf : device->flatbed;
        place_on_document(g, unit.max_width, unit.max_height, device->basic_resolution, settings.input_resolution,
                          settings.input_position_x, settings.input_position_y, settings.output_resolution);
    }
    return g;
}

std::string scan_status_document(uint32_t scan_status) {
    return std::string(xml_declaration) + "<status scan_status=\"" + std::to_string(scan_status) + "\"/>\n";
}

std::string read_status_document(uint32_t read_status) {
    return std::string(xml_declaration) + "<status read_status=\"" + std::to_string(read_status) + "\"/>\n";
}

uint32_t ScanJob::start(const ScanSettings& settings, const DeviceSpec* device, uint32_t& feeder_sheets) {
    // A new start replaces whatever job was still open.
    active_ = false;
    page_open_ = false;
    if (settings.original_placement == 0) {
        pages_ = 1;
    } else if (settings.original_placement == 1) {
        if (feeder_sheets == 0) {
            log(1, "start refused: the feeder is empty");
            return scan_no_document;
        }
        pages_ = settings.scan_side == 1 ? 2 * feeder_sheets : feeder_sheets;
        feeder_sheets = 0;
    } else {
        log(1, "start refused: original_placement %u is neither flatbed (0) nor feeder (1)",
            settings.original_placement);
        return scan_failed;
    }
    geometry_ = page_geometry(settings, device);
    duplex_ = settings.original_placement == 1 && settings.scan_side == 1;
    pages_done_ = 0;
    active_ = true;
    log(1, "job started: %u page(s) from the %s, %ux%u %s, %llu bytes per page", pages_,
        settings.original_placement == 0 ? "flatbed" : (settings.scan_side == 1 ? "duplex feeder" : "feeder"),
        geometry_.width, geometry_.height, geometry_.channels == 1 ? "grey" : "RGB",
        static_cast<unsigned long long>(kelvra_sim::page_size(geometry_)));
    return scan_started;
}

bool ScanJob::ensure_page(uint32_t& next_page_number) {
    if (page_open_) return false;
    page_open_ = true;
    page_number_ = next_page_number++;
    offset_ = 0;
    // The sheets of a duplex job come front, back, front...
    geometry_.side = !duplex_ ? Side::single : pages_done_ % 2 == 0 ? Side::front : Side::back;
    log(2, "page %u begins (page %u of %u in the job)", page_number_, pages_done_ + 1, pages_);
    return true;
}

uint32_t ScanJob::finish_page() {
    page_open_ = false;
    ++pages_done_;
    if (pages_done_ < pages_) return read_next_page;
    active_ = false;
    log(1, "job over after %u page(s)", pages_done_);
    return read_job_over;
}

}  // namespace kelvra_sim
