// Texts of a file that names its own encoding (a .vmx's `.encoding`),
// converted into the system's: UTF-8 on Linux (through iconv), the ANSI
// code page on Windows (through MultiByteToWideChar and
// WideCharToMultiByte). Nothing is shown to the user.
#pragma once

#include <string>
#include <string_view>

enum class EncodingResult {
  kConverted,
  kUnknownEncoding,   // the name is none this system can convert from
  kInvalidBytes,      // the text holds bytes that the encoding does not define
  kNotRepresentable,  // Windows: a character the ANSI code page cannot hold
};

// `text` in `encoding` as a text of the system; `converted` is set only on
// kConverted.
EncodingResult ConvertToSystemText(std::string_view text, std::string_view encoding,
                                   std::string* converted);

// --- Logic that needs no system ---

// True when `text` is UTF-8 as Unicode defines it: no sequence above
// U+10FFFF, no surrogate (U+D800 to U+DFFF), no longer form of a shorter
// sequence, nothing cut off.
bool IsValidUtf8(std::string_view text);

// The Windows code page of an encoding name as VMware and the IANA write it
// ("windows-1252", "UTF-8", "Shift_JIS", "iso-8859-2", "cp850", "ibm866"),
// any case; 0 when the name is unknown.
unsigned WindowsCodePage(std::string_view name);

// The name glibc's iconv knows the encoding by: the Windows variant where
// VMware's name means it (Shift_JIS is code page 932, whose 0x5C is the
// backslash, not the yen sign), else the name itself. Empty for a name
// that is no plain encoding name (iconv reads "//" as options).
std::string IconvEncodingName(std::string_view name);
