// The loading procedure: resolve the module path, read and check the
// optional metadata file, decode the module file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "loader/module.hpp"
#include "values/errors.hpp"
#include "values/result.hpp"

namespace tarnel {

// The largest module file a load reads: 64 MiB. Loading costs up to about
// 48 bytes of memory per file byte (a file of one-byte instructions), so this
// bounds a hostile file at about 3 GiB; real modules are a few KiB, and 64 MiB
// of code is 16 million calls at the least.
inline constexpr size_t kMaxModuleFileSize = size_t{64} << 20;

// The caller's path with its final name's extension replaced by `extension`
// ("prog.txt" -> "prog.tnbc"); unchanged when the extension already matches
// exactly or when the path has no final name.
std::string with_extension(std::string_view path, std::string_view extension);

// Reads, checks and decodes everything `load_bytecode(path)` needs. The VM is
// not touched; installing the module is the caller's next step.
Result<Module, LoadError> load_module_file(std::string_view path);

}  // namespace tarnel
