// The player's environment variables, as the user or the desktop session
// set them (PATH, DISPLAY, the accelerator's override).
#pragma once

#include <string>

// The value of `name`; false when it is not set.
bool EnvironmentValue(const std::string& name, std::string* value);
// The value of `name`; empty when it is not set.
std::string EnvironmentText(const std::string& name);
