// Loading procedure tests: the extension rule, and whole loads against real
// files in a fresh temporary directory (module file, optional metadata file,
// directories in their place, missing files, a NUL in the path).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "demo_module.hpp"
#include "loader/loading.hpp"

namespace tarnel {
namespace {

using testing_modules::Bytes;

// ---------------------------------------------------------------------------
// Extension rule

struct PathCase {
    std::string path;
    std::string extension;
    std::string expected;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << '"' << c.path << "\" + " << c.extension << " -> \"" << c.expected << '"';
}

class LoadingPathRule : public ::testing::TestWithParam<PathCase> {};

TEST_P(LoadingPathRule, ReplacesExtensionOfFinalName) {
    const PathCase& c = GetParam();
    EXPECT_EQ(with_extension(c.path, c.extension), c.expected);
}

INSTANTIATE_TEST_SUITE_P(LoadingModule, LoadingPathRule,
                         ::testing::Values(PathCase{"prog", "tnbc", "prog.tnbc"},              //
                                           PathCase{"prog.tnbc", "tnbc", "prog.tnbc"},         //
                                           PathCase{"dir/prog.txt", "tnbc", "dir/prog.tnbc"},  //
                                           PathCase{"prog.TNBC", "tnbc", "prog.tnbc"},         // case matters
                                           PathCase{"prog.", "tnbc", "prog.tnbc"},             // empty extension
                                           PathCase{".tnbc", "tnbc", ".tnbc.tnbc"},  // leading dot is not an extension
                                           PathCase{"dir.x/prog", "tnbc",
                                                    "dir.x/prog.tnbc"},            // dots in directories do not count
                                           PathCase{"a.b.c", "tnbc", "a.b.tnbc"},  // only the last extension goes
                                           PathCase{"prog.tnbc.txt", "tnbc", "prog.tnbc.tnbc"},  //
                                           PathCase{"prog.tnbm", "tnbc", "prog.tnbc"},           //
                                           PathCase{".hidden.txt", "tnbc", ".hidden.tnbc"},      //
                                           PathCase{"dir/.tnbc", "tnbc", "dir/.tnbc.tnbc"},      //
                                           PathCase{"...", "tnbc", "...tnbc"},  // stem "..", empty extension
                                           PathCase{"/abs/prog.x", "tnbc", "/abs/prog.tnbc"},  //
                                           PathCase{"./prog", "tnbc", "./prog.tnbc"},          //
                                           PathCase{"a//b", "tnbc", "a//b.tnbc"},  // text before the final name is kept
                                           PathCase{"dir/../prog", "tnbc", "dir/../prog.tnbc"},  //
                                           PathCase{"d\xC3\xA9j\xC3\xA0/\xC3\xA9t\xC3\xA9", "tnbc",
                                                    "d\xC3\xA9j\xC3\xA0/\xC3\xA9t\xC3\xA9.tnbc"},
                                           // Trailing separators and "." components follow the final name; they
                                           // go when the final name is replaced, and stay when it is kept.
                                           PathCase{"dir/prog/", "tnbc", "dir/prog.tnbc"},         //
                                           PathCase{"dir/prog//", "tnbc", "dir/prog.tnbc"},        //
                                           PathCase{"dir/prog/.", "tnbc", "dir/prog.tnbc"},        //
                                           PathCase{"dir/prog/./", "tnbc", "dir/prog.tnbc"},       //
                                           PathCase{"dir/prog.txt/./.", "tnbc", "dir/prog.tnbc"},  //
                                           PathCase{"prog.tnbc/", "tnbc", "prog.tnbc/"},           //
                                           // No final name: unchanged.
                                           PathCase{"", "tnbc", ""},              //
                                           PathCase{"/", "tnbc", "/"},            //
                                           PathCase{"//", "tnbc", "//"},          //
                                           PathCase{".", "tnbc", "."},            //
                                           PathCase{"./", "tnbc", "./"},          //
                                           PathCase{"./.", "tnbc", "./."},        //
                                           PathCase{"/.", "tnbc", "/."},          //
                                           PathCase{"..", "tnbc", ".."},          //
                                           PathCase{"dir/..", "tnbc", "dir/.."},  //
                                           PathCase{"dir/../", "tnbc", "dir/../"}));

INSTANTIATE_TEST_SUITE_P(
    LoadingMetadata, LoadingPathRule,
    ::testing::Values(PathCase{"prog", "tnbm", "prog.tnbm"}, PathCase{"prog.tnbc", "tnbm", "prog.tnbm"},
                      PathCase{"prog.txt", "tnbm", "prog.tnbm"}, PathCase{"prog.tnbm", "tnbm", "prog.tnbm"},
                      PathCase{"prog.TNBC", "tnbm", "prog.tnbm"}, PathCase{"dir/prog.tnbc", "tnbm", "dir/prog.tnbm"}));

// ---------------------------------------------------------------------------
// Whole loads against files

using testing_modules::kDemo;

Bytes metadata(size_t length, const char* magic = "TNBM") {
    Bytes out(magic, magic + 4);
    out.resize(length, 0xA5);  // lengths below 4 cut the magic too
    return out;
}

// A module whose instruction section holds `count` Nops: bigger than any
// single read buffer when count is large.
Bytes nop_module(uint32_t count) {
    Bytes out = {'T', 'N', 'B', 'C', 1,  0, 0, 0, 0,  0, 0, 0, 28, 0, 0, 0,
                 28,  0,   0,   0,   28, 0, 0, 0, 32, 0, 0, 0, 0,  0, 0, 0};
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(count >> (8 * i)));
    out.insert(out.end(), count, 0x28);
    return out;
}

// What to put at a path inside the temporary directory.
struct Entry {
    enum class Kind { File, Directory, Symlink, Fifo } kind;
    std::string name;
    Bytes bytes;         // File
    std::string target;  // Symlink
    off_t length = -1;   // File: extended (sparse) to this length when set
};

Entry file(std::string name, Bytes bytes) { return {Entry::Kind::File, std::move(name), std::move(bytes), {}}; }
Entry directory(std::string name) { return {Entry::Kind::Directory, std::move(name), {}, {}}; }
Entry symlink_to(std::string name, std::string target) {
    return {Entry::Kind::Symlink, std::move(name), {}, std::move(target)};
}
Entry fifo(std::string name) { return {Entry::Kind::Fifo, std::move(name), {}, {}}; }
// `bytes`, then zeros up to `length` bytes, without writing them to disk.
Entry sparse_file(std::string name, Bytes bytes, off_t length) {
    return {Entry::Kind::File, std::move(name), std::move(bytes), {}, length};
}

struct LoadCase {
    const char* label;
    std::vector<Entry> entries;
    std::string caller_path;  // relative to the temporary directory
    std::string expected;     // error message, or "ok:" + module name
    size_t instructions = 0;  // checked on success
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.label; }

class LoadingFiles : public ::testing::TestWithParam<LoadCase> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnel-loading-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (dir_.empty()) return;
        // Remove what the case created, deepest last-created first.
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) std::remove(it->c_str());
        ::rmdir(dir_.c_str());
    }

    void create(const Entry& e) {
        const std::string path = dir_ + "/" + e.name;
        switch (e.kind) {
            case Entry::Kind::File: {
                std::ofstream out(path, std::ios::binary);
                out.write(reinterpret_cast<const char*>(e.bytes.data()), static_cast<std::streamsize>(e.bytes.size()));
                ASSERT_TRUE(out.good()) << path;
                out.close();
                if (e.length >= 0) {
                    ASSERT_EQ(::truncate(path.c_str(), e.length), 0) << path;
                }
                break;
            }
            case Entry::Kind::Directory:
                ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
                break;
            case Entry::Kind::Symlink:
                ASSERT_EQ(::symlink(e.target.c_str(), path.c_str()), 0) << path;
                break;
            case Entry::Kind::Fifo:
                ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
                break;
        }
        created_.push_back(path);
    }

    std::string dir_;
    std::vector<std::string> created_;
};

TEST_P(LoadingFiles, LoadsOrReportsExactError) {
    const LoadCase& c = GetParam();
    for (const Entry& e : c.entries) ASSERT_NO_FATAL_FAILURE(create(e));
    auto result = load_module_file(dir_ + "/" + c.caller_path);
    if (c.expected.rfind("ok:", 0) == 0) {
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(result.value().name, c.expected.substr(3));
        EXPECT_EQ(result.value().instructions.size(), c.instructions);
    } else {
        ASSERT_FALSE(result) << "loaded although it should fail";
        EXPECT_EQ(result.error().message(), c.expected);
    }
}

const Bytes kTooShortModule = {'T', 'N', 'B', 'C', 0, 0};
const std::string kNoFile = "IO error: No such file or directory (os error 2)";
const std::string kIsDirectory = "IO error: Is a directory (os error 21)";
const std::string kNotRegular = "IO error: not a regular file";
const std::string kTooLarge = "IO error: File too large (os error 27)";
constexpr off_t kLimit = static_cast<off_t>(kMaxModuleFileSize);

INSTANTIATE_TEST_SUITE_P(
    Loading, LoadingFiles,
    ::testing::Values(
        LoadCase{"no_metadata_is_fine", {file("prog.tnbc", kDemo)}, "prog", "ok:demo", 2},
        LoadCase{"caller_gives_module_path", {file("prog.tnbc", kDemo)}, "prog.tnbc", "ok:demo", 2},
        LoadCase{"other_extension_is_replaced", {file("prog.tnbc", kDemo)}, "prog.txt", "ok:demo", 2},
        LoadCase{"upper_case_extension_is_replaced",
                 {file("prog.tnbc", kDemo), file("prog.TNBC", {1, 2, 3})},
                 "prog.TNBC",
                 "ok:demo",
                 2},
        LoadCase{"trailing_separator_names_sibling_file", {file("prog.tnbc", kDemo)}, "prog/", "ok:demo", 2},
        LoadCase{"metadata_20_bytes_accepted",
                 {file("prog.tnbc", kDemo), file("prog.tnbm", metadata(20))},
                 "prog",
                 "ok:demo",
                 2},
        LoadCase{"metadata_long_accepted",
                 {file("prog.tnbc", kDemo), file("prog.tnbm", metadata(4096))},
                 "prog.txt",
                 "ok:demo",
                 2},
        LoadCase{"metadata_19_bytes",
                 {file("prog.tnbc", kDemo), file("prog.tnbm", metadata(19))},
                 "prog",
                 "Invalid bytecode format"},
        LoadCase{"metadata_empty",
                 {file("prog.tnbc", kDemo), file("prog.tnbm", {})},
                 "prog.tnbc",
                 "Invalid bytecode format"},
        LoadCase{"metadata_wrong_magic",
                 {file("prog.tnbc", kDemo), file("prog.tnbm", metadata(20, "TNBC"))},
                 "prog",
                 "Invalid magic number"},
        LoadCase{"metadata_wrong_magic_before_short_module",
                 {file("prog.tnbc", kTooShortModule), file("prog.tnbm", metadata(32, "XNBM"))},
                 "prog",
                 "Invalid magic number"},
        LoadCase{"metadata_short_before_bad_module",
                 {file("prog.tnbc", {'N', 'O', 'P', 'E'}), file("prog.tnbm", metadata(5))},
                 "prog",
                 "Invalid bytecode format"},
        LoadCase{"metadata_is_directory", {file("prog.tnbc", kDemo), directory("prog.tnbm")}, "prog", kIsDirectory},
        LoadCase{"metadata_from_caller_path",
                 {file("prog.tnbc", kDemo), file("prog.tnbm", metadata(3))},
                 "prog.txt",
                 "Invalid bytecode format"},
        LoadCase{"metadata_dangling_symlink_is_absent",
                 {file("prog.tnbc", kDemo), symlink_to("prog.tnbm", "nowhere")},
                 "prog",
                 "ok:demo",
                 2},
        LoadCase{"missing_module", {}, "prog", kNoFile},
        LoadCase{"missing_module_with_metadata", {file("prog.tnbm", metadata(20))}, "prog", kNoFile},
        LoadCase{"missing_module_with_bad_metadata", {file("prog.tnbm", metadata(2))}, "prog", kNoFile},
        LoadCase{"missing_module_directory", {}, "nodir/prog", kNoFile},
        LoadCase{"module_is_directory", {directory("prog.tnbc")}, "prog", kIsDirectory},
        LoadCase{"module_not_a_directory_component",
                 {file("plain", {})},
                 "plain/prog",
                 "IO error: Not a directory (os error 20)"},
        LoadCase{"module_empty", {file("prog.tnbc", {})}, "prog", "Invalid bytecode format"},
        LoadCase{"module_too_short", {file("prog.tnbc", kTooShortModule)}, "prog", "Invalid bytecode format"},
        LoadCase{"module_decode_error_surfaces", {file("prog.tnbc", Bytes(40, 0))}, "prog", "Invalid magic number"},
        LoadCase{"module_larger_than_read_buffer", {file("big.tnbc", nop_module(200000))}, "big", "ok:", 200000},
        // /proc files report a size of 0 and still have content: it must be
        // read to its end (the text does not start with the magic).
        LoadCase{
            "module_reporting_no_size", {symlink_to("proc.tnbc", "/proc/self/status")}, "proc", "Invalid magic number"},
        // Only regular files load: a FIFO without a writer would block the
        // open, and a device like /dev/zero never ends.
        LoadCase{"module_fifo", {fifo("prog.tnbc")}, "prog", kNotRegular},
        LoadCase{"metadata_fifo", {file("prog.tnbc", kDemo), fifo("prog.tnbm")}, "prog", kNotRegular},
        LoadCase{"module_dev_zero", {symlink_to("prog.tnbc", "/dev/zero")}, "prog", kNotRegular},
        LoadCase{"metadata_dev_urandom",
                 {file("prog.tnbc", kDemo), symlink_to("prog.tnbm", "/dev/urandom")},
                 "prog",
                 kNotRegular},
        LoadCase{"module_dev_null", {symlink_to("prog.tnbc", "/dev/null")}, "prog", kNotRegular},
        LoadCase{"module_over_size_limit", {sparse_file("prog.tnbc", kDemo, kLimit + 1)}, "prog", kTooLarge},
        LoadCase{"module_at_size_limit", {sparse_file("prog.tnbc", kDemo, kLimit)}, "prog", "ok:demo", 2},
        // Only the start of a metadata file matters, whatever its length.
        LoadCase{"metadata_huge_is_read_in_part",
                 {file("prog.tnbc", kDemo), sparse_file("prog.tnbm", metadata(20), kLimit * 16)},
                 "prog",
                 "ok:demo",
                 2},
        LoadCase{"nul_in_path",
                 {file("prog.tnbc", kDemo)},
                 std::string("prog\0x", 6),
                 "IO error: file name contained an unexpected NUL byte"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(LoadingFilesNul, NulThatSurvivesThePathRuleIsReported) {
    // A NUL in the stem or in a directory stays in the module path and is
    // refused before anything is opened.
    for (const std::string& path : {std::string("prog\0", 5), std::string("\0prog", 5), std::string("\0", 1),
                                    std::string("di\0r/prog.tnbc", 14)}) {
        auto result = load_module_file(path);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "IO error: file name contained an unexpected NUL byte");
    }
}

TEST(LoadingPathRuleNul, NulInsideTheExtensionGoesWithIt) {
    // The extension "tnbc\0" is not "tnbc", so it is replaced as a whole.
    EXPECT_EQ(with_extension(std::string("prog.tnbc\0", 10), "tnbc"), "prog.tnbc");
    EXPECT_EQ(with_extension(std::string("prog.t\0x", 8), "tnbm"), "prog.tnbm");
    EXPECT_EQ(with_extension(std::string("pr\0og", 5), "tnbc"), std::string("pr\0og.tnbc", 10));
}

}  // namespace
}  // namespace tarnel
