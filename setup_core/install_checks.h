#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace quillmere::setup {

// What the window and quillmere-setup tell a person whose install cannot start.
inline constexpr std::string_view wrongFolderNameMessage = "请选择名为 AgentLibrary 的共享文件夹。";
inline constexpr std::string_view serverMissingMessage = "未找到 MCP 服务，请重新安装完整安装包。";
inline constexpr std::string_view folderUnreadableMessage =
    "无法读取共享目录，请等待 iCloud 下载后重新选择。";

// The chosen folder as it is registered, without trailing separators, when its
// name is exactly AgentLibrary; nullopt otherwise (wrongFolderNameMessage).
std::optional<std::filesystem::path> sharedFolder(const std::filesystem::path& chosen);

// The message of the first check an install fails: the server is not an executable
// file, or the folder cannot be read. nullopt when the install can start.
std::optional<std::string_view> installProblem(const std::filesystem::path& server,
                                               const std::filesystem::path& folder);

}  // namespace quillmere::setup
