#include "setup_core/install_checks.h"

#include <unistd.h>

#include "base/posix_file.h"
#include "setup_core/setup_files.h"

namespace quillmere::setup {

std::optional<std::filesystem::path> sharedFolder(const std::filesystem::path& chosen) {
    // A picked or typed path may end in separators; its name is the last non-empty component.
    const std::filesystem::path folder = base::withoutTrailingSeparators(chosen);
    if (folder.filename() != "AgentLibrary") return std::nullopt;
    return folder;
}

std::optional<std::string_view> installProblem(const std::filesystem::path& server,
                                               const std::filesystem::path& folder) {
    if (!isExecutableFile(server)) return serverMissingMessage;
    if (::access(folder.c_str(), R_OK) != 0) return folderUnreadableMessage;
    return std::nullopt;
}

}  // namespace quillmere::setup
