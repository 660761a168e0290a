// Windows' own wide texts (known folders, the title's dash) into the ANSI
// code page, as a .vmx's texts are converted: the player's calls and the
// programs it starts take that code page.
#pragma once

#include <string>

#include "player/host/text_encoding.h"

// kConverted, or kNotRepresentable where a character has no place in the
// code page (never a look-alike); `converted` holds the text only on
// kConverted.
EncodingResult WideToAnsiText(const std::wstring& wide, std::string* converted);
