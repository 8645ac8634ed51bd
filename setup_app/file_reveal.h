#pragma once

#include <filesystem>

namespace quillmere::app {

// Shows the file in the desktop's file manager with it selected: the
// org.freedesktop.FileManager1 ShowItems call on the session bus. When no file manager
// answers (no session bus, no such service, an error reply), opens the folder that
// holds the file instead. Returns at once; the call is answered asynchronously.
void revealInFileManager(const std::filesystem::path& file);

}  // namespace quillmere::app
