// The few facts that differ between the systems and that OS-neutral code
// needs to know. This is the one header outside platform/win32 and
// platform/posix that looks at the target system.
#pragma once

namespace system_facts {

#ifdef _WIN32
// Every run's temporary directory lies below this root, on drive C:.
inline constexpr char kTemporaryRoot[] = "c:\\tmp\\";
inline constexpr char kPathSeparator = '\\';
// The written template keeps the lone CR of its defined format.
inline constexpr char kTemplateLineEnd[] = "\r";
#else
inline constexpr char kTemporaryRoot[] = "/tmp/";
inline constexpr char kPathSeparator = '/';
// Tools such as cat and most editors break lines only at LF.
inline constexpr char kTemplateLineEnd[] = "\n";
#endif

}  // namespace system_facts
