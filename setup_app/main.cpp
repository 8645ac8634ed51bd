#include <QApplication>

#include "setup_app/qt_translations.h"
#include "setup_app/setup_model.h"
#include "setup_app/setup_window.h"

// QuillmereMCPSetup: one window that registers quillmere-mcp with an AI client. It reads
// no command-line arguments of its own and quits when its window closes (Qt's default).
int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("QuillmereMCPSetup");
    QApplication::setApplicationDisplayName(QString());
    // Lets the desktop match the window to quillmere-mcp-setup.desktop and its icon.
    QGuiApplication::setDesktopFileName("quillmere-mcp-setup");
    quillmere::app::installQtTranslations(application, QLocale::system());

    quillmere::app::SetupWindow window(quillmere::app::SetupEnvironment::current());
    window.show();
    window.raise();
    window.activateWindow();
    return application.exec();
}
