// The folder of one Trennwick run: made fresh directly in the temporary
// root, so that a run never shares its folder with another run or with one
// left behind. The launcher makes its run's folder here, and so does the
// player for a CD opened from the file manager.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Creates temporaryRoot + "trennwick_temp_" + stamp, or the first of
// "..._2", "..._3", ... whose name is free, through `makeDirectory`
// (nonzero when it created the directory; MakeDirectory, or a test's
// stand-in). Gives the folder with a trailing separator; nothing when no
// folder could be made (the root missing or refusing, or every name taken).
std::optional<std::string> MakeRunFolder(
    const std::string& temporaryRoot, const std::string& stamp,
    const std::function<std::int32_t(const std::string&)>& makeDirectory);
