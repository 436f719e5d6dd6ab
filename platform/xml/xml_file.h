// SPDX-License-Identifier: GPL-3.0-or-later
// Reading one XML file (the configuration or a policy) with the limits the
// configuration library promises: a size cap, regular files only, UTF-8 only, no DTD,
// exactly one document element, nothing outside it. The file is read whole before
// parsing, so a caller never sees half of a document.
// Free functions over their arguments; no shared state, safe from any thread.
#pragma once

#include <cstddef>
#include <pugixml.hpp>
#include <string>

namespace zvrxml {

enum class FileStatus {
    ok,
    missing,     // no such file (or a path component is missing)
    unreadable,  // cannot be opened or read, or not a regular file
    too_large,   // larger than the limit
    malformed,   // not well-formed, not UTF-8, or more than / other than one element
    doctype,     // has a DOCTYPE declaration
    untrusted,   // another user owns it or others may write it
};

// Reads path whole into text. At most limit bytes; a longer file is too_large even when
// it grew after it was opened. On failure why holds a sentence naming the path.
FileStatus read_file_limited(const std::string &path, std::size_t limit, std::string &text, std::string &why);

// Parses text into doc and checks the shape above. On failure why holds a sentence
// naming origin (the file name) and the line and column of the fault.
FileStatus parse_document(const std::string &origin, const std::string &text, pugi::xml_document &doc,
                          std::string &why);

// 1-based line and column of a byte offset in text.
struct TextPosition {
    int line = 1;
    int column = 1;
};
TextPosition position_of(const std::string &text, std::size_t offset);

}  // namespace zvrxml
