// Windows shows ANSI texts, and ANSI file names are what the system holds:
// both go out unchanged.
#include "platform/shown_text.h"

std::string ShownText(std::string_view ownText) {
  return std::string(ownText);
}

std::string ShownFileName(std::string_view fileName) {
  return std::string(fileName);
}
