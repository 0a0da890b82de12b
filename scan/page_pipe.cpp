// The page pipe: a new one for every page, both ends closed at the latest
// when the next page starts or the handle is released.
#include <fcntl.h>
#include <unistd.h>

#include "scan/scan_internal.h"

bool open_page_pipe(device_t* handle) {
    close_page_pipe(handle);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
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
