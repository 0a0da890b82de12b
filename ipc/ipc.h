// The scan-manager link: the child process and its loopback connection, the
// 20-byte message frame, and the device and scan messages carried in it.
#pragma once

#include <sane/sane.h>
#include <libxml/tree.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------- connection

// One connection to one scan-manager child. Created only by ipc_open, freed
// only by ipc_close. pid, port and socket are -1 until they become known.
struct ipc_t {
    int32_t pid;
    int32_t port;
    int32_t socket;
    uint32_t trace = 0;  // the connection's number in the trace; 0 when not tracing
    // Set once the kernel refused to splice this connection's image bytes:
    // they are copied from then on.
    uint8_t copy_images = 0;
};

SANE_Status ipc_open(ipc_t** out);
SANE_Status ipc_close(ipc_t* ipc);

// ------------------------------------------------------------------- frames

enum : uint32_t { IPC_REQUEST = 0, IPC_REPLY = 1 };

enum : uint32_t {
    IPC_CMD_DISCOVERY = 0,
    IPC_CMD_OPEN_DEVICE = 1,
    IPC_CMD_CLOSE_DEVICE = 2,
    IPC_CMD_SCAN_PARAMETER = 3,
    IPC_CMD_START_SCAN = 4,
    IPC_CMD_END_SCAN = 5,
    IPC_CMD_READ_IMAGE = 6,
};

enum : uint32_t {
    IPC_PAYLOAD_NONE = 0,
    IPC_PAYLOAD_XML = 1,
    IPC_PAYLOAD_IMAGE = 2,
};

// The header goes over the wire as these 20 bytes exactly, in host order.
#pragma pack(push, 1)
struct ipc_header_t {
    uint32_t command;
    uint32_t direction;
    uint32_t kind;
    uint64_t length;
};
#pragma pack(pop)
static_assert(sizeof(ipc_header_t) == 20, "the frame header has no padding");

// The largest payload the backend accepts. A colour A4 page at 600 dpi is
// about 67 MB, and a scan-manager sends a page in pieces; anything above this
// is a broken or hostile peer, refused with IO_ERROR before any allocation.
constexpr uint64_t IPC_MAX_PAYLOAD = 256ull << 20;

struct ipc_payload_t {
    uint8_t* data;
    uint32_t kind;
    uint64_t length;
};

SANE_Status ipc_write(ipc_t* ipc, const void* buffer, size_t* count);
// Sends a header and its payload as one frame: one call in the common case.
// A header that does not go out whole is IO_ERROR and nothing more is sent;
// the rest of a payload that went out short is sent after it.
SANE_Status ipc_write_frame(ipc_t* ipc, const ipc_header_t* header, const void* payload, size_t size);
SANE_Status ipc_read(ipc_t* ipc, void* buffer, size_t* count);
SANE_Status receive_header(ipc_t* ipc, ipc_header_t* header);
SANE_Status receive_payload(ipc_t* ipc, const ipc_header_t* header, ipc_payload_t* payload);
void free_payload(ipc_payload_t* payload);

// Header-only requests and the two bare acknowledgements.
SANE_Status send_close_device(ipc_t* ipc);
SANE_Status send_start_scan(ipc_t* ipc);
SANE_Status send_end_scan(ipc_t* ipc);
SANE_Status send_read_request(ipc_t* ipc);
SANE_Status receive_close_ack(ipc_t* ipc);
SANE_Status receive_end_ack(ipc_t* ipc);

// ------------------------------------------------------- XML attributes

// strtol-style base-10 value, low 32 bits kept; a missing attribute is 0.
uint32_t get_int_attribute(xmlNode* node, const char* name);
// A missing attribute reads as the empty string.
std::string get_string_attribute(xmlNode* node, const char* name);
void set_uint_attribute(xmlNode* node, const char* name, uint32_t value);

// --------------------------------------------------------- device messages

struct DiscoveryInfo {
    std::string host_name;
};

struct DeviceInfo {
    std::string name;
    std::string vendor;
    std::string model;
    std::string type;
    std::string host_name;
    std::string vendor_id;
    std::string product_id;
    std::string usb_serial_id;
    std::string deviceName;
};

enum ScannerUnit : uint32_t {
    SCANNER_UNIT_FLATBED = 0,
    SCANNER_UNIT_ADF = 1,
    SCANNER_UNIT_ADF_DUPLEX = 2,
};

struct DeviceCapability {
    uint32_t basic_resolution = 0;
    uint32_t flatbed_min_width = 0;
    uint32_t flatbed_max_width = 0;
    uint32_t flatbed_min_height = 0;
    uint32_t flatbed_max_height = 0;
    uint32_t adf_min_Width = 0;
    uint32_t adf_max_Width = 0;
    uint32_t adf_min_height = 0;
    uint32_t adf_max_height = 0;
    uint32_t flatbed_original_alignment = 0;
    uint32_t adf_original_alignment = 0;
    uint32_t black_text_support = 0;
    std::vector<ScannerUnit> scanner_units;
};

SANE_Status send_discovery(ipc_t* ipc, const std::vector<DiscoveryInfo>& hosts);
SANE_Status receive_devices(ipc_t* ipc, std::vector<DeviceInfo>& devices);
SANE_Status send_open_device(ipc_t* ipc, const DeviceInfo* info);
SANE_Status receive_capability(ipc_t* ipc, DeviceCapability* capability);

// ----------------------------------------------------------- scan messages

struct ScanParameter {
    uint32_t original_placement;
    uint32_t scan_side;
    uint32_t color_mode;
    uint32_t input_resolution;
    uint32_t input_position_x;
    uint32_t input_position_y;
    uint32_t input_width;
    uint32_t input_height;
    uint32_t output_resolution;
    uint32_t output_width;
    uint32_t output_height;
    uint32_t black_text_mode;
};

struct ImageInfo {
    uint32_t color_space;
    uint32_t resolution;
    uint32_t width;
    uint32_t height;
    uint32_t bits_per_component;
    uint32_t bits_per_pixel;
    uint32_t bytes_per_row;
};

// Answers to a start request.
enum : int32_t {
    SCAN_STATUS_STARTED = 0,
    SCAN_STATUS_NO_DOCUMENT = 1,
    SCAN_STATUS_BUSY = 2,
    SCAN_STATUS_JAMMED = 3,
};

// Answers to a read request that carry no image data.
enum : uint32_t {
    READ_STATUS_MORE = 0,
    READ_STATUS_NEXT_PAGE = 1,
    READ_STATUS_JOB_END = 2,
    READ_STATUS_CANCELLED = 3,
    READ_STATUS_JAMMED = 4,
};

SANE_Status send_scan_parameter(ipc_t* ipc, const ScanParameter* parameter);
SANE_Status receive_image_info(ipc_t* ipc, ImageInfo* image);
SANE_Status receive_scan_status(ipc_t* ipc, int32_t* scan_status);

// Reads one reply to a read request. Image bytes go to output_fd, at most
// `room` of them: what lies beyond the page's expected size has no reader
// and is dropped, so that nothing is ever written after the frontend was
// given EOF. *count receives the bytes written.
//
// Image bytes move from the socket into output_fd with splice(2), without
// passing through our memory; where the kernel refuses that (output_fd is no
// pipe, or no splice at all) they are copied, for the rest of the connection.
// Either way the whole payload is taken off the connection.
SANE_Status receive_read_reply(ipc_t* ipc, int output_fd, size_t* count,
                               const std::atomic<uint8_t>* cancelled, uint32_t* read_status,
                               uint64_t room = UINT64_MAX);

// The splice(2) call of the image path, to be replaced by one that refuses
// (tests, and the benchmark's copy column); null puts the system's back.
using ipc_splice_function = ssize_t (*)(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size,
                                        unsigned int flags);
void ipc_set_splice_function(ipc_splice_function function);
