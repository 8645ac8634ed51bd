#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>
#include <string>

// The window and model tests need a Qt application and must never see the real home:
// the process gets a display-less platform and a private HOME, XDG directories and
// CODEX_HOME before Qt starts.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillmere-app-XXXXXX").string();
    const char* home = ::mkdtemp(pattern.data());
    if (!home) return 2;
    ::setenv("HOME", home, 1);
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
        const std::string dir = std::string(home) + "/" + name;
        std::filesystem::create_directories(dir);
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
        ::setenv(name, dir.c_str(), 1);
    }
    ::setenv("CODEX_HOME", (std::string(home) + "/.codex").c_str(), 1);

    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
