// The rights of a private directory on Windows (the counterpart of mode
// 0700), made by MakeDirectory; here for the tests to read back.
#pragma once

#include <string>

// The SID of the user this process runs as, in its string form ("S-1-5-...").
bool CurrentUserSid(std::string* text);
// The security descriptor text (SDDL) allowing the user `userSid`, SYSTEM
// and the Administrators full access, protected from inheriting, passed on
// to everything made inside.
std::string PrivateDirectoryRights(const std::string& userSid);
