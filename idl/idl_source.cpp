// SPDX-License-Identifier: Apache-2.0
// Source files, diagnostics with source excerpts, and "did you mean" suggestions.
#include "idl_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivtool::idl {

std::string_view SourceFile::lineText(uint32_t line) const {
    if (line == 0 || line > lineStarts.size()) return {};
    size_t begin = lineStarts[line - 1];
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin && text[end - 1] == '\r') --end;
    return std::string_view(text).substr(begin, end - begin);
}

FileText FileText::failed(std::string why, bool missing) {
    FileText text;
    text.failure = std::move(why);
    text.missing = missing;
    return text;
}

namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string tooLarge(size_t limit) {
    bool mebibytes = limit % (size_t{1} << 20) == 0;
    return "too large (the limit is " +
           (mebibytes ? std::to_string(limit >> 20) + " MiB)" : std::to_string(limit) + " bytes)");
}

FileText readRegularFile(const std::string &path, size_t limit) {
    // Non-blocking, so that opening a FIFO does not wait for a writer; the kind check follows.
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        int error = errno;
        return FileText::failed(std::strerror(error), error == ENOENT || error == ENOTDIR);
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return FileText::failed(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return FileText::failed("not a regular file");
    if (static_cast<uint64_t>(st.st_size) > limit) return FileText::failed(tooLarge(limit));
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t have = 0;
    // The file may change while it is read: stop at the limit whatever its size said.
    for (;;) {
        if (have == text.size()) {
            if (have > limit) return FileText::failed(tooLarge(limit));
            text.resize(std::min(limit + 1, have + 65536));
        }
        ssize_t n = read(fd.get(), text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FileText::failed(std::strerror(errno));
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    text.resize(have);
    return text;
}

}  // namespace

FileReader diskReader(size_t limit) {
    return [limit](const std::string &path) { return readRegularFile(path, limit); };
}

uint32_t SourceSet::load(const std::string &path) {
    failure_.clear();
    missing_ = false;
    for (auto &[name, index] : loaded_)
        if (name == path) return index;
    FileText text = reader_(path);
    if (!text) {
        missing_ = text.missing || text.failure.empty();
        failure_ = text.failure.empty() ? std::strerror(ENOENT) : text.failure;
        return 0;
    }
    if (totalBytes_ + text->size() > kMaxSourceBytes) {
        failure_ = "too large: the sources of one compile are limited to " +
                   std::to_string(kMaxSourceBytes >> 20) + " MiB together";
        return 0;
    }
    totalBytes_ += text->size();
    uint32_t index = add(path, std::move(*text));
    loaded_.emplace_back(path, index);
    return index;
}

uint32_t SourceSet::add(const std::string &name, std::string text) {
    auto file = std::make_unique<SourceFile>();
    file->name = name;
    file->text = std::move(text);
    file->lineStarts.push_back(0);
    for (size_t i = 0; i < file->text.size(); ++i)
        if (file->text[i] == '\n') file->lineStarts.push_back(static_cast<uint32_t>(i + 1));
    files_.push_back(std::move(file));
    return static_cast<uint32_t>(files_.size() - 1);
}

void Diagnostics::emit(Location at, const char *severity, const std::string &message) {
    const SourceFile &file = sources_.file(at.file);
    text_ += file.name + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " +
             severity + ": " + message + "\n";
    std::string_view line = file.lineText(at.line);
    if (line.empty() && at.column <= 1) return;
    text_.append(line).append("\n");
    // Tabs stay tabs so that the caret lines up in a terminal.
    for (uint32_t i = 1; i < at.column; ++i)
        text_ += i - 1 < line.size() && line[i - 1] == '\t' ? '\t' : ' ';
    text_ += "^\n";
}

void Diagnostics::error(Location at, const std::string &message) {
    if (full()) return;
    ++errors_;
    if (at.known())
        emit(at, "error", message);
    else
        text_ += "error: " + message + "\n";
    if (full() && !limitReported_) {
        limitReported_ = true;
        text_ += "too many errors (" + std::to_string(limit_) + "); stopping\n";
    }
}

void Diagnostics::warning(Location at, const std::string &message) {
    if (limitReported_) return;
    ++warnings_;
    if (at.known())
        emit(at, "warning", message);
    else
        text_ += "warning: " + message + "\n";
}

void Diagnostics::note(Location at, const std::string &message) {
    if (limitReported_) return;
    if (at.known())
        emit(at, "note", message);
    else
        text_ += "note: " + message + "\n";
}

void Diagnostics::error(const std::string &where, const std::string &message) {
    if (full()) return;
    ++errors_;
    text_ += where + ": error: " + message + "\n";
    if (full() && !limitReported_) {
        limitReported_ = true;
        text_ += "too many errors (" + std::to_string(limit_) + "); stopping\n";
    }
}

void Diagnostics::note(const std::string &where, const std::string &message) {
    if (!limitReported_) text_ += where + ": note: " + message + "\n";
}

namespace {

bool sameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

// The case-insensitive edit distance of `a` and `b` when it is at most `limit`, else limit + 1.
// Only the diagonal band of half-width `limit` can hold such paths, so the work is
// O(|a| * limit) instead of O(|a| * |b|).
size_t editDistanceWithin(std::string_view a, std::string_view b, size_t limit) {
    size_t over = limit + 1;
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return over;
    std::vector<size_t> row(b.size() + 1, over), next(b.size() + 1, over);
    for (size_t j = 0; j <= std::min(b.size(), limit); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t from = i > limit ? i - limit : 1;
        size_t to = std::min(b.size(), i + limit);
        // Cells just outside the band read as too costly in the next row.
        next[from - 1] = from == 1 ? std::min(i, over) : over;
        if (to < b.size()) next[to + 1] = over;
        size_t best = next[from - 1];
        for (size_t j = from; j <= to; ++j) {
            size_t cost = row[j - 1] + (sameLetter(a[i - 1], b[j - 1]) ? 0 : 1);
            cost = std::min({cost, row[j] + 1, next[j - 1] + 1});
            next[j] = std::min(cost, over);
            best = std::min(best, next[j]);
        }
        if (best > limit) return over;  // every path already costs too much
        row.swap(next);
    }
    return row[b.size()];
}

// Names longer than this get no suggestion: nobody mistypes one of them by a letter or two.
constexpr size_t kLongestSuggestedName = 256;

}  // namespace

std::optional<std::string> closest(std::string_view name,
                                   const std::vector<std::string> &candidates) {
    if (name.size() > kLongestSuggestedName) return std::nullopt;
    // About one edit in three characters still reads as a typo, not another word.
    size_t limit = std::max<size_t>(1, name.size() / 3);
    std::optional<std::string> found;
    for (const std::string &candidate : candidates) {
        if (candidate == name) continue;
        size_t d = editDistanceWithin(name, candidate, limit);
        if (d <= limit) {
            found = candidate;
            if (d == 0) break;
            limit = d - 1;  // only a closer candidate replaces this one
        }
    }
    return found;
}

}  // namespace kivtool::idl
