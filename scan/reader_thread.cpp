// Placeholder until this part is written.
#include "scan/scan.h"

void* reader_thread(void*) { return nullptr; }
void sigusr1_handler(int) {}
