// SPDX-License-Identifier: Apache-2.0
// Source files of an IDL compile and the diagnostics that point into them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivtool::idl {

struct Location {
    uint32_t file = 0;  // index into SourceSet; 0 is "no file" (the command line, a library)
    uint32_t line = 0;
    uint32_t column = 0;
    bool known() const { return file != 0; }
};

struct SourceFile {
    std::string name;
    std::string text;
    std::vector<uint32_t> lineStarts;  // offset of each line's first byte
    std::string_view lineText(uint32_t line) const;
};

// The bytes of a file, or none with the reason. A reader that gives no reason means the file
// does not exist.
struct FileText : std::optional<std::string> {
    using std::optional<std::string>::optional;
    FileText(std::optional<std::string> text) : std::optional<std::string>(std::move(text)) {}
    static FileText failed(std::string why, bool missing = false);
    std::string failure;
    bool missing = false;  // nothing at the path: an include search goes on
};

// Reads a file into memory. Tests and the fuzzer give their own.
using FileReader = std::function<FileText(const std::string &path)>;

// The most one compile reads, in one file or all together: far beyond any IDL, and a bound on
// memory when a path names something else (a log, a disk image).
constexpr size_t kMaxSourceBytes = size_t{64} << 20;

// Reads regular files only (a FIFO or device is refused without blocking), up to `limit` bytes.
FileReader diskReader(size_t limit = kMaxSourceBytes);

class SourceSet {
  public:
    explicit SourceSet(FileReader reader) : reader_(std::move(reader)) { files_.emplace_back(); }
    // Loads `path` (once per path; the same index on later calls); 0 when unreadable, with the
    // reason in failure().
    uint32_t load(const std::string &path);
    const std::string &failure() const { return failure_; }
    bool missing() const { return missing_; }
    uint32_t add(const std::string &name, std::string text);
    const SourceFile &file(uint32_t index) const { return *files_[index]; }

  private:
    FileReader reader_;
    std::vector<std::unique_ptr<SourceFile>> files_;
    std::vector<std::pair<std::string, uint32_t>> loaded_;
    std::string failure_;
    bool missing_ = false;
    size_t totalBytes_ = 0;
};

// Collects "FILE:LINE:COL: error: message" lines with the source line and a caret.
class Diagnostics {
  public:
    Diagnostics(const SourceSet &sources, size_t limit) : sources_(sources), limit_(limit) {}
    void error(Location at, const std::string &message);
    // A problem that does not stop the compile; not counted as an error.
    void warning(Location at, const std::string &message);
    // Explains the previous error ("note: previous definition is here").
    void note(Location at, const std::string &message);
    // For an error without a source position (a library, the command line).
    void error(const std::string &where, const std::string &message);
    void note(const std::string &where, const std::string &message);
    size_t errors() const { return errors_; }
    size_t warnings() const { return warnings_; }
    // True once the limit is reached; the compile stops then.
    bool full() const { return limit_ && errors_ >= limit_; }
    const std::string &text() const { return text_; }

  private:
    void emit(Location at, const char *severity, const std::string &message);
    const SourceSet &sources_;
    size_t limit_;
    size_t errors_ = 0;
    size_t warnings_ = 0;
    bool limitReported_ = false;
    std::string text_;
};

// The closest of `candidates` to `name`, if one is close enough to be a likely typo.
std::optional<std::string> closest(std::string_view name,
                                   const std::vector<std::string> &candidates);

}  // namespace kivtool::idl
