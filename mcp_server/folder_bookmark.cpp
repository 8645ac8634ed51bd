#include "mcp_server/folder_bookmark.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "base/json_text.h"

namespace quillmere::mcp {

namespace fs = std::filesystem;

namespace {

struct stat statOf(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), path.string());
    }
    return info;
}

std::uint64_t unsignedField(const nlohmann::json& object, const char* key) {
    auto field = object.find(key);
    if (field == object.end() || !field->is_number_unsigned()) {
        throw base::DecodingError(std::string("bookmark without a valid \"") + key + "\"");
    }
    return field->get<std::uint64_t>();
}

}  // namespace

FolderBookmark FolderBookmark::create(const fs::path& directory) {
    fs::path absolute = fs::absolute(directory);
    struct stat info = statOf(absolute);
    if (!S_ISDIR(info.st_mode)) {
        throw std::system_error(ENOTDIR, std::generic_category(), absolute.string());
    }
    return {absolute.string(), static_cast<std::uint64_t>(info.st_dev),
            static_cast<std::uint64_t>(info.st_ino)};
}

FolderBookmark FolderBookmark::decode(std::string_view data) {
    nlohmann::json object = base::parseJSON(data);
    if (!object.is_object()) throw base::DecodingError("bookmark is not an object");
    auto path = object.find("path");
    if (path == object.end() || !path->is_string() || path->get_ref<const std::string&>().empty() ||
        path->get_ref<const std::string&>()[0] != '/') {
        throw base::DecodingError("bookmark without an absolute \"path\"");
    }
    return {path->get<std::string>(), unsignedField(object, "device"),
            unsignedField(object, "inode")};
}

std::string FolderBookmark::encode() const {
    nlohmann::json object = {{"path", path}, {"device", device}, {"inode", inode}};
    try {
        return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict) + "\n";
    } catch (const nlohmann::json::exception& e) {
        throw base::EncodingError(e.what());
    }
}

FolderBookmark::Resolution FolderBookmark::resolve() const {
    struct stat info = statOf(path);
    bool same = S_ISDIR(info.st_mode) && static_cast<std::uint64_t>(info.st_dev) == device &&
                static_cast<std::uint64_t>(info.st_ino) == inode;
    return {fs::path(path), !same};
}

}  // namespace quillmere::mcp
