// Windows converts through UTF-16 into the ANSI code page, whose calls
// (CreateFileA, CreateProcessA) the program makes. A character that code
// page cannot hold is refused rather than replaced by a look-alike that
// could name another file.
#include <windows.h>

#include <string>

#include "player/host/text_encoding.h"
#include "player/host/win32/ansi_text.h"

namespace {

// These code pages refuse MB_ERR_INVALID_CHARS; they are read without it.
bool TakesNoFlags(unsigned codePage) {
  return (codePage >= 50220 && codePage <= 50229) || (codePage >= 57002 && codePage <= 57011) ||
         codePage == 65000 || codePage == 42;
}

bool ToWide(std::string_view text, unsigned codePage, std::wstring* wide) {
  if (text.empty()) return true;
  const DWORD flags = TakesNoFlags(codePage) ? 0 : MB_ERR_INVALID_CHARS;
  const int size = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
  if (needed <= 0) return false;
  wide->assign(static_cast<std::size_t>(needed), L'\0');
  return MultiByteToWideChar(codePage, flags, text.data(), size, wide->data(), needed) == needed;
}

}  // namespace

EncodingResult WideToAnsiText(const std::wstring& wide, std::string* converted) {
  converted->clear();
  if (wide.empty()) return EncodingResult::kConverted;
  const UINT ansi = GetACP();
  // The UTF-8 code page takes neither the best-fit flag nor a default
  // character; every character fits into it.
  const bool utf8 = ansi == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* askDefault = utf8 ? nullptr : &usedDefault;
  const int size = static_cast<int>(wide.size());
  const int needed =
      WideCharToMultiByte(ansi, flags, wide.data(), size, nullptr, 0, nullptr, askDefault);
  if (needed <= 0) return EncodingResult::kNotRepresentable;
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(ansi, flags, wide.data(), size, bytes.data(), needed, nullptr,
                          askDefault) != needed ||
      usedDefault) {
    return EncodingResult::kNotRepresentable;
  }
  *converted = bytes;
  return EncodingResult::kConverted;
}

EncodingResult ConvertToSystemText(std::string_view text, std::string_view encoding,
                                   std::string* converted) {
  const unsigned codePage = WindowsCodePage(encoding);
  if (codePage == 0 || !IsValidCodePage(codePage)) return EncodingResult::kUnknownEncoding;
  std::wstring wide;
  if (!ToWide(text, codePage, &wide)) return EncodingResult::kInvalidBytes;
  return WideToAnsiText(wide, converted);
}
