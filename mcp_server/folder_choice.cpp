#include "mcp_server/folder_choice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "mcp_server/emit.h"
#include "mcp_server/folder_bookmark.h"
#include "mcp_server/tool_failure.h"
#include "sync_core/cloud_files.h"
#include "base/json_text.h"
#include "sync_core/sync_format.h"

namespace quillmere::mcp {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view panelMessage =
    "选择 iCloud Drive → Quillmere → AgentLibrary。手机首次成功发布后才会出现。";
constexpr std::string_view wrongFolderMessage = "请选择 AgentLibrary 文件夹。";
constexpr std::string_view savedMessage = "已保存共享目录。现在可使用 --stdio 接入 MCP 客户端。";
constexpr std::string_view saveFailedPrefix = "无法保存目录选择：";

// Far beyond PATH_MAX; longer answers are not paths.
constexpr std::size_t maxAnswerBytes = 65536;

// One line from fd, read a byte at a time so nothing after it is consumed.
// nullopt at end of input before any byte or on a read error.
std::optional<std::string> readLine(int fd, bool& tooLong) {
    std::string line;
    bool any = false;
    for (;;) {
        char c;
        ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        any = true;
        if (c == '\n') break;
        if (line.size() < maxAnswerBytes) {
            line.push_back(c);
        } else {
            tooLong = true;
        }
    }
    if (!any) return std::nullopt;
    return line;
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\f\v";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

std::optional<std::string> askForFolder(std::string_view message) {
    diagnostic(message);
    int terminal = ::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    bool tooLong = false;
    std::optional<std::string> line = readLine(terminal >= 0 ? terminal : STDIN_FILENO, tooLong);
    if (terminal >= 0) ::close(terminal);
    if (!line || trimmed(*line).empty()) return std::nullopt;
    if (tooLong) throw std::system_error(ENAMETOOLONG, std::generic_category());
    return line;
}

fs::path expandTypedPath(std::string_view typed, const fs::path& home) {
    std::string_view text = trimmed(typed);
    fs::path path;
    if (text == "~") {
        path = home;
    } else if (text.starts_with("~/")) {
        path = home / fs::path(text.substr(2));
    } else {
        path = fs::path(text);
    }
    path = fs::absolute(path).lexically_normal();
    std::string normal = path.string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return fs::path(normal);
}

void saveFolderChoice(const fs::path& chosen, const UserDirectories& directories) {
    FolderBookmark bookmark = FolderBookmark::create(chosen);
    if (fs::path(bookmark.path).filename() != sync::SyncFormat::directory) {
        throw ToolFailure("folder", std::string(wrongFolderMessage));
    }
    std::string data = bookmark.encode();
    fs::create_directories(directories.support);
    sync::CloudFiles::write(data, directories.configURL);
}

int runFolderChoice(const UserDirectories& directories) {
    try {
        std::optional<std::string> answer = askForFolder(panelMessage);
        if (!answer) return 1;
        saveFolderChoice(expandTypedPath(*answer, directories.home), directories);
    } catch (const ToolFailure& failure) {
        diagnostic(std::string(saveFailedPrefix) + failure.message());
        return 1;
    } catch (const std::system_error& failure) {
        diagnostic(std::string(saveFailedPrefix) + failure.code().message());
        return 1;
    } catch (const std::exception& failure) {
        diagnostic(std::string(saveFailedPrefix) + failure.what());
        return 1;
    }
    diagnostic(savedMessage);
    return 0;
}

}  // namespace quillmere::mcp
