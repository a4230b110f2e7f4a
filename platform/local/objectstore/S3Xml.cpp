#include "platform/local/objectstore/S3Xml.h"

#include <cstdlib>

namespace localplatform::objectstore {

std::vector<std::string_view> xmlElements(std::string_view xml, std::string_view tag) {
  std::vector<std::string_view> found;
  std::string open = "<" + std::string(tag);
  std::string close = "</" + std::string(tag) + ">";
  size_t at = 0;
  while ((at = xml.find(open, at)) != std::string_view::npos) {
    size_t after = at + open.size();
    if (after >= xml.size()) break;
    char next = xml[after];
    if (next != '>' && next != ' ' && next != '/' && next != '\t' && next != '\n' && next != '\r') {
      at = after;  // a longer name that starts with tag
      continue;
    }
    size_t end = xml.find('>', after);
    if (end == std::string_view::npos) break;
    if (xml[end - 1] == '/') {
      found.emplace_back();
      at = end + 1;
      continue;
    }
    size_t closing = xml.find(close, end + 1);
    if (closing == std::string_view::npos) break;
    found.push_back(xml.substr(end + 1, closing - end - 1));
    at = closing + close.size();
  }
  return found;
}

std::string xmlText(std::string_view xml, std::string_view tag) {
  auto elements = xmlElements(xml, tag);
  return elements.empty() ? std::string() : xmlUnescape(elements.front());
}

bool isXmlError(std::string_view xml) {
  size_t at = 0;
  while (true) {
    at = xml.find('<', at);
    if (at == std::string_view::npos || at + 1 >= xml.size()) return false;
    if (xml[at + 1] != '?' && xml[at + 1] != '!') break;
    ++at;
  }
  std::string_view root = xml.substr(at + 1);
  return root.starts_with("Error>") || root.starts_with("Error ");
}

std::string xmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string xmlUnescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    size_t semi = text.find(';', i);
    if (semi == std::string_view::npos) {
      out += text.substr(i);
      break;
    }
    std::string_view entity = text.substr(i + 1, semi - i - 1);
    if (entity == "amp") out += '&';
    else if (entity == "lt") out += '<';
    else if (entity == "gt") out += '>';
    else if (entity == "quot") out += '"';
    else if (entity == "apos") out += '\'';
    else if (entity.starts_with('#')) {
      std::string digits(entity.substr(1));
      unsigned long code = digits.starts_with('x') ? std::strtoul(digits.c_str() + 1, nullptr, 16)
                                                   : std::strtoul(digits.c_str(), nullptr, 10);
      // UTF-8 of the code point.
      if (code < 0x80) {
        out += static_cast<char>(code);
      } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
      } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
      }
    } else {
      out += text.substr(i, semi - i + 1);
    }
    i = semi;
  }
  return out;
}

}  // namespace localplatform::objectstore
