#include "UpdateIniData.h"

#include "Configuration.h"
#include "LogCategory.h"
#include "SettingsText.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char sessionMarkerName[] = ".kelvaro_session";

// The engine empties and removes the recorded directory, or downloads into it and installs from
// it. The name is predictable and a shared /tmp is emptied at boot, so once the session's own
// directory is gone anybody may put something under that name: a link into the user's files, or a
// folder of their own. Only a real directory of this user that is not writable by all is taken
// for the session's (a group-writable one is: with a umask of 002 every folder of the user is);
// anything else makes the record stale, and the next run starts afresh in a new directory. A
// relative path would depend on the working directory.
bool isOwnSessionDirectory(const QString& path)
{
    if (!QDir::isAbsolutePath(path))
        return false;
    struct stat info;
    // Cleaned first: with a trailing slash lstat() would follow a link.
    if (::lstat(QFile::encodeName(QDir::cleanPath(path)).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & S_IWOTH) == 0;
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
    if (!isOwnSessionDirectory(storedDir))
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
