// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the cluster layout from the configuration file with pugixml.
#include "cluster_layout.h"

#include <pugixml.hpp>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavikctl {

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(path + ": cannot open: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<int> child_int(const pugi::xml_node &node, const char *name) {
    pugi::xml_node child = node.child(name);
    if (!child) {
        return std::nullopt;
    }
    return parse_config_int(child.text().get());
}

}  // namespace

std::optional<int> parse_config_int(const std::string &text) {
    const char *begin = text.c_str();
    while (*begin == ' ' || *begin == '\t' || *begin == '\n' || *begin == '\r') {
        ++begin;
    }
    if (*begin == '\0') {
        return std::nullopt;
    }
    bool hex = begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X');
    errno = 0;
    char *end = nullptr;
    long long value = hex ? std::strtoll(begin + 2, &end, 16) : std::strtoll(begin, &end, 10);
    if (errno != 0 || end == begin || (hex && end == begin + 2)) {
        return std::nullopt;
    }
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') {
        ++end;
    }
    if (*end != '\0' || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

int line_of_offset(const std::string &text, std::ptrdiff_t offset) {
    int line = 1;
    for (std::ptrdiff_t i = 0; i < offset && i < static_cast<std::ptrdiff_t>(text.size()); ++i) {
        if (text[static_cast<size_t>(i)] == '\n') {
            ++line;
        }
    }
    return line;
}

ClusterLayout load_cluster_layout(const std::string &path) {
    std::string text = read_file(path);
    pugi::xml_document doc;
    // No DOCTYPE handling beyond skipping it: pugixml never expands external entities.
    pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size(), pugi::parse_default);
    if (!parsed) {
        throw std::runtime_error(path + ":" + std::to_string(line_of_offset(text, parsed.offset)) +
                                 ": malformed XML: " + parsed.description());
    }
    pugi::xml_node root = doc.child("root");
    if (!root) {
        throw std::runtime_error(path + ": the document element is not <root>");
    }

    ClusterLayout layout;
    layout.path = path;
    for (pugi::xml_node server : root.children("server")) {
        ServerEntry entry;
        entry.name = server.attribute("name").value();
        entry.priority = child_int(server, "priority");
        entry.line = line_of_offset(text, server.offset_debug());
        for (pugi::xml_node device : server.children("device")) {
            std::optional<int> id = parse_config_int(device.attribute("name").value());
            if (id) {
                entry.device_address[*id] = device.child("info").text().get();
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
            entry.name = resource.attribute("name").value();
            entry.priority = child_int(resource, "priority");
            entry.device = child_int(resource, "device");
            entry.line = line_of_offset(text, resource.offset_debug());
            layout.resources.push_back(std::move(entry));
        }
    }
    return layout;
}

}  // namespace tavikctl
