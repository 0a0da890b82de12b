// Building blocks for simulator scenarios that inject one fault each: a
// scripted reply aimed at the nth request of a command, a fault in the middle
// of a page, a start-up fault; and a check that the simulator accepts the
// scenario at all, so that a typo in a fault cannot pass for the fault.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra_test {

// <reply command="C" nth="N" ATTRIBUTES/>
std::string scripted_reply(uint32_t command, uint64_t nth, const std::string& attributes);

// body="TEXT", quoted for an attribute value.
std::string reply_body(const std::string& text);

// <page number="P" ATTRIBUTES/>
std::string page_fault(uint32_t number, const std::string& attributes);

// <startup ATTRIBUTES/>
std::string startup_fault(const std::string& attributes);

// Starts the simulator with "<scenario ATTRIBUTES>ELEMENTS</scenario>" and
// tells whether it got past reading the file (a refused file ends it with
// status 2 before it writes a port). On refusal `why` holds its message.
bool simulator_accepts(const std::string& elements, const std::string& attributes, std::string& why);

}  // namespace kelvra_test
