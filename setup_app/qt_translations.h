#pragma once

#include <QLocale>

class QCoreApplication;

namespace quillmere::app {

// Installs Qt's own translations (its file dialogs, standard buttons) for locale into
// application, so that the dialogs speak the window's language. False when the system
// has none for that locale (the package with Qt's translations is not installed); Qt
// then speaks English.
bool installQtTranslations(QCoreApplication& application, const QLocale& locale);

}  // namespace quillmere::app
