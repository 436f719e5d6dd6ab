// SPDX-License-Identifier: GPL-3.0-or-later
// Loading and validating policy files. A policy is refused whole at its first fault:
// a half-understood policy would gate reads wrongly. No shared state.
#include "policy.h"

#include <pugixml.hpp>

#include "key_path.h"
#include "xml_file.h"
#include "zvrxml.h"

namespace zvrxml {

namespace {

std::string where(const std::string &file, const std::string &text, pugi::xml_node node) {
    std::ptrdiff_t offset = node.offset_debug();
    return file + ":" +
           std::to_string(position_of(text, offset < 0 ? 0 : static_cast<std::size_t>(offset)).line);
}

}  // namespace

const PolicyKey *Policy::find(std::string_view path) const {
    auto it = index.find(path);
    return it == index.end() ? nullptr : &keys[it->second];
}

bool valid_policy_name(std::string_view name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool is_layout_root(std::string_view element) {
    return element == "heartbeat" || element == "server";
}

PolicyStatus load_policy_file(const std::string &dir, const std::string &name, Policy &policy,
                              std::string &why) {
    const std::string file = dir + "/" + name + ".xml";
    std::string text;
    switch (read_file_limited(file, XMLLIB_MAX_FILE_SIZE, text, why)) {
        case FileStatus::ok:
            break;
        case FileStatus::missing:
            why = "no policy \"" + name + "\": " + why;
            return PolicyStatus::unknown;
        default:
            return PolicyStatus::bad;
    }
    pugi::xml_document doc;
    if (parse_document(file, text, doc, why) != FileStatus::ok) {
        return PolicyStatus::bad;
    }
    pugi::xml_node top = doc.document_element();
    auto fail = [&](pugi::xml_node node, const std::string &fault) {
        why = where(file, text, node) + ": " + fault;
        return PolicyStatus::bad;
    };
    if (std::string_view(top.name()) != "policy") {
        return fail(top, "the document element is <" + std::string(top.name()) + ">, not <policy>");
    }
    if (name != top.attribute("name").value()) {
        return fail(top, "the policy's name attribute is \"" + std::string(top.attribute("name").value()) +
                             "\", not \"" + name + "\"");
    }
    std::string root_path = top.attribute("root").value();
    auto root_parts = parse_key_path(root_path);
    if (!root_parts || root_parts->size() != 1 || (*root_parts)[0].name ||
        is_layout_root((*root_parts)[0].element)) {
        return fail(top,
                    "root \"" + root_path + "\" is not of the form /root/NAME (nor heartbeat or server)");
    }

    Policy loaded;
    loaded.name = name;
    loaded.root = (*root_parts)[0].element;
    for (pugi::xml_node node : top.children()) {
        if (node.type() != pugi::node_element) {
            if (!trim_blanks(node.value()).empty()) {
                return fail(node, "text outside a <key>");
            }
            continue;
        }
        if (std::string_view(node.name()) != "key") {
            return fail(node, "<" + std::string(node.name()) + "> where a <key> belongs");
        }
        PolicyKey key;
        key.path = node.attribute("path").value();
        auto parts = parse_key_path(key.path);
        if (!parts || parts->size() < 2 || (*parts)[0].element != loaded.root || (*parts)[0].name) {
            return fail(node, "key \"" + key.path + "\" is not a key path below " + root_path);
        }
        std::string_view type = node.attribute("type").value();
        if (type == "int") {
            key.type = XMLLIB_TYPE_INT;
        } else if (type == "string") {
            key.type = XMLLIB_TYPE_STRING;
        } else {
            return fail(node, "key \"" + key.path + "\" has type \"" + std::string(type) +
                                  "\" (int or string expected)");
        }
        if (has_element_child(node)) {
            return fail(node, "key \"" + key.path + "\" holds elements; its text is its description");
        }
        key.description = value_text(node);
        if (!loaded.index.emplace(key.path, loaded.keys.size()).second) {
            return fail(node, "key \"" + key.path + "\" is declared twice");
        }
        loaded.keys.push_back(std::move(key));
    }
    policy = std::move(loaded);
    return PolicyStatus::ok;
}

}  // namespace zvrxml
