// The configuration template that the program carries inside itself and
// writes as the template file when that file is missing.
#pragma once

#include <span>
#include <string>
#include <string_view>

// The project's web page, named in the template and in the help text. A
// macro, so that it joins the literals of both at compile time.
#define TRENNWICK_WEB_ADDRESS "https://www.trennwick.de/"

// The template's 111 lines in order, without line ends; they hold no CR,
// LF or NUL.
std::span<const std::string_view> DefaultTemplateLines();

// The whole default template as the template file holds it: the 111 lines,
// each ended by this system's template line end (a lone CR on Windows, LF
// on Linux).
std::string DefaultTemplateText();
