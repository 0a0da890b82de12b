// What the scan folder's files share: the reader thread, its cancel signal,
// waiting for it, and the page pipe's two ends.
#pragma once

#include "scan/scan.h"

// Reader thread (reader_thread.cpp)
void* reader_thread(void* handle);

// The cancel signal (reader_thread.cpp). SIGUSR1 with an empty handler is
// installed at every job start; the frontend's own action from before the
// first install is put back when the library is unloaded.
void install_cancel_signal();
// Interrupts the reader thread's blocking call with SIGUSR1, only while our
// handler is the one installed: a frontend's own handler must never run on
// our thread, and the signal's default action would end the process.
// Async-signal-safe; thread_running must be set.
void wake_reader(device_t* handle);

// Joins the reader thread, exactly once, and clears thread_running. What the
// frontend left unread in the pipe is discarded meanwhile, so a thread
// blocked on a full pipe can always finish. With `stop`, or once a cancel is
// raised, the thread is stopped as a cancel stops it; without, the page is
// given the socket limit to end by itself and is stopped after that. False
// when this wait had to stop a page that did not end in time
// (reader_wait.cpp, which states the bounds).
bool wait_for_reader(device_t* handle, bool stop);

// Completes, by stop_scan, a cancel that was initiated while `call` ran (the
// handle's cancel count moved on from `cancels`): the call that a signal
// handler interrupted is the one to join. True when it did (read_cancel.cpp).
bool complete_initiated_cancel(device_t* handle, uint32_t cancels, const FrontendCall& call);

// The page pipe (page_pipe.cpp). The frontend reads the read end (read_image,
// the select descriptor); the reader thread writes the write end and closes it
// when the page ends.
bool open_page_pipe(device_t* handle);  // closes the previous ends first; false when none could be made
void close_page_pipe(device_t* handle);
void close_page_pipe_write_end(device_t* handle);
