// The loading procedure: derive the module and metadata paths, read both
// files whole, check the metadata file's length and magic, then decode the
// module file. Everything read is released before returning; the VM is not
// touched here.
#include "loader/loading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "loader/bytecode.hpp"

namespace tarnel {
namespace {

constexpr std::string_view kModuleExtension = "tnbc";
constexpr std::string_view kMetadataExtension = "tnbm";
constexpr uint8_t kMetadataMagic[4] = {'T', 'N', 'B', 'M'};
constexpr size_t kMetadataMinimumLength = 20;

// Where the final name of `path` sits, if it has one.
struct FinalName {
    size_t begin;
    size_t end;
};

// The final name is the last component once trailing separators and "."
// components are set aside. A path made only of separators and "." (or the
// empty path) has none, and neither has one whose last component is "..".
std::optional<FinalName> final_name(std::string_view path) {
    size_t end = path.size();
    while (true) {
        while (end > 0 && path[end - 1] == '/') --end;
        if (end == 0) return std::nullopt;
        size_t begin = path.find_last_of('/', end - 1);
        begin = begin == std::string_view::npos ? 0 : begin + 1;
        std::string_view component = path.substr(begin, end - begin);
        if (component == ".") {
            end = begin;
            continue;
        }
        if (component == "..") return std::nullopt;
        return FinalName{begin, end};
    }
}

bool contains_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

LoadError nul_in_path() { return LoadError::of(LoadErrorKind::Io, "file name contained an unexpected NUL byte"); }

// What to do with a file longer than the read's limit.
enum class Oversize { Refuse, Truncate };

LoadError not_regular_file() { return LoadError::of(LoadErrorKind::Io, "not a regular file"); }

// Opens `path` for reading without blocking: a FIFO with no writer would
// otherwise hold the open (and the caller, with the interpreter lock) forever.
// Only regular files are accepted, so nothing read later can block either:
// FIFOs, sockets and devices such as /dev/zero (which never ends) are refused,
// and a directory reports EISDIR as reading it would.
Result<int, LoadError> open_regular_file(const std::string& path, struct stat& info) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Failure{LoadError::io_errno(errno)};
    if (::fstat(fd, &info) != 0) {
        int code = errno;
        ::close(fd);
        return Failure{LoadError::io_errno(code)};
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return Failure{S_ISDIR(info.st_mode) ? LoadError::io_errno(EISDIR) : not_regular_file()};
    }
    return fd;
}

// Reads a regular file, at most `limit` bytes of it. The size from fstat
// sizes the buffer; the loop reads until end of file, so a file that grows
// while being read still comes in whole, up to the limit: one byte past it
// either fails the read (Refuse, with EFBIG) or is dropped (Truncate). A
// regular file's read does not block, so retrying on EINTR cannot hold a
// signal off for long.
Result<std::vector<uint8_t>, LoadError> read_regular_file(const std::string& path, size_t limit, Oversize oversize) {
    if (contains_nul(path)) return Failure{nul_in_path()};

    struct stat info;
    auto opened = open_regular_file(path, info);
    if (!opened) return Failure{std::move(opened).error()};
    const int fd = opened.value();
    const size_t reported = info.st_size > 0 ? static_cast<size_t>(info.st_size) : 0;
    if (oversize == Oversize::Refuse && reported > limit) {
        ::close(fd);
        return Failure{LoadError::io_errno(EFBIG)};
    }

    // One byte past the limit (or past the reported size) shows whether more follows.
    std::vector<uint8_t> bytes(std::min(reported, limit) + 1);
    size_t filled = 0;
    while (filled <= limit) {
        if (filled == bytes.size()) bytes.resize(std::min(bytes.size() * 2, limit + 1));
        ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            ::close(fd);
            return Failure{LoadError::io_errno(code)};
        }
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    ::close(fd);
    if (filled > limit) {
        if (oversize == Oversize::Refuse) return Failure{LoadError::io_errno(EFBIG)};
        filled = limit;
    }
    bytes.resize(filled);
    return bytes;
}

// Whether a file-status query on `path` succeeds; any failure means there
// is no metadata file to look at.
bool exists(const std::string& path) {
    if (contains_nul(path)) return false;
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

Result<void, LoadError> check_metadata(const std::string& path) {
    // Only the length (up to the minimum) and the magic matter; the body is
    // never interpreted, so a metadata file of any size costs 20 bytes.
    auto bytes = read_regular_file(path, kMetadataMinimumLength, Oversize::Truncate);
    if (!bytes) return Failure{std::move(bytes).error()};
    const std::vector<uint8_t>& metadata = bytes.value();
    if (metadata.size() < kMetadataMinimumLength) return Failure{LoadError::of(LoadErrorKind::InvalidFormat)};
    if (std::memcmp(metadata.data(), kMetadataMagic, sizeof kMetadataMagic) != 0) {
        return Failure{LoadError::of(LoadErrorKind::InvalidMagic)};
    }
    // The body is not interpreted.
    return {};
}

}  // namespace

std::string with_extension(std::string_view path, std::string_view extension) {
    auto name = final_name(path);
    if (!name) return std::string(path);

    std::string_view file = path.substr(name->begin, name->end - name->begin);
    size_t dot = file.rfind('.');
    bool has_extension = dot != std::string_view::npos && dot != 0;
    if (has_extension && file.substr(dot + 1) == extension) return std::string(path);

    // Replace the final name by stem + "." + extension; what follows the final
    // name (trailing separators and "." components) goes with it.
    size_t stem_end = name->begin + (has_extension ? dot : file.size());
    std::string result;
    result.reserve(stem_end + 1 + extension.size());
    result.append(path.substr(0, stem_end));
    result += '.';
    result.append(extension);
    return result;
}

Result<Module, LoadError> load_module_file(std::string_view path) {
    const std::string module_path = with_extension(path, kModuleExtension);
    auto module_bytes = read_regular_file(module_path, kMaxModuleFileSize, Oversize::Refuse);
    if (!module_bytes) return Failure{std::move(module_bytes).error()};

    // The metadata path comes from the caller's path, not the module path.
    const std::string metadata_path = with_extension(path, kMetadataExtension);
    if (exists(metadata_path)) {
        auto checked = check_metadata(metadata_path);
        if (!checked) return Failure{std::move(checked).error()};
    }

    return decode_module(module_bytes.value());
}

}  // namespace tarnel
