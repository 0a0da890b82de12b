// One whole session of a frontend, short enough to run under valgrind: an
// enumeration, an open and close of "fb-a4", and a feeder job on "mfp-adf"
// (three pages read to EOF, then the start on the empty feeder), close, exit.
#pragma once

#include <string>

namespace kelvra_soak {

// False with `problem` set at the first step that does not go as a frontend
// expects, or when descriptors, threads or children are left over.
bool run_feeder_job(std::string* problem);

}  // namespace kelvra_soak
