// The names an appliance gives its files (tar members, an envelope's file
// references): only plain relative names are taken, so that no name can
// reach outside the appliance or be read as a protocol by any program.
#pragma once

#include <string_view>

// True for "a.vmdk" or "disks/a.vmdk": no empty, "." or ".." part, not
// absolute, no backslash, colon or control byte, no trailing slash.
bool IsPlainRelativeName(std::string_view name);
