// The request loop of the one connection a simulator process serves.
// session.cpp reads the requests and sends the replies, scripted_reply.cpp
// plays the scenario's scripted replies, command_answers.cpp computes the
// answer to each command.
#pragma once

#include "simulator/devices.h"
#include "simulator/faults.h"
#include "simulator/fitted_page.h"
#include "simulator/pages.h"
#include "simulator/request_checks.h"
#include "simulator/scan_job.h"
#include "simulator/scenario.h"
#include "simulator/transcript.h"
#include "simulator/wire.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_sim {

class Session {
public:
    // `transcript` may be null. The session owns neither the socket nor the transcript.
    Session(int socket, const Scenario& scenario, Transcript* transcript);

    // Serves requests until the connection ends; returns the exit status:
    // 0 when the client closed the connection or a scripted fault ended it,
    // 1 when the client broke the protocol or the connection failed.
    int run();

private:
    // What to do with a request once it has been handled.
    enum class Outcome { send, close, silence, exit };

    struct Reply {
        Outcome outcome = Outcome::send;
        uint32_t command = 0;
        uint32_t kind = kind_none;
        std::string_view payload;
    };

    // The computed answer to a request (command_answers.cpp).
    Reply handle(const FrameHeader& request);
    Reply discovery();
    Reply open_device();
    Reply scan_parameter();
    Reply start_scan();
    Reply read_image();
    void page_begins();  // logs and records the page's geometry and source
    Reply page_fault(const PageFault& fault, uint64_t offset);

    Reply text_reply(uint32_t command, std::string text);
    Reply ack(uint32_t command) const;
    // A request the device questions: logged and recorded as a warning, and
    // refused when the scenario is strict; true when it is to be refused.
    bool question(uint32_t command, const std::string& problem);
    // What a refusing device answers where a document is due: a bare
    // acknowledgement, which the backend takes for a failed exchange.
    Reply refusal(uint32_t command) const { return ack(command); }
    Reply image_reply(uint64_t offset, uint64_t count);
    Reply paced(Reply reply);  // waits piece_delay_ms before an image reply

    // These return the exit status to end with, or -1 to go on serving.
    int answer(const FrameHeader& request, const ScriptedReply* script);  // scripted_reply.cpp
    int send_scripted(const FrameHeader& request, const ScriptedReply& script, std::string_view payload,
                      uint32_t kind);
    int finish(const Reply& reply);
    bool send(const FrameHeader& header, std::string_view payload);
    // Records a frame that went out, or the part of it that did.
    void sent(const FrameHeader& header, std::string_view payload, size_t header_bytes = sizeof(FrameHeader));
    std::string_view filler(uint64_t size);  // the first `size` bytes of a counting pattern
    [[noreturn]] static void exit_now(const char* why);

    // Sleeps, but notices a client that closes meanwhile; false when it did.
    bool pause(uint32_t milliseconds) const;

    int socket_;
    Transcript* transcript_;
    uint64_t piece_size_;
    uint32_t piece_delay_ms_;
    std::vector<DeviceSpec> catalogue_;
    ReplyScript script_;
    PageFaults faults_;

    std::string request_;        // payload of the request being served
    std::string reply_text_;     // XML payload of the reply being built
    std::vector<uint8_t> image_; // image bytes of the reply being built, reused
    std::string filler_;

    bool strict_;
    bool silent_ = false;
    const DeviceSpec* opened_ = nullptr;
    uint32_t feeder_sheets_ = 3;
    ScanSettings settings_;
    bool settings_given_ = false;  // a scan parameter request was accepted
    ScanJob job_;
    uint32_t next_page_number_ = 1;
    PageRenderer renderer_;
    std::vector<PageSource> sources_;  // pages from image files
    FittedPageRenderer fitted_;
};

}  // namespace kelvra_sim
