#include "simulator/faults.h"

#include <algorithm>

namespace kelvra_sim {

const ScriptedReply* ReplyScript::next(uint32_t command) {
    const uint64_t nth = ++counts_[command];
    const ScriptedReply* every = nullptr;
    for (const ScriptedReply& r : replies_) {
        if (r.command != command) continue;
        if (r.nth == nth) return &r;
        if (r.nth == 0 && every == nullptr) every = &r;
    }
    return every;
}

PageFaults::PageFaults(std::vector<PageFault> faults) {
    for (PageFault& f : faults) entries_.push_back(Entry{std::move(f)});
}

namespace {

bool interrupts(const PageFault& f) { return f.read_status.has_value() || f.action != PageAction::none; }

}  // namespace

const PageFault* PageFaults::due(uint32_t number, uint64_t offset, uint64_t size) const {
    for (const Entry& e : entries_) {
        if (e.fired || e.fault.number != number || !interrupts(e.fault)) continue;
        if (std::min(e.fault.at_byte, size) <= offset) return &e.fault;
    }
    return nullptr;
}

void PageFaults::fired(const PageFault* fault) {
    for (Entry& e : entries_) {
        if (&e.fault == fault) e.fired = true;
    }
}

uint64_t PageFaults::room(uint32_t number, uint64_t offset, uint64_t size) const {
    uint64_t room = size > offset ? size - offset : 0;
    for (const Entry& e : entries_) {
        if (e.fired || e.fault.number != number || !interrupts(e.fault)) continue;
        if (e.fault.at_byte > offset) room = std::min(room, e.fault.at_byte - offset);
    }
    return room;
}

const PageFault* PageFaults::take_extra(uint32_t number) {
    for (Entry& e : entries_) {
        if (e.fault.number == number && e.fault.extra && !e.extra_sent) {
            e.extra_sent = true;
            if (*e.fault.extra > 0) return &e.fault;
        }
    }
    return nullptr;
}

}  // namespace kelvra_sim
