#include "VersionInstallation.h"

#include "FileHash.h"
#include "FileReplaceTaskSpecification.h"
#include "FileUnzipFunc.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {
constexpr qint64 chunkSize = 64 * 1024;

// A value as the updater reads it: QSettings turns an unquoted value with commas into a list.
QString valueText(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool md5Matches(const QString& path, const QString& expected)
{
    QByteArray digest;
    return fileHash(path, QCryptographicHash::Md5, digest) == FileReadStatus::Ok
        && QString::fromLatin1(digest.toHex()).compare(expected, Qt::CaseInsensitive) == 0;
}

// A plain copy into a new file, so the copy gets the default mode as the updater's download does,
// not the mode the file happens to have on the mirror.
bool copyBytes(const QString& source, const QString& dest)
{
    QFile in(source);
    QFile out(dest);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    QByteArray buffer(int(chunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), chunkSize);
        if (n < 0)
            return false;
        if (n == 0)
            return out.flush();
        if (out.write(buffer.constData(), n) != n)
            return false;
    }
}
} // namespace

bool VersionInstallation::isSafeRelativePath(const QString& relative)
{
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')) || relative.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

bool VersionInstallation::rebuild(const QString& versionDir, const QString& clientType, const QString& dest,
                                  QString* error)
{
    const QString iniPath = versionDir + QLatin1Char('/') + clientType + QStringLiteral(".ini");
    if (!QFileInfo(iniPath).isFile()) {
        *error = QStringLiteral("no product ini %1").arg(iniPath);
        return false;
    }
    QSettings ini(iniPath, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot read %1").arg(iniPath);
        return false;
    }
    const QDir destDir(dest);
    int files = 0;
    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        if (section == QLatin1String("delete"))
            continue;
        ini.beginGroup(section);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            const QStringList fields = valueText(ini.value(key)).split(QStringLiteral("::"));
            const bool packed = fields.size() == 5 && !fields.at(4).isEmpty();
            const QString installed = packed ? fields.at(4) : key;
            const QString entry = section + QLatin1Char('/') + key;
            if (fields.size() != 2 && fields.size() != 5) {
                *error = QStringLiteral("%1: invalid entry in the product ini").arg(entry);
                return false;
            }
            if (!isSafeRelativePath(section) || !isSafeRelativePath(key) || !isSafeRelativePath(installed)) {
                *error = QStringLiteral("%1: the path leaves the installation folder").arg(entry);
                return false;
            }
            const QString stored = versionDir + QLatin1Char('/') + entry;
            const QFileInfo storedInfo(stored);
            if (!storedInfo.isFile()) {
                *error = QStringLiteral("%1: missing from the version directory").arg(entry);
                return false;
            }
            if (storedInfo.size() != fields.at(1).toLongLong() || !md5Matches(stored, fields.at(0))) {
                *error = QStringLiteral("%1: size or MD5 differs from its product ini").arg(entry);
                return false;
            }
            const QString target = destDir.filePath(installed);
            if (QFileInfo::exists(target) || !QDir().mkpath(QFileInfo(target).path())) {
                *error =
                    QStringLiteral("%1: cannot install %2 (listed twice, or a file where a folder must go)")
                        .arg(entry, installed);
                return false;
            }
            if (packed) {
                FileUnzipFunc unzip(stored, target);
                if (!unzip.run()) {
                    *error = QStringLiteral("%1: cannot unpack to %2").arg(entry, installed);
                    return false;
                }
                if (!md5Matches(target, fields.at(2))) {
                    *error = QStringLiteral("%1: unpacked MD5 differs from its product ini").arg(entry);
                    return false;
                }
            } else if (!copyBytes(stored, target)) {
                *error = QStringLiteral("%1: cannot copy to %2").arg(entry, installed);
                return false;
            }
            FileReplaceTaskSpecification::makeSingleFileExecutable(target);
            ++files;
        }
        ini.endGroup();
    }
    if (files == 0) {
        *error = QStringLiteral("no files in %1").arg(iniPath);
        return false;
    }
    return true;
}
