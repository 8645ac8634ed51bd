#include "setup_core/setup_failure.h"

#include <array>

namespace quillmere::setup {

namespace {

const std::string& fixedMessage(SetupFailure::Kind kind) {
    static const std::array<std::string, 15> messages = {
        "客户端配置格式无法识别，原文件未修改。请先修复配置；带注释的 JSON 暂不支持自动合并。",  // malformed
        "客户端已有同名 MCP 服务。需要确认后才能替换。",                           // conflict
        "配置文件刚刚发生变化。请关闭客户端的配置编辑页面后重试。",                // changed
        "未找到 Codex 命令行工具。请安装 Codex，或选择本机的 codex 可执行文件。",  // cliMissing
        "Codex 配置命令未完成。请检查 Codex "
        "是否能正常运行，以及配置文件是否有效。已有文件的备份会保留。",              // cliFailed
        "操作超时，请稍后重试。",                                                    // timedOut
        "配置读回与预期不一致。请检查客户端设置；已有文件的备份会保留。",            // verification
        "Codex 配置文件是符号链接。为保留链接，请在 Codex 中手动添加本 MCP 服务。",  // linkedCodexConfig
        "客户端配置中有数字无法按原值写回（位数过多或超出范围），原文件未修改。请在客户端中手动添加本 "
        "MCP 服务。",  // inexactNumber
        "客户端配置（带注释的 JSON）格式无法识别，原文件未修改。请先修复配置后重试。",  // malformedCommented
        "未找到 Claude Code 命令行工具。请安装 Claude Code，或选择本机的 claude 可执行文件。",  // claudeCliMissing
        "Claude Code 配置命令未完成。请检查 Claude Code "
        "是否能正常运行，以及配置文件是否有效。已有文件的备份会保留。",  // claudeCliFailed
        "客户端会展开服务程序或共享目录路径中的这个字符，服务将收不到原路径，配置未写入。请改用不含该字符的路径，"
        "或在客户端中手动添加本 MCP 服务。",  // expandedByClient
        "客户端配置（YAML）格式无法识别，原文件未修改。请先修复配置后重试。",  // malformedYAML
        "客户端配置（YAML）的写法无法安全地自动修改（流式写法、锚点、别名、标签或多个文档），原文件未修改。"
        "请在客户端配置中手动添加本 MCP 服务。",  // uneditableYAML
    };
    return messages[static_cast<std::size_t>(kind)];
}

}  // namespace

SetupFailure::SetupFailure(Kind kind, const std::string& detail)
    : kind_(kind), detailed_(detail.empty() ? "" : fixedMessage(kind) + "\n" + detail) {}

const std::string& SetupFailure::errorDescription() const noexcept {
    return detailed_.empty() ? fixedMessage(kind_) : detailed_;
}

SetupFailure SetupFailure::naming(const std::optional<std::filesystem::path>& backup) const {
    if (!backup || !detailed_.empty()) return *this;
    return SetupFailure(kind_, "备份文件：" + backup->string());
}

}  // namespace quillmere::setup
