// The fixed places and time limits of one build of the library. They live in
// one small translation unit so that the shipped library and the test and
// demo flavours link the very same objects with different values.
#pragma once

namespace kelvra {

extern const char* const kScanManagerPath;  // the program started for every connection
extern const char* const kConfigPath;       // host names, read by every enumeration
extern const int kSocketTimeoutSeconds;     // send and receive limit on a connection
extern const int kChildGraceMilliseconds;   // how long a child may take to end before it is killed

}  // namespace kelvra
