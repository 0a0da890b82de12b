#include "simulator/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvra_sim {

int open_private_append(const std::string& path, std::string& error) {
    // Non-blocking only for the open itself: a FIFO would otherwise hold the
    // simulator until someone reads it.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        // ENXIO: a FIFO without a reader (or a device without its driver).
        error = errno == ELOOP ? "it is a symbolic link" : errno == ENXIO ? "it is not a regular file" : std::strerror(errno);
        return -1;
    }
    struct stat about {};
    if (::fstat(fd, &about) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(about.st_mode)) {
        error = "it is not a regular file";
    } else if (about.st_uid != ::geteuid()) {
        error = "it belongs to uid " + std::to_string(about.st_uid) + ", not to this process's uid " +
                std::to_string(::geteuid());
    } else if (::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        error = std::strerror(errno);
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace kelvra_sim
