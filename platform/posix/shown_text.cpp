// Linux shows UTF-8: the program's Windows-1252 texts are converted, file
// names are UTF-8 already where they are valid.
#include <glib.h>

#include <memory>

#include "platform/shown_text.h"

namespace {

struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};
using GText = std::unique_ptr<gchar, GFree>;

}  // namespace

std::string ShownText(std::string_view ownText) {
  std::string bytes(ownText);
  for (int attempt = 0; attempt < 2; ++attempt) {
    gsize written = 0;
    GText converted(
        g_convert(bytes.data(), bytes.size(), "UTF-8", "WINDOWS-1252", nullptr, &written, nullptr));
    if (converted) return std::string(converted.get(), written);
    // The five bytes that Windows-1252 leaves undefined stop the conversion.
    for (char& c : bytes) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D) c = '?';
    }
  }
  return std::string();
}

std::string ShownFileName(std::string_view fileName) {
  const std::string name(fileName);
  if (g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) return name;
  // Not UTF-8 (say Latin-1 bytes): GLib's display name, with its
  // replacement characters, instead of mojibake.
  GText shown(g_filename_display_name(name.c_str()));
  return shown ? std::string(shown.get()) : std::string();
}
