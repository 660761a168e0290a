// A small, strict XML reader for the documents the player reads from a
// download (an appliance's OVF envelope): the whole text becomes a tree of
// elements with their namespaces resolved. Nothing is ever fetched or
// expanded: a document type declaration is refused, and so is every entity
// but the five predefined ones and character references. Size, depth,
// element and attribute counts are bounded, so a hostile document costs
// little time and memory. Pure logic.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct XmlAttribute {
  std::string space;  // the namespace URI; empty for an attribute without prefix
  std::string local;
  std::string value;  // references replaced
};

struct XmlElement {
  std::string space;  // the namespace URI; empty outside every namespace
  std::string local;
  std::vector<XmlAttribute> attributes;
  std::string text;  // the element's own character data, joined
  std::vector<XmlElement> children;

  // The value of the attribute, or null.
  const std::string* Attribute(std::string_view space, std::string_view local) const;
  // The first child of that local name in any namespace, or null.
  const XmlElement* Child(std::string_view local) const;
};

enum class XmlFault {
  kNone,
  kTooLarge,
  kMalformed,  // not well-formed (also bytes after the root, a bad reference)
  kDoctype,    // a document type declaration
  kEntity,     // an entity other than the predefined ones
  kTooDeep,
  kTooManyElements,
  kTooManyAttributes,
  kUnboundPrefix,
};

struct XmlDocument {
  XmlFault fault = XmlFault::kNone;
  XmlElement root;  // empty on a fault
};

// Bounds of what is read.
inline constexpr std::size_t kMaximumXmlBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaximumXmlDepth = 64;
inline constexpr std::size_t kMaximumXmlElements = 100000;
inline constexpr std::size_t kMaximumXmlAttributes = 64;  // on one element

// The document in `text` (UTF-8, an optional byte order mark before it).
XmlDocument ReadXmlDocument(std::string_view text);
