#include "vm/output.hpp"

#include <unistd.h>

#include <cerrno>

#include "values/errors.hpp"

namespace tarnel {

std::optional<std::string> write_stdout_line(std::string& line) {
    line += '\n';
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDOUT_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return "failed to write to standard output: " + os_error_text(errno);
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return std::nullopt;
}

}  // namespace tarnel
