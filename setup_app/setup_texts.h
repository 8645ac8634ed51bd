#pragma once

// Every text the setup window and its model show, exactly as people read them.
// Kept in one place so the window and the model cannot drift apart.
namespace quillmere::app::texts {

// The window title.
inline constexpr const char* windowTitle = "连接 AI 客户端";
inline constexpr const char* headerTitle = "让 AI 读取你的录音";
inline constexpr const char* headerSubtitle = "Quillmere MCP · 本机只读访问";
inline constexpr const char* clientHeading = "1. 选择 AI 客户端";
// Accessible name of the segmented client picker; not shown.
inline constexpr const char* clientPickerLabel = "客户端";
// The third segment is followed by one offering every further client in a menu; once one
// of those is chosen it reads title + moreChosenSuffix.
inline constexpr const char* moreClients = "更多…";
inline constexpr const char* moreChosenSuffix = " ▾";
// The row of a client installed through its own command-line tool:
// cliFoundPrefix or cliNotFoundPrefix + title + cliSuffix.
inline constexpr const char* cliFoundPrefix = "已找到 ";
inline constexpr const char* cliNotFoundPrefix = "未找到 ";
inline constexpr const char* cliSuffix = " 命令行工具";
inline constexpr const char* chooseTool = "选择工具…";
// "请先安装 " + title + "。配置完成后重新打开客户端。"
inline constexpr const char* installHintPrefix = "请先安装 ";
inline constexpr const char* installHintSuffix = "。配置完成后重新打开客户端。";
inline constexpr const char* folderHeading = "2. 选择录音共享目录";
inline constexpr const char* chooseFolderButton = "选择文件夹…";
// Shown in the folder line while no folder is chosen.
inline constexpr const char* folderPlaceholder = "iCloud Drive → Quillmere → AgentLibrary";
inline constexpr const char* folderHint = "先在 iPhone 发布录音，再等待 iCloud 同步到这台电脑。";
// Outcome label when the install changed the configuration.
inline constexpr const char* savedLabel = "配置已保存";
// Outcome label when the entry was already in place.
inline constexpr const char* readyLabel = "配置已就绪，无需修改";
// "重新打开 " + title + "，在客户端允许使用 quillmere 工具。尚未验证客户端连接。"
inline constexpr const char* reopenPrefix = "重新打开 ";
inline constexpr const char* reopenSuffix =
    "，在客户端允许使用 quillmere 工具。尚未验证客户端连接。";
inline constexpr const char* revealConfiguration = "在 Finder 查看配置";
inline constexpr const char* revealBackup = "查看原配置备份";
// The outcome line while there is neither a receipt nor a message.
inline constexpr const char* reassurance =
    "自动保留其他 MCP 服务；修改已有配置前会创建备份。录音内容不会上传给配置工具。";
inline constexpr const char* footerHint = "可再次打开此引导，连接另一个客户端。";
// The main button: "连接 " + title, or busyButton while an install runs.
inline constexpr const char* connectPrefix = "连接 ";
inline constexpr const char* busyButton = "正在配置…";
inline constexpr const char* conflictTitle = "替换已有的 quillmere 服务？";
inline constexpr const char* conflictMessage =
    "只替换这个同名服务，保留其他服务和客户端设置。原配置会保存为同目录下的备份文件。";
inline constexpr const char* conflictCancel = "取消";
inline constexpr const char* conflictReplace = "备份并替换";
// Prompts of the two open panels.
inline constexpr const char* folderPanelMessage =
    "选择 iCloud Drive → Quillmere → AgentLibrary。手机首次发布后才会出现。";
// The tool's panel: cliPanelPrefix + program ("codex", "claude") + cliPanelSuffix.
inline constexpr const char* cliPanelPrefix = "选择本机的 ";
inline constexpr const char* cliPanelSuffix = " 可执行文件。";
// The model's messages about the folder and the server are the setup core's
// (setup_core/install_checks.h), which quillmere-setup shows too.

}  // namespace quillmere::app::texts
