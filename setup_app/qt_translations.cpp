#include "setup_app/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace quillmere::app {

bool installQtTranslations(QCoreApplication& application, const QLocale& locale) {
    // Owned by the application, which keeps using it until it quits.
    auto* translator = new QTranslator(&application);
    // "qt" loads the catalogues of every Qt module, qtbase among them.
    if (!translator->load(locale, "qt", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace quillmere::app
