#include "UpdateIniData.h"

#include "Configuration.h"
#include "LogCategory.h"
#include "SettingsText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSettings>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char sessionMarkerName[] = ".kelvaro_session";

// The engine empties and removes the recorded directory, or downloads into it and installs from
// it, so the record must never be able to point it at other files of the user (their home, say):
// only a directory that a run of this installation made is taken. That is a "kelvaro_temp_<n>"
// directly in the temp folder that createTempDir() uses now, holding the marker that names this
// root. The name is predictable and a shared /tmp is emptied at boot, so once the session's own
// directory is gone anybody may put something under that name: it must also be a real directory
// of this user that is not writable by all (a group-writable one is: with a umask of 002 every
// folder of the user is). Anything else makes the record stale, and the next run starts afresh.
bool isSessionDirectoryOfThisInstallation(const QString& path)
{
    // Taken as written: the engine uses the text, and "link/.." leads elsewhere than the cleaned
    // form says. A record that a run wrote is always clean and absolute.
    if (!QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path)
        return false;
    static const QRegularExpression sessionName(QStringLiteral("^kelvaro_temp_(0|[1-9][0-9]{0,2})$"));
    const QFileInfo info(path);
    const QString base = Configuration::getTempBasePath();
    if (base.isEmpty() || info.path() != QDir::cleanPath(base)
        || !sessionName.match(info.fileName()).hasMatch())
        return false;

    // The checks and the marker's read go through one descriptor of the directory, so that they
    // are about the same directory. O_NOFOLLOW refuses a link in its place.
    const int dirFd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    const auto closeDir = qScopeGuard([dirFd] { ::close(dirFd); });
    struct stat dirInfo;
    if (::fstat(dirFd, &dirInfo) != 0 || !S_ISDIR(dirInfo.st_mode) || dirInfo.st_uid != ::geteuid()
        || (dirInfo.st_mode & S_IWOTH) != 0)
        return false;

    // A plain file only, read without blocking (a FIFO would wait for a writer) and no further
    // than the expected line.
    const int markerFd = ::openat(dirFd, sessionMarkerName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (markerFd < 0)
        return false;
    const auto closeMarker = qScopeGuard([markerFd] { ::close(markerFd); });
    struct stat markerInfo;
    if (::fstat(markerFd, &markerInfo) != 0 || !S_ISREG(markerInfo.st_mode))
        return false;
    const QByteArray expected = Configuration::getAppRootPath().toUtf8() + '\n';
    QByteArray marker(expected.size() + 1, '\0');
    qsizetype filled = 0;
    while (filled < marker.size()) {
        const ssize_t got = ::read(markerFd, marker.data() + filled, size_t(marker.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        filled += got;
    }
    marker.truncate(filled);
    return marker == expected;
}

} // namespace

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int* version, QString* type, QString* dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool versionOk = false;
    const int storedVersion = SettingsText::variant(settings, QStringLiteral("version")).toInt(&versionOk);
    const QString storedDir = SettingsText::value(settings, QStringLiteral("dir"));
    const QString storedType = SettingsText::value(settings, QStringLiteral("type"));
    settings.endGroup();

    if (!versionOk || storedType.isEmpty() || storedDir.isEmpty())
        return false;
    // A record whose directory has vanished, or is not the session's own any more, is stale and
    // is overwritten by the next run.
    if (!isSessionDirectoryOfThisInstallation(storedDir))
        return false;

    if (version)
        *version = storedVersion;
    if (dir)
        *dir = storedDir;
    if (type)
        *type = storedType;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(QStringLiteral("current"));
}

bool UpdateIniData::markSessionDirectory(const QString& dir)
{
    // Written aside and renamed into place: a marker is whole or absent, never a torn root.
    QSaveFile marker(QDir(dir).filePath(QLatin1String(sessionMarkerName)));
    if (marker.open(QIODevice::WriteOnly)) {
        const QByteArray line = Configuration::getAppRootPath().toUtf8() + '\n';
        if (marker.write(line) == line.size() && marker.commit())
            return true;
    }
    logUpdateLine(QStringLiteral("Cannot mark the session directory %1: %2").arg(dir, marker.errorString()));
    return false;
}
