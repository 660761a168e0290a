#include "core/run_folder.h"

#include "platform/file_channels.h"
#include "platform/system.h"
#include "platform/text_utilities.h"
#include "platform/trennwick_run.h"

namespace {

// A second run in the same second, or a folder left behind, takes the next
// free suffix up to this many candidates.
constexpr int kRunFolderCandidates = 100;

}  // namespace

std::optional<std::string> MakeRunFolder(
    const std::string& temporaryRoot, const std::string& stamp,
    const std::function<std::int32_t(const std::string&)>& makeDirectory) {
  const std::string base = temporaryRoot + kRunFolderPrefix + stamp;
  for (int candidate = 1; candidate <= kRunFolderCandidates; ++candidate) {
    const std::string folder = (candidate == 1 ? base : base + "_" + FormatInteger(candidate)) +
                               system_facts::kPathSeparator;
    // A folder that exists already may be another run's, so it is never used.
    if (makeDirectory(folder) != 0) return folder;
    // Only a name that is taken is worth another try; otherwise the root
    // itself is missing or refuses us.
    if (QueryFileSize(folder) == -1) break;
  }
  return std::nullopt;
}
