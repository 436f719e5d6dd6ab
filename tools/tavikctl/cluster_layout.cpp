// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the cluster layout from the configuration file with pugixml. The file is read
// with the configuration library's limits (regular file, size cap, no DOCTYPE), so that
// tavikctl never accepts a file the daemon would refuse.
#include "cluster_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <pugixml.hpp>
#include <stdexcept>
#include <string_view>

#include "zvrxml.h"

namespace tavikctl {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

// An element's value as the configuration library reads it: all its direct text and
// CDATA, blanks trimmed.
std::optional<std::string> child_text(const pugi::xml_node &node, const char *name) {
    pugi::xml_node child = node.child(name);
    if (!child) {
        return std::nullopt;
    }
    std::string text;
    for (pugi::xml_node part : child.children()) {
        if (part.type() == pugi::node_pcdata || part.type() == pugi::node_cdata) {
            text += part.value();
        }
    }
    return trimmed(text);
}

std::optional<int> int_of(const std::optional<std::string> &text) {
    return text ? parse_config_int(*text) : std::nullopt;
}

[[noreturn]] void fail(const std::string &path, const std::string &why) {
    throw std::runtime_error(path + ": " + why);
}

}  // namespace

std::string read_config_text(const std::string &path) {
    // O_NONBLOCK keeps a FIFO from hanging the open; anything but a regular file is
    // refused right after.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fail(path, std::string("cannot open: ") + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        fail(path, std::string("cannot stat: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        fail(path, "not a regular file");
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail(path, std::string("cannot read: ") + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(got));
        if (text.size() > XMLLIB_MAX_FILE_SIZE) {
            fail(path, "larger than the limit of " + std::to_string(XMLLIB_MAX_FILE_SIZE) + " bytes");
        }
    }
    return text;
}

std::optional<int> parse_config_int(const std::string &text) {
    std::string_view s = text;
    while (!s.empty() && is_blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    bool negative = false;
    if (hex) {
        s.remove_prefix(2);
    } else if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) {
        return std::nullopt;
    }
    long long magnitude = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9'          ? c - '0'
                : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
        if (d < 0) {
            return std::nullopt;
        }
        if (magnitude <= (1LL << 32)) {  // past this it only has to stay "too big"
            magnitude = magnitude * (hex ? 16 : 10) + d;
        }
    }
    long long value = negative ? -magnitude : magnitude;
    if (value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

int line_of_offset(const std::string &text, std::ptrdiff_t offset) {
    return LineIndex(text).line_of(offset);
}

LineIndex::LineIndex(const std::string &text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            newlines_.push_back(static_cast<std::ptrdiff_t>(i));
        }
    }
}

int LineIndex::line_of(std::ptrdiff_t offset) const {
    // Lines before offset = newlines strictly before it.
    auto before = std::lower_bound(newlines_.begin(), newlines_.end(), offset);
    return 1 + static_cast<int>(before - newlines_.begin());
}

ClusterLayout load_cluster_layout(const std::string &path) {
    std::string text = read_config_text(path);
    pugi::xml_document doc;
    LineIndex lines(text);
    pugi::xml_parse_result parsed = doc.load_buffer(
        text.data(), text.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8);
    if (!parsed) {
        throw std::runtime_error(path + ":" + std::to_string(lines.line_of(parsed.offset)) +
                                 ": malformed XML: " + parsed.description());
    }
    for (pugi::xml_node node : doc.children()) {
        if (node.type() == pugi::node_doctype) {
            throw std::runtime_error(path + ":" + std::to_string(lines.line_of(node.offset_debug())) +
                                     ": a DOCTYPE is not accepted");
        }
    }
    pugi::xml_node root = doc.child("root");
    if (!root) {
        throw std::runtime_error(path + ": the document element is not <root>");
    }

    ClusterLayout layout;
    layout.path = path;
    for (pugi::xml_node server : root.children("server")) {
        ServerEntry entry;
        entry.has_name = static_cast<bool>(server.attribute("name"));
        entry.name = server.attribute("name").value();
        entry.priority_text = child_text(server, "priority");
        entry.priority = int_of(entry.priority_text);
        entry.line = lines.line_of(server.offset_debug());
        for (pugi::xml_node child : server.children()) {
            if (child.type() != pugi::node_element) {
                continue;
            }
            std::string_view kind = child.name();
            if (kind == "device") {
                DeviceEntry device;
                device.id_text = child.attribute("name").value();
                device.id = parse_config_int(device.id_text);
                device.address = child_text(child, "info");
                device.line = lines.line_of(child.offset_debug());
                if (device.id && device.address) {
                    entry.device_address.emplace(*device.id, *device.address);  // the first stays
                }
                entry.devices.push_back(std::move(device));
            } else if (kind != "priority") {
                entry.stray.push_back({child.name(), lines.line_of(child.offset_debug())});
            }
        }
        layout.servers.push_back(std::move(entry));
    }
    for (pugi::xml_node heartbeat : root.children("heartbeat")) {
        for (pugi::xml_node resource : heartbeat.children()) {
            if (resource.type() != pugi::node_element) {
                continue;
            }
            ResourceEntry entry;
            entry.type = resource.name();
            entry.has_name = static_cast<bool>(resource.attribute("name"));
            entry.name = resource.attribute("name").value();
            entry.priority_text = child_text(resource, "priority");
            entry.priority = int_of(entry.priority_text);
            entry.device_text = child_text(resource, "device");
            entry.device = int_of(entry.device_text);
            entry.line = lines.line_of(resource.offset_debug());
            entry.section = layout.heartbeat_sections;
            for (pugi::xml_node child : resource.children()) {
                std::string_view kind = child.name();
                if (child.type() == pugi::node_element && kind != "priority" && kind != "device") {
                    entry.stray.push_back({child.name(), lines.line_of(child.offset_debug())});
                }
            }
            layout.resources.push_back(std::move(entry));
        }
        ++layout.heartbeat_sections;
    }
    return layout;
}

}  // namespace tavikctl
