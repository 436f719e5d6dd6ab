// SPDX-License-Identifier: GPL-3.0-or-later
// Key-path parsing, element look-up and value conversion for the configuration
// library. Look-ups walk only the path's own depth, so a deeply nested document costs
// nothing extra here; the element index makes each step of that walk a hash look-up.
// No shared state.
#include "key_path.h"

#include <climits>
#include <cstring>

namespace zvrxml {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int digit_value(char c, bool hex) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (hex && c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (hex && c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::optional<std::vector<PathPart>> parse_key_path(std::string_view path) {
    constexpr std::string_view prefix = "/root/";
    if (path.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    std::vector<PathPart> parts;
    std::string_view rest = path.substr(prefix.size());
    for (;;) {
        std::size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        std::size_t at = part.find('@');
        PathPart p;
        p.element = std::string(part.substr(0, at));
        if (p.element.empty()) {
            return std::nullopt;  // "//", a trailing "/", or "@name" without an element
        }
        if (at != std::string_view::npos) {
            p.name = std::string(part.substr(at + 1));
        }
        parts.push_back(std::move(p));
        if (slash == std::string_view::npos) {
            break;
        }
        rest = rest.substr(slash + 1);
    }
    return parts;
}

pugi::xml_node resolve(pugi::xml_node root, const std::vector<PathPart> &parts) {
    pugi::xml_node node = root;
    for (const PathPart &part : parts) {
        pugi::xml_node found;
        for (pugi::xml_node child = node.child(part.element.c_str()); child;
             child = child.next_sibling(part.element.c_str())) {
            if (!part.name) {
                found = child;
                break;
            }
            pugi::xml_attribute name = child.attribute("name");
            if (name && *part.name == name.value()) {
                found = child;
                break;
            }
        }
        if (!found) {
            return {};
        }
        node = found;
    }
    return node;
}

ElementIndex::ElementIndex(pugi::xml_node root) : root_(root) {
    // Depth first over every node that can have children. emplace keeps the first entry
    // of a key, which is the first matching sibling in document order, as resolve takes.
    std::vector<pugi::xml_node> pending{root};
    while (!pending.empty()) {
        pugi::xml_node parent = pending.back();
        pending.pop_back();
        for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
            std::string_view element = child.name();
            if (element.empty()) {
                continue;  // text, CDATA, comments: nothing a path names
            }
            children_.emplace(Key{parent.internal_object(), element, false, {}}, child);
            if (pugi::xml_attribute name = child.attribute("name")) {
                children_.emplace(Key{parent.internal_object(), element, true, name.value()}, child);
            }
            if (child.first_child()) {
                pending.push_back(child);
            }
        }
    }
}

std::size_t ElementIndex::KeyHash::operator()(const Key &k) const noexcept {
    std::size_t h = std::hash<const void *>{}(k.parent);
    for (std::size_t part : {std::hash<std::string_view>{}(k.element), std::hash<std::string_view>{}(k.name),
                             static_cast<std::size_t>(k.named)}) {
        h ^= part + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    return h;
}

pugi::xml_node ElementIndex::resolve(const std::vector<PathPart> &parts) const {
    pugi::xml_node node = root_;
    for (const PathPart &part : parts) {
        Key key{node.internal_object(), part.element, part.name.has_value(),
                part.name ? std::string_view(*part.name) : std::string_view()};
        auto it = children_.find(key);
        if (it == children_.end()) {
            return {};
        }
        node = it->second;
    }
    return node;
}

bool has_element_child(pugi::xml_node node) {
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_element) {
            return true;
        }
    }
    return false;
}

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string value_text(pugi::xml_node node) {
    std::string text;
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            text += child.value();
        }
    }
    return std::string(trim_blanks(text));
}

IntStatus parse_int(std::string_view text, int &value) {
    text = trim_blanks(text);
    bool negative = false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) {
        text.remove_prefix(2);
    } else if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return IntStatus::not_int;
    }
    // Accumulate in 64 bits and stop growing past 2^32: enough to tell "too big" from
    // "fits", and no digit count can overflow the accumulator.
    long long magnitude = 0;
    for (char c : text) {
        int d = digit_value(c, hex);
        if (d < 0) {
            return IntStatus::not_int;
        }
        if (magnitude <= (1LL << 32)) {
            magnitude = magnitude * (hex ? 16 : 10) + d;
        }
    }
    long long signed_value = negative ? -magnitude : magnitude;
    if (signed_value < INT_MIN || signed_value > INT_MAX) {
        return IntStatus::out_of_range;
    }
    value = static_cast<int>(signed_value);
    return IntStatus::ok;
}

}  // namespace zvrxml
