#include "simulator/session.h"

#include "simulator/log.h"
#include "simulator/xml_util.h"

#include <algorithm>

namespace kelvra_sim {
namespace {

// A document that no XML parser accepts: the root element is never closed.
constexpr std::string_view malformed_document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<status read_status=\"1\"";

}  // namespace

bool Session::question(uint32_t command, const std::string& problem) {
    error("warning: %s request: %s%s", command_name(command), problem.c_str(), strict_ ? " (refused)" : "");
    if (transcript_ != nullptr) transcript_->warning(command, problem, strict_);
    return strict_;
}

Session::Reply Session::handle(const FrameHeader& request) {
    // What each request carries: a document for the first three and the scan
    // parameters, nothing for the others.
    const bool document = request.command == cmd_discovery || request.command == cmd_open_device ||
                          request.command == cmd_scan_parameter;
    if (request.command <= cmd_read_image && (document ? request.kind != kind_xml : request.length != 0))
        question(request.command, document ? "the request's payload is not of kind 1 (XML)"
                                           : "a request that carries no payload announces " +
                                                 std::to_string(request.length) + " bytes");
    switch (request.command) {
    case cmd_discovery: return discovery();
    case cmd_open_device: return open_device();
    case cmd_close_device:
        if (opened_ != nullptr) log(1, "device %s closed", opened_->name.c_str());
        else question(cmd_close_device, "close device request without an open device");
        opened_ = nullptr;
        settings_given_ = false;
        job_.end();
        return ack(cmd_close_device);
    case cmd_scan_parameter: return scan_parameter();
    case cmd_start_scan: return start_scan();
    case cmd_end_scan:
        if (job_.active()) log(1, "job ended by the client after %u of %u page(s)", job_.pages_done(), job_.pages());
        job_.end();
        return ack(cmd_end_scan);
    case cmd_read_image: return read_image();
    default:
        question(request.command, "unknown command " + std::to_string(request.command) + ": acknowledged");
        return ack(request.command);
    }
}

Session::Reply Session::text_reply(uint32_t command, std::string text) {
    reply_text_ = std::move(text);
    Reply r;
    r.command = command;
    r.kind = kind_xml;
    r.payload = reply_text_;
    return r;
}

Session::Reply Session::ack(uint32_t command) const {
    Reply r;
    r.command = command;
    r.kind = kind_none;
    return r;
}

Session::Reply Session::discovery() {
    std::vector<std::string> hosts;
    XmlDocument doc = parse_xml(request_);
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (is_element(root, "device_discovery")) {
        for (const xmlNode* n = root->children; n != nullptr; n = n->next) {
            if (!is_element(n, "discovery_info")) continue;
            auto host = attribute(n, "host_name");
            if (host && !host->empty()) hosts.push_back(*host);
        }
    } else {
        log(1, "discovery request without a device_discovery document: USB devices only");
    }
    std::vector<const DeviceSpec*> found = discover(catalogue_, hosts);
    log(1, "discovery for %zu host name(s): %zu device(s)", hosts.size(), found.size());
    for (const DeviceSpec* d : found)
        log(1, "  %s (%s %s)%s%s", d->name.c_str(), d->vendor.c_str(), d->model.c_str(),
            d->host.empty() ? " on USB" : " at ", d->host.c_str());
    return text_reply(cmd_discovery, devices_document(found));
}

Session::Reply Session::open_device() {
    DeviceIdentity id;
    XmlDocument doc = parse_xml(request_);
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    const DeviceSpec* device = nullptr;
    if (is_element(root, "device")) {
        id.deviceName = attribute(root, "deviceName").value_or("");
        id.host_name = attribute(root, "host_name").value_or("");
        id.vendor_id = attribute(root, "vendor_id").value_or("");
        id.product_id = attribute(root, "product_id").value_or("");
        id.usb_serial_id = attribute(root, "usb_serial_id").value_or("");
        id.model = attribute(root, "model").value_or("");
        device = find_device(catalogue_, id);
    }
    if (device == nullptr) {
        log(1, "open refused: no device deviceName=\"%s\" host_name=\"%s\" model=\"%s\"; closing the connection",
            id.deviceName.c_str(), id.host_name.c_str(), id.model.c_str());
        Reply r;
        r.outcome = Outcome::close;
        r.command = cmd_open_device;
        return r;
    }
    opened_ = device;
    feeder_sheets_ = device->sheets;
    log(1, "device %s opened (%u sheet(s) in the feeder)", device->name.c_str(), feeder_sheets_);
    return text_reply(cmd_open_device, capability_document(*device));
}

Session::Reply Session::scan_parameter() {
    XmlDocument doc = parse_xml(request_);
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    settings_ = read_scan_settings(root);
    std::vector<std::string> problems = scan_parameter_problems(settings_, opened_);
    if (!is_element(root, "scan_parameter")) problems.insert(problems.begin(), "no scan_parameter document");
    std::string all;
    for (const std::string& problem : problems) all += (all.empty() ? "" : "; ") + problem;
    settings_given_ = problems.empty() || !question(cmd_scan_parameter, all);
    if (!settings_given_) return refusal(cmd_scan_parameter);
    const ImageInfo info = image_info_for(settings_);
    log(2, "scan parameters: %ux%u at %u dpi, %s", info.width, info.height, info.resolution,
        info.color_space == 1 ? "grey" : "RGB");
    return text_reply(cmd_scan_parameter, image_info_document(info));
}

Session::Reply Session::start_scan() {
    // A start the device cannot act on fails (scan_status 4) when strict.
    const char* problem = opened_ == nullptr   ? "start scan request without an open device"
                          : !settings_given_ ? "start scan request without accepted scan parameters"
                                             : nullptr;
    if (problem != nullptr && question(cmd_start_scan, problem)) {
        job_.end();
        return text_reply(cmd_start_scan, scan_status_document(scan_failed));
    }
    const uint32_t status = job_.start(settings_, opened_, feeder_sheets_);
    return text_reply(cmd_start_scan, scan_status_document(status));
}

Session::Reply Session::image_reply(uint64_t offset, uint64_t count) {
    if (image_.size() < count) image_.resize(size_t(count));
    if (const PageSource* source = source_for_page(sources_, job_.page_number())) {
        fitted_.render(*source->image, source->dpi, job_.geometry(), offset, image_.data(), size_t(count));
    } else {
        renderer_.render(job_.geometry(), job_.page_number(), offset, image_.data(), size_t(count));
    }
    Reply r;
    r.command = cmd_read_image;
    r.kind = kind_image;
    r.payload = std::string_view(reinterpret_cast<const char*>(image_.data()), size_t(count));
    return r;
}

void Session::page_begins() {
    const PageSource* source = source_for_page(sources_, job_.page_number());
    const std::string name = source != nullptr ? source->image->path : "chart";
    if (source != nullptr)
        log(2, "page %u from %s (%ux%u)", job_.page_number(), name.c_str(), source->image->width, source->image->height);
    if (transcript_ != nullptr) transcript_->page(job_.page_number(), job_.geometry(), name);
}

Session::Reply Session::paced(Reply reply) {
    if (piece_delay_ms_ > 0 && !pause(piece_delay_ms_)) {
        log(1, "the client closed the connection during the piece delay");
        reply.outcome = Outcome::close;
    }
    return reply;
}

Session::Reply Session::read_image() {
    // No job to read from: a strict device says it cancelled (read_status 3), which
    // ends the backend's page with an error; otherwise the job is over.
    if (!job_.active())
        return text_reply(cmd_read_image,
                          read_status_document(question(cmd_read_image, "read image request without a started job")
                                                   ? read_cancelled
                                                   : read_job_over));
    if (job_.ensure_page(next_page_number_)) page_begins();
    const uint32_t page = job_.page_number();
    const uint64_t size = job_.page_size();
    const uint64_t offset = job_.offset();

    if (const PageFault* fault = faults_.due(page, offset, size)) {
        faults_.fired(fault);
        if (transcript_ != nullptr) transcript_->page_fault(*fault, offset);
        return page_fault(*fault, offset);
    }
    if (offset < size) {
        const uint64_t count = std::min(piece_size_, faults_.room(page, offset, size));
        job_.advance(count);
        return paced(image_reply(offset, count));
    }
    if (const PageFault* fault = faults_.take_extra(page)) {
        const uint64_t extra = *fault->extra;
        log(1, "fault: %llu extra byte(s) after page %u", static_cast<unsigned long long>(extra), page);
        if (transcript_ != nullptr) transcript_->page_fault(*fault, size);
        return paced(image_reply(size, extra));
    }
    const uint32_t status = job_.finish_page();
    log(2, "page %u complete", page);
    return text_reply(cmd_read_image, read_status_document(status));
}

Session::Reply Session::page_fault(const PageFault& fault, uint64_t offset) {
    const unsigned long long at = offset;
    Reply r;
    r.command = cmd_read_image;
    if (fault.read_status) {
        log(1, "fault: page %u after %llu byte(s): read_status %u", fault.number, at, *fault.read_status);
        if (*fault.read_status == read_next_page)
            job_.finish_page();
        else
            job_.end();
        return text_reply(cmd_read_image, read_status_document(*fault.read_status));
    }
    log(1, "fault: page %u after %llu byte(s): %s", fault.number, at, page_action_name(fault.action));
    switch (fault.action) {
    case PageAction::close: r.outcome = Outcome::close; break;
    case PageAction::silence: r.outcome = Outcome::silence; break;
    case PageAction::exit: r.outcome = Outcome::exit; break;
    case PageAction::malformed:
    case PageAction::none:
        r.kind = kind_xml;
        r.payload = malformed_document;
        break;
    }
    return r;
}

}  // namespace kelvra_sim
