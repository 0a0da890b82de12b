// The page pipe: a new one for every page, both ends closed at the latest
// when the next page starts or the handle is released.
#include <fcntl.h>
#include <unistd.h>

#include "scan/scan_internal.h"

namespace {

// The page pipe's capacity: 256 KiB instead of the system's 64 KiB. Image
// bytes are spliced into it, and a spliced pipe holds socket buffers by the
// slot (one per 4 KiB of capacity), up to some 20 KiB each, rather than full
// pages of copied bytes. Measured on the 2-core development machine, shared
// with other work while measured (kelvra-bench --socket, medians of 9
// pages, colour / gray, 1 MiB pieces):
//
//   capacity   held when full   backend / socket alone   backend CPU ms/MB
//   64 KiB     0.25 MiB         0.70 / 0.29              0.29 / 0.46
//   256 KiB    1.3-1.4 MiB      0.59 / 0.66              0.16 / 0.16
//   512 KiB    2.9-3.1 MiB      0.71 / 0.82              0.15 / 0.15
//   1 MiB      5.3-5.6 MiB      0.72 / 0.60              0.14 / 0.14
//
// With 64 KiB the reader thread wakes for every few frontend reads and pays
// for it in CPU (0.98 ms/MB with gray 64 KiB pieces, twice the copy); from
// 256 KiB on, CPU per MB is flat, and the throughput differences lie within
// the noise of the shared machine. 256 KiB is the largest whose full pipe
// stays under the 2 MiB that a page may add to the memory of the frontend
// beside its piece (the piece buffer itself is gone with splice).
constexpr int kPagePipeCapacity = 256 * 1024;

}  // namespace

bool open_page_pipe(device_t* handle) {
    close_page_pipe(handle);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    // Refused above the system's or the user's pipe limits: the default then
    // serves, only slower.
    fcntl(ends[1], F_SETPIPE_SZ, kPagePipeCapacity);
    handle->pipe_read_fd = ends[0];
    handle->pipe_write_fd = ends[1];
    return true;
}

void close_page_pipe_write_end(device_t* handle) {
    // The reader thread and the frontend's thread may both get here at the
    // same moment; the exchange makes sure exactly one side closes it.
    int write_fd = handle->pipe_write_fd.exchange(-1);
    if (write_fd != -1) close(write_fd);
}

void close_page_pipe(device_t* handle) {
    close_page_pipe_write_end(handle);
    if (handle->pipe_read_fd != -1) {
        close(handle->pipe_read_fd);
        handle->pipe_read_fd = -1;
    }
}
