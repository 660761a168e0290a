#include "player/xml_document.h"

#include <cstdint>
#include <utility>

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == ':' || c == '-' || c == '.';
}

bool IsNameStart(char c) {
  return IsNameChar(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.';
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code >> 6));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code >> 12));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code >> 18));
    out->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// A name as written, split at its colon.
struct QualifiedName {
  std::string_view prefix;
  std::string_view local;
};

QualifiedName Split(std::string_view name) {
  const std::size_t colon = name.find(':');
  if (colon == std::string_view::npos) return {{}, name};
  return {name.substr(0, colon), name.substr(colon + 1)};
}

class XmlReader {
 public:
  explicit XmlReader(std::string_view text) : text_(text) {}

  XmlDocument Read() {
    XmlDocument document;
    if (text_.size() > kMaximumXmlBytes) return Failed(XmlFault::kTooLarge);
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
    if (!SkipMisc()) return Failed(fault_);
    if (!Take('<')) return Failed(XmlFault::kMalformed);
    if (!ReadElement(&document.root, 1)) return Failed(fault_);
    if (!SkipMisc() || at_ != text_.size()) return Failed(Fault(XmlFault::kMalformed));
    return document;
  }

 private:
  XmlDocument Failed(XmlFault fault) {
    XmlDocument document;
    document.fault = fault == XmlFault::kNone ? XmlFault::kMalformed : fault;
    return document;
  }

  XmlFault Fault(XmlFault fault) {
    if (fault_ == XmlFault::kNone) fault_ = fault;
    return fault_;
  }
  bool Fails(XmlFault fault) {
    Fault(fault);
    return false;
  }

  bool AtEnd() const { return at_ >= text_.size(); }
  bool Ahead(std::string_view what) const { return text_.substr(at_, what.size()) == what; }
  bool Take(char c) {
    if (AtEnd() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(text_[at_])) ++at_;
  }

  // Up to and past `end`; false when it never comes.
  bool SkipPast(std::string_view end) {
    const std::size_t found = text_.find(end, at_);
    if (found == std::string_view::npos) return Fails(XmlFault::kMalformed);
    at_ = found + end.size();
    return true;
  }

  // Blanks, comments and processing instructions (the XML declaration
  // among them) outside the root; stops before the next '<' of anything else.
  bool SkipMisc() {
    while (true) {
      SkipSpace();
      if (Ahead("<!--")) {
        if (!SkipPast("-->")) return false;
      } else if (Ahead("<?")) {
        if (!SkipPast("?>")) return false;
      } else if (Ahead("<!DOCTYPE") || Ahead("<!doctype")) {
        return Fails(XmlFault::kDoctype);
      } else if (Ahead("<!")) {
        return Fails(XmlFault::kMalformed);
      } else {
        return true;
      }
    }
  }

  bool ReadName(std::string_view* name) {
    const std::size_t start = at_;
    if (AtEnd() || !IsNameStart(text_[at_])) return Fails(XmlFault::kMalformed);
    while (!AtEnd() && IsNameChar(text_[at_])) ++at_;
    *name = text_.substr(start, at_ - start);
    // At most one colon, with a prefix before it and a local name after.
    const QualifiedName split = Split(*name);
    const bool prefixed = name->find(':') != std::string_view::npos;
    if (split.local.empty() || split.local.find(':') != std::string_view::npos ||
        (prefixed && split.prefix.empty())) {
      return Fails(XmlFault::kMalformed);
    }
    return true;
  }

  // "&...;" at at_, its replacement appended to `out`.
  bool ReadReference(std::string* out) {
    const std::size_t end = text_.find(';', at_);
    if (end == std::string_view::npos || end - at_ > 12) return Fails(XmlFault::kMalformed);
    const std::string_view name = text_.substr(at_ + 1, end - at_ - 1);
    at_ = end + 1;
    if (name == "lt") return out->push_back('<'), true;
    if (name == "gt") return out->push_back('>'), true;
    if (name == "amp") return out->push_back('&'), true;
    if (name == "quot") return out->push_back('"'), true;
    if (name == "apos") return out->push_back('\''), true;
    if (name.empty() || name.front() != '#') return Fails(XmlFault::kEntity);
    std::string_view digits = name.substr(1);
    int base = 10;
    if (!digits.empty() && digits.front() == 'x') {
      base = 16;
      digits.remove_prefix(1);
    }
    if (digits.empty()) return Fails(XmlFault::kMalformed);
    std::uint32_t code = 0;
    for (const char c : digits) {
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return Fails(XmlFault::kMalformed);
      code = code * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
      if (code > 0x10FFFF) return Fails(XmlFault::kMalformed);
    }
    // What XML allows as a character.
    const bool allowed = code == 0x9 || code == 0xA || code == 0xD ||
                         (code >= 0x20 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
                         code >= 0x10000;
    if (!allowed) return Fails(XmlFault::kMalformed);
    AppendUtf8(code, out);
    return true;
  }

  bool ReadAttributeValue(std::string* value) {
    if (AtEnd() || (text_[at_] != '"' && text_[at_] != '\'')) return Fails(XmlFault::kMalformed);
    const char quote = text_[at_++];
    while (!AtEnd() && text_[at_] != quote) {
      const char c = text_[at_];
      if (c == '<') return Fails(XmlFault::kMalformed);
      if (c == '&') {
        if (!ReadReference(value)) return false;
      } else {
        // Blanks in an attribute read as spaces, as every XML reader gives them.
        value->push_back(IsSpace(c) ? ' ' : c);
        ++at_;
      }
    }
    return Take(quote) || Fails(XmlFault::kMalformed);
  }

  // The namespaces an element declares, innermost last.
  struct Binding {
    std::string prefix;
    std::string uri;
  };

  bool Resolve(std::string_view prefix, bool isElement, std::string* uri) {
    if (prefix.empty() && !isElement) return true;
    if (prefix == "xml") {
      *uri = kXmlNamespace;
      return true;
    }
    for (auto binding = bindings_.rbegin(); binding != bindings_.rend(); ++binding) {
      if (binding->prefix == prefix) {
        *uri = binding->uri;
        if (!prefix.empty() && uri->empty()) break;
        return true;
      }
    }
    if (prefix.empty()) return true;  // no default namespace
    return Fails(XmlFault::kUnboundPrefix);
  }

  // After '<': the element's tag, content and end tag.
  bool ReadElement(XmlElement* element, std::size_t depth) {
    if (depth > kMaximumXmlDepth) return Fails(XmlFault::kTooDeep);
    if (++elements_ > kMaximumXmlElements) return Fails(XmlFault::kTooManyElements);
    std::string_view name;
    if (!ReadName(&name)) return false;
    const std::size_t outerBindings = bindings_.size();
    struct RawAttribute {
      std::string_view name;
      std::string value;
    };
    std::vector<RawAttribute> raw;
    bool empty = false;
    while (true) {
      const std::size_t before = at_;
      SkipSpace();
      if (Take('>')) break;
      if (Ahead("/>")) {
        at_ += 2;
        empty = true;
        break;
      }
      if (at_ == before) return Fails(XmlFault::kMalformed);  // no blank before a name
      std::string_view attributeName;
      if (!ReadName(&attributeName)) return false;
      SkipSpace();
      if (!Take('=')) return Fails(XmlFault::kMalformed);
      SkipSpace();
      std::string value;
      if (!ReadAttributeValue(&value)) return false;
      for (const RawAttribute& other : raw) {
        if (other.name == attributeName) return Fails(XmlFault::kMalformed);
      }
      if (raw.size() == kMaximumXmlAttributes) return Fails(XmlFault::kTooManyAttributes);
      if (attributeName == "xmlns") {
        bindings_.push_back({"", value});
      } else if (attributeName.substr(0, 6) == "xmlns:") {
        if (value.empty()) return Fails(XmlFault::kMalformed);
        bindings_.push_back({std::string(attributeName.substr(6)), value});
      }
      raw.push_back({attributeName, std::move(value)});
    }
    const QualifiedName elementName = Split(name);
    element->local = elementName.local;
    if (!Resolve(elementName.prefix, true, &element->space)) return false;
    for (RawAttribute& attribute : raw) {
      if (attribute.name == "xmlns" || attribute.name.substr(0, 6) == "xmlns:") continue;
      const QualifiedName split = Split(attribute.name);
      XmlAttribute resolved;
      resolved.local = split.local;
      resolved.value = std::move(attribute.value);
      if (!Resolve(split.prefix, false, &resolved.space)) return false;
      for (const XmlAttribute& other : element->attributes) {
        if (other.space == resolved.space && other.local == resolved.local) {
          return Fails(XmlFault::kMalformed);
        }
      }
      element->attributes.push_back(std::move(resolved));
    }
    if (!empty && !ReadContent(element, name, depth)) return false;
    bindings_.resize(outerBindings);
    return true;
  }

  bool ReadContent(XmlElement* element, std::string_view name, std::size_t depth) {
    while (true) {
      if (AtEnd()) return Fails(XmlFault::kMalformed);
      const char c = text_[at_];
      if (c == '&') {
        if (!ReadReference(&element->text)) return false;
      } else if (c != '<') {
        element->text.push_back(c);
        ++at_;
      } else if (Ahead("</")) {
        at_ += 2;
        std::string_view endName;
        if (!ReadName(&endName)) return false;
        SkipSpace();
        if (endName != name || !Take('>')) return Fails(XmlFault::kMalformed);
        return true;
      } else if (Ahead("<!--")) {
        if (!SkipPast("-->")) return false;
      } else if (Ahead("<![CDATA[")) {
        const std::size_t start = at_ + 9;
        if (!SkipPast("]]>")) return false;
        element->text.append(text_.substr(start, at_ - 3 - start));
      } else if (Ahead("<!DOCTYPE")) {
        return Fails(XmlFault::kDoctype);
      } else if (Ahead("<!")) {
        return Fails(XmlFault::kMalformed);
      } else if (Ahead("<?")) {
        if (!SkipPast("?>")) return false;
      } else {
        ++at_;
        element->children.emplace_back();
        if (!ReadElement(&element->children.back(), depth + 1)) return false;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t elements_ = 0;
  std::vector<Binding> bindings_;
  XmlFault fault_ = XmlFault::kNone;
};

}  // namespace

const std::string* XmlElement::Attribute(std::string_view space, std::string_view local) const {
  for (const XmlAttribute& attribute : attributes) {
    if (attribute.space == space && attribute.local == local) return &attribute.value;
  }
  return nullptr;
}

const XmlElement* XmlElement::Child(std::string_view local) const {
  for (const XmlElement& child : children) {
    if (child.local == local) return &child;
  }
  return nullptr;
}

XmlDocument ReadXmlDocument(std::string_view text) {
  return XmlReader(text).Read();
}
