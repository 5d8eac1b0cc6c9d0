// SPDX-License-Identifier: Apache-2.0
// Source files, diagnostics with source excerpts, and "did you mean" suggestions.
#include "idl_source.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace kivtool::idl {

std::string_view SourceFile::lineText(uint32_t line) const {
    if (line == 0 || line > lineStarts.size()) return {};
    size_t begin = lineStarts[line - 1];
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin && text[end - 1] == '\r') --end;
    return std::string_view(text).substr(begin, end - begin);
}

FileReader diskReader() {
    return [](const std::string &path) -> std::optional<std::string> {
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream text;
        text << in.rdbuf();
        if (in.bad()) return std::nullopt;
        return text.str();
    };
}

uint32_t SourceSet::load(const std::string &path) {
    for (auto &[name, index] : loaded_)
        if (name == path) return index;
    std::optional<std::string> text = reader_(path);
    if (!text) return 0;
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

size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::optional<std::string> closest(std::string_view name,
                                   const std::vector<std::string> &candidates) {
    // About one edit in three characters still reads as a typo, not another word.
    size_t best = std::max<size_t>(1, name.size() / 3) + 1;
    std::optional<std::string> found;
    for (const std::string &candidate : candidates) {
        if (candidate == name) continue;
        size_t d = editDistance(name, candidate);
        if (d < best) {
            best = d;
            found = candidate;
        }
    }
    return found;
}

}  // namespace kivtool::idl
