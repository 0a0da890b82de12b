// Waiting for a page's reader thread from the frontend's thread.
#pragma once

#include "backend/backend.h"

// Joins the reader thread and clears thread_running. What the frontend left
// unread in the pipe is discarded meanwhile, so a thread blocked on a full
// pipe can always finish. With `stop`, the thread is also signalled until it
// ends, and a scan-manager that keeps it waiting is cut off shortly before
// the socket limit.
void wait_for_reader(device_t* handle, bool stop);
