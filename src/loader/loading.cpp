// The loading procedure: derive the module and metadata paths, read both
// files whole, check the metadata file's length and magic, then decode the
// module file. Everything read is released before returning; the VM is not
// touched here.
#include "loader/loading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

LoadError nul_in_path() {
    return LoadError::of(LoadErrorKind::Io, "file name contained an unexpected NUL byte");
}

// Reads a whole file. The size from fstat only sizes the first buffer; the
// loop reads until end of file, so files that report no size (or change
// while being read) still come in whole.
Result<std::vector<uint8_t>, LoadError> read_whole_file(const std::string& path) {
    if (contains_nul(path)) return Failure{nul_in_path()};

    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Failure{LoadError::io_errno(errno)};

    struct stat info;
    size_t capacity = 8192;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        capacity = static_cast<size_t>(info.st_size) + 1;  // +1 to see end of file without regrowing
    }

    std::vector<uint8_t> bytes(capacity);
    size_t filled = 0;
    while (true) {
        if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
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
    auto bytes = read_whole_file(path);
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
    auto module_bytes = read_whole_file(module_path);
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
