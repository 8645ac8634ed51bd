#include "setup_app/file_reveal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace quillmere::app {
namespace {

QUrl fileUrl(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

void openContainingFolder(const std::filesystem::path& file) {
    QDesktopServices::openUrl(fileUrl(file.parent_path()));
}

}  // namespace

void revealInFileManager(const std::filesystem::path& file) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(file);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                       "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    // The second argument is the startup notification id; none is known here.
    call << QStringList{fileUrl(file).toString(QUrl::FullyEncoded)} << QString();
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, file](QDBusPendingCallWatcher*) {
                         if (watcher->isError()) openContainingFolder(file);
                         watcher->deleteLater();
                     });
}

}  // namespace quillmere::app
