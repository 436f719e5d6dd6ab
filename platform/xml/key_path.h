// SPDX-License-Identifier: GPL-3.0-or-later
// Key paths and values. "/root/a/b@x/c" names the element c inside the first b whose
// name attribute is x, inside the first a, inside the document element <root>. A part
// is split at its first '@', so a name may itself hold '@' but never '/'. A part
// without '@' takes the first element of that name whatever its attributes; "b@" takes
// the first b whose name attribute is present and empty. A key's value is the text
// directly inside its element, with surrounding blanks removed; an element that holds
// elements has no value.
// Pure functions; safe from any thread on documents nobody modifies.
#pragma once

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zvrxml {

struct PathPart {
    std::string element;
    std::optional<std::string> name;  // the value after '@', when there is one
};

// The parts after "/root". Empty when path is not a key path: it must start with
// "/root/", and no part (nor the element before an '@') may be empty.
std::optional<std::vector<PathPart>> parse_key_path(std::string_view path);

// The element the parts name below the document element root, or a null node.
pugi::xml_node resolve(pugi::xml_node root, const std::vector<PathPart> &parts);

// The same look-up through an index of the document, built once: each part then costs
// one hash look-up instead of a walk over its siblings, which matters at the cluster's
// limits (32 servers of 128 devices each hold 4096 addresses, and table construction
// reads every one). The index holds views into the document's strings, so it lives no
// longer than the document and the document must not change while it does. Read-only
// after construction: safe from any thread.
class ElementIndex {
  public:
    explicit ElementIndex(pugi::xml_node root);
    // The element resolve(root, parts) gives, or a null node.
    pugi::xml_node resolve(const std::vector<PathPart> &parts) const;

  private:
    struct Key {
        const void *parent;
        std::string_view element;
        bool named;  // whether the part had an '@'; name is then the attribute's value
        std::string_view name;
        bool operator==(const Key &) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key &k) const noexcept;
    };
    pugi::xml_node root_;
    std::unordered_map<Key, pugi::xml_node, KeyHash> children_;
};

// Whether an element holds other elements (and so no value).
bool has_element_child(pugi::xml_node node);

// The element's direct text (all its text and CDATA children, in order), trimmed of
// XML blanks (space, tab, CR, LF).
std::string value_text(pugi::xml_node node);

std::string_view trim_blanks(std::string_view text);

enum class IntStatus { ok, not_int, out_of_range };

// A 32-bit integer as the configuration writes it: optional sign and decimal digits, or
// 0x / 0X and hexadecimal digits (no sign); blanks around it are allowed; the number
// must lie in INT_MIN..INT_MAX. Junk anywhere makes it not_int, even when the digits
// alone would overflow.
IntStatus parse_int(std::string_view text, int &value);

}  // namespace zvrxml
