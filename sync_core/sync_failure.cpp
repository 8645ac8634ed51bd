#include "sync_failure.h"

namespace quillmere::sync {

const std::string& SyncFailure::errorDescription() const noexcept {
    static const std::string invalid = "同步数据格式无效或版本不受支持。";
    static const std::string notDownloaded = "文件尚未下载完成，请稍后重试。";
    static const std::string noCloud = "iCloud Drive 不可用。请检查账号、网络和 App 的 iCloud 权限。";
    static const std::string changed = "录音文件已变化，本次未发布；稍后将重新同步。";
    switch (kind_) {
        case Kind::invalidData: return invalid;
        case Kind::notDownloaded: return notDownloaded;
        case Kind::noCloud: return noCloud;
        case Kind::changedSource: return changed;
    }
    return invalid;
}

}  // namespace quillmere::sync
