// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and checking one XML file for the configuration library. pugixml never
// fetches anything and never expands entities other than the five predefined ones and
// character references, but it is lenient where XML is strict (text or a second element
// after the document element, duplicate attributes, control characters, references to
// U+0000 that silently cut a value short); those are refused here so that what the
// daemon reads is exactly what the file says. No shared state.
#include "xml_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "file_trust.h"

namespace zvrxml {

namespace {

std::string errno_text(int err) {
    return std::strerror(err);
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::string at(const std::string &origin, const std::string &text, std::size_t offset) {
    TextPosition pos = position_of(text, offset);
    return origin + ":" + std::to_string(pos.line) + ":" + std::to_string(pos.column);
}

bool allowed_code_point(unsigned long cp) {
    if (cp < 0x20) {
        return cp == 0x09 || cp == 0x0a || cp == 0x0d;
    }
    return !(cp >= 0xd800 && cp <= 0xdfff) && cp != 0xfffe && cp != 0xffff && cp <= 0x10ffff;
}

// Length of the well-formed UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t utf8_length(std::string_view text, std::size_t i, unsigned long &cp) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b = byte(i);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
    if (len == 0 || i + len > text.size()) {
        return 0;
    }
    cp = len == 1 ? b : b & (0x7f >> len);
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    static constexpr unsigned long min_for_length[] = {0, 0, 0x80, 0x800, 0x10000};
    return cp < min_for_length[len] ? 0 : len;  // overlong forms hide characters
}

// A character reference starting at text[i] ("&#...;"): its code point, or nothing when
// the text there is not a complete reference (pugixml then keeps it as literal text).
bool char_reference(std::string_view text, std::size_t i, unsigned long &cp) {
    std::size_t k = i + 2;
    bool hex = k < text.size() && (text[k] == 'x');
    k += hex ? 1 : 0;
    std::size_t digits = 0;
    cp = 0;
    for (; k < text.size(); ++k, ++digits) {
        char c = text[k];
        int d = c >= '0' && c <= '9'          ? c - '0'
                : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
        if (d < 0) {
            break;
        }
        cp = std::min(cp * (hex ? 16 : 10) + static_cast<unsigned long>(d), 0x7fffffffUL);
    }
    return digits > 0 && k < text.size() && text[k] == ';';
}

// Byte-level checks that pugixml does not make. Offset of the first fault, or npos.
std::size_t first_bad_character(std::string_view text, std::string &what) {
    std::size_t i = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    while (i < text.size()) {
        unsigned long cp = 0;
        std::size_t len = utf8_length(text, i, cp);
        if (len == 0) {
            what = "invalid UTF-8";
            return i;
        }
        if (!allowed_code_point(cp)) {
            what = cp == 0 ? "a NUL byte" : "a control character";
            return i;
        }
        if (text[i] == '&' && i + 1 < text.size() && text[i + 1] == '#' && char_reference(text, i, cp) &&
            !allowed_code_point(cp)) {
            what = "a character reference to a character XML does not allow";
            return i;
        }
        i += len;
    }
    return std::string_view::npos;
}

// Visits every element below and including top without recursion (documents may nest
// deeply) and returns the first one with a repeated attribute name.
pugi::xml_node first_with_duplicate_attribute(pugi::xml_node top, std::string &name) {
    std::vector<std::string_view> names;
    pugi::xml_node node = top;
    while (node) {
        if (node.type() == pugi::node_element) {
            names.clear();
            for (pugi::xml_attribute a : node.attributes()) {
                names.emplace_back(a.name());
            }
            std::sort(names.begin(), names.end());
            auto dup = std::adjacent_find(names.begin(), names.end());
            if (dup != names.end()) {
                name = std::string(*dup);
                return node;
            }
        }
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node != top && !node.next_sibling()) {
            node = node.parent();
        }
        node = node == top ? pugi::xml_node() : node.next_sibling();
    }
    return {};
}

}  // namespace

TextPosition position_of(const std::string &text, std::size_t offset) {
    TextPosition pos;
    std::size_t end = std::min(offset, text.size());
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++pos.line;
            pos.column = 1;
        } else {
            ++pos.column;
        }
    }
    return pos;
}

FileStatus read_file_limited(const std::string &path, std::size_t limit, std::string &text,
                             std::string &why) {
    Fd file;
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below anyway.
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file.fd < 0) {
        int err = errno;
        why = path + ": " + errno_text(err);
        return err == ENOENT || err == ENOTDIR ? FileStatus::missing : FileStatus::unreadable;
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) {
        why = path + ": " + errno_text(errno);
        return FileStatus::unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        why = path + ": not a regular file";
        return FileStatus::unreadable;
    }
    if (why = untrusted(path, st); !why.empty()) {
        return FileStatus::untrusted;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        why = path + ": " + std::to_string(st.st_size) + " bytes, more than the limit of " +
              std::to_string(limit);
        return FileStatus::too_large;
    }
    std::string data(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (data.size() > limit) {
                why = path + ": grew past the limit of " + std::to_string(limit) + " bytes while read";
                return FileStatus::too_large;
            }
            data.resize(std::min(data.size() * 2, limit + 1));
        }
        ssize_t got = ::read(file.fd, data.data() + used, data.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            why = path + ": " + errno_text(errno);
            return FileStatus::unreadable;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    if (used > limit) {
        why = path + ": grew past the limit of " + std::to_string(limit) + " bytes while read";
        return FileStatus::too_large;
    }
    data.resize(used);
    text = std::move(data);
    return FileStatus::ok;
}

FileStatus parse_document(const std::string &origin, const std::string &text, pugi::xml_document &doc,
                          std::string &why) {
    std::string what;
    std::size_t bad = first_bad_character(text, what);
    if (bad != std::string_view::npos) {
        why = at(origin, text, bad) + ": malformed XML: " + what;
        return FileStatus::malformed;
    }
    // parse_fragment and parse_doctype keep what pugixml would otherwise drop silently
    // around the document element, so that it can be refused.
    constexpr unsigned options =
        pugi::parse_default | pugi::parse_doctype | pugi::parse_fragment | pugi::parse_declaration;
    pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
    if (parsed.status == pugi::status_out_of_memory) {
        throw std::bad_alloc();
    }
    if (!parsed) {
        why = at(origin, text, static_cast<std::size_t>(parsed.offset)) +
              ": malformed XML: " + parsed.description();
        return FileStatus::malformed;
    }
    int elements = 0;
    bool first = true;
    for (pugi::xml_node node : doc.children()) {
        std::size_t offset = static_cast<std::size_t>(std::max<std::ptrdiff_t>(node.offset_debug(), 0));
        switch (node.type()) {
            case pugi::node_doctype:
                why = at(origin, text, offset) + ": a DOCTYPE is not accepted (no DTDs or entities)";
                return FileStatus::doctype;
            case pugi::node_declaration:
                if (!first) {
                    why = at(origin, text, offset) + ": malformed XML: an XML declaration after the start";
                    return FileStatus::malformed;
                }
                break;
            case pugi::node_element:
                if (++elements > 1) {
                    why = at(origin, text, offset) + ": malformed XML: a second document element <" +
                          node.name() + ">";
                    return FileStatus::malformed;
                }
                break;
            default:
                why = at(origin, text, offset) + ": malformed XML: text outside the document element";
                return FileStatus::malformed;
        }
        first = false;
    }
    if (elements == 0) {
        why = origin + ": malformed XML: no document element";
        return FileStatus::malformed;
    }
    std::string attribute;
    pugi::xml_node dup = first_with_duplicate_attribute(doc.document_element(), attribute);
    if (dup) {
        why = at(origin, text, static_cast<std::size_t>(std::max<std::ptrdiff_t>(dup.offset_debug(), 0))) +
              ": malformed XML: attribute '" + attribute + "' repeated in <" + dup.name() + ">";
        return FileStatus::malformed;
    }
    return FileStatus::ok;
}

}  // namespace zvrxml
