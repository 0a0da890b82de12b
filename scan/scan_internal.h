// What the scan folder's files share: the reader thread, waiting for it, and
// the page pipe's two ends.
#pragma once

#include "scan/scan.h"

// Reader thread (reader_thread.cpp)
void* reader_thread(void* handle);
void sigusr1_handler(int signal_number);

// Joins the reader thread and clears thread_running. What the frontend left
// unread in the pipe is discarded meanwhile, so a thread blocked on a full
// pipe can always finish. With `stop`, the thread is also signalled until it
// ends, and a scan-manager that keeps it waiting is cut off shortly before
// the socket limit (reader_wait.cpp).
void wait_for_reader(device_t* handle, bool stop);

// The page pipe (page_pipe.cpp). The frontend reads the read end (read_image,
// the select descriptor); the reader thread writes the write end and closes it
// when the page ends.
bool open_page_pipe(device_t* handle);  // closes the previous ends first; false when none could be made
void close_page_pipe(device_t* handle);
void close_page_pipe_write_end(device_t* handle);
