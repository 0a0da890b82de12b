// A scan as the virtual device runs it: the parameters of the last scan
// parameter request, the image they give, and the pages of a started job.
#pragma once

#include "simulator/devices.h"
#include "simulator/pages.h"

#include <libxml/tree.h>

#include <cstdint>
#include <string>

namespace kelvra_sim {

// The twelve values of a scan parameter request; missing ones read as 0.
struct ScanSettings {
    uint32_t original_placement = 0;
    uint32_t scan_side = 0;
    uint32_t color_mode = 0;
    uint32_t input_resolution = 0;
    uint32_t input_position_x = 0;
    uint32_t input_position_y = 0;
    uint32_t input_width = 0;
    uint32_t input_height = 0;
    uint32_t output_resolution = 0;
    uint32_t output_width = 0;
    uint32_t output_height = 0;
    uint32_t black_text_mode = 0;
};

ScanSettings read_scan_settings(const xmlNode* root);

struct ImageInfo {
    uint32_t color_space = 0;  // 1 grey, 2 RGB
    uint32_t resolution = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bits_per_component = 8;
    uint32_t bits_per_pixel = 0;
    uint64_t bytes_per_row = 0;
};

ImageInfo image_info_for(const ScanSettings& settings);
std::string image_info_document(const ImageInfo& info);
// The pages of a scan with `settings` on `device` (null: none is open, and a
// page is its own document): cut from the whole area of the unit it uses.
PageGeometry page_geometry(const ScanSettings& settings, const DeviceSpec* device);

// scan_status values of the start reply.
enum : uint32_t { scan_started = 0, scan_no_document = 1, scan_failed = 4 };
// read_status values of the end of a page or job.
enum : uint32_t { read_next_page = 1, read_job_over = 2, read_cancelled = 3 };

std::string scan_status_document(uint32_t scan_status);
std::string read_status_document(uint32_t read_status);

// The pages of one started job, read one after the other.
class ScanJob {
public:
    bool active() const { return active_; }

    // Starts a job with `settings` on `device`, taking the sheets of the
    // feeder when the job uses it; returns the scan_status to answer.
    uint32_t start(const ScanSettings& settings, const DeviceSpec* device, uint32_t& feeder_sheets);
    void end() { active_ = false; }

    // The page being served; opens the next one (taking the next page number
    // of the process) when none is open, and then returns true.
    bool ensure_page(uint32_t& next_page_number);
    uint32_t page_number() const { return page_number_; }
    uint64_t offset() const { return offset_; }
    uint64_t page_size() const { return kelvra_sim::page_size(geometry_); }
    const PageGeometry& geometry() const { return geometry_; }
    void advance(uint64_t count) { offset_ += count; }

    // Closes the page; read_next_page when another page of the job follows
    // (and the job stays active), else read_job_over (and the job ends).
    uint32_t finish_page();
    uint32_t pages() const { return pages_; }
    uint32_t pages_done() const { return pages_done_; }

private:
    bool active_ = false;
    bool page_open_ = false;
    bool duplex_ = false;
    PageGeometry geometry_{};
    uint32_t pages_ = 0;
    uint32_t pages_done_ = 0;
    uint32_t page_number_ = 0;
    uint64_t offset_ = 0;
};

}  // namespace kelvra_sim
