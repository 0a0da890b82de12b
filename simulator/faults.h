// Which scripted reply or page fault applies to the request at hand.
#pragma once

#include "simulator/scenario.h"

#include <cstdint>
#include <map>
#include <vector>

namespace kelvra_sim {

// Counts the requests of each command and finds the scripted reply for the
// latest one: a reply for exactly this nth request wins over one for every
// request of the command; among equals the first in the file wins.
class ReplyScript {
public:
    explicit ReplyScript(std::vector<ScriptedReply> replies) : replies_(std::move(replies)) {}

    // Counts a request of `command`; returns the script for it, or null.
    const ScriptedReply* next(uint32_t command);

private:
    std::vector<ScriptedReply> replies_;
    std::map<uint32_t, uint64_t> counts_;
};

// The page faults of the scenario; each status or action fault fires once.
class PageFaults {
public:
    explicit PageFaults(std::vector<PageFault> faults);

    // The status or action fault due now that `offset` bytes of page `number`
    // (of `size` bytes) went out; a fault past the page's end is due at its end.
    const PageFault* due(uint32_t number, uint64_t offset, uint64_t size) const;
    void fired(const PageFault* fault);

    // How many bytes may go out from `offset` before the next fault of the page.
    uint64_t room(uint32_t number, uint64_t offset, uint64_t size) const;

    // The fault with extra image bytes to send after page `number`, once; null when none is left.
    const PageFault* take_extra(uint32_t number);

private:
    struct Entry {
        PageFault fault;
        bool fired = false;
        bool extra_sent = false;
    };
    std::vector<Entry> entries_;
};

}  // namespace kelvra_sim
