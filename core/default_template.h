// The configuration template that the program carries inside itself and
// writes beside itself when the template file is missing.
#pragma once

#include <string>

// The project's web page, named in the template and in the help text. A
// macro, so that it joins the literals of both at compile time.
#define TRENNWICK_WEB_ADDRESS "https://www.trennwick.de/"

// The whole default template: 111 lines, each ending with a lone CR.
std::string DefaultTemplateText();
