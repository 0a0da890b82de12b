#include "tests/support/fault_scenario.h"

#include <unistd.h>

#include "tests/support/sim_client.h"

namespace kelvra_test {
namespace {

std::string xml_attribute_text(const std::string& text) {
    std::string quoted;
    for (char c : text) {
        switch (c) {
            case '&': quoted += "&amp;"; break;
            case '<': quoted += "&lt;"; break;
            case '>': quoted += "&gt;"; break;
            case '"': quoted += "&quot;"; break;
            default: quoted += c;
        }
    }
    return quoted;
}

}  // namespace

std::string scripted_reply(uint32_t command, uint64_t nth, const std::string& attributes) {
    return "<reply command=\"" + std::to_string(command) + "\" nth=\"" + std::to_string(nth) + "\" " + attributes +
           "/>";
}

std::string reply_body(const std::string& text) { return "body=\"" + xml_attribute_text(text) + "\""; }

std::string page_fault(uint32_t number, const std::string& attributes) {
    return "<page number=\"" + std::to_string(number) + "\" " + attributes + "/>";
}

std::string startup_fault(const std::string& attributes) { return "<startup " + attributes + "/>"; }

bool simulator_accepts(const std::string& elements, const std::string& attributes, std::string& why) {
    const std::string errors = sim_temp_path("errors");
    bool accepted = false;
    {
        SimProcess sim;
        if (!sim.start(SimStartOptions{"<scenario " + attributes + ">" + elements + "</scenario>", {}, errors})) {
            why = "the simulator could not be started";
            return false;
        }
        // A port, or a start-up fault that writes none (exit, hang), means
        // the file was read; the destructor stops whatever still runs.
        int32_t port = 0;
        accepted = sim.read_port(port, 300) || sim.wait_exit(500) != 2;
    }
    if (!accepted) why = sim_read_file(errors);
    unlink(errors.c_str());
    return accepted;
}

}  // namespace kelvra_test
