#include "MakeDownloadReplaceListFunc.h"

#include "CheckSigFunc.h"
#include "Configuration.h"
#include "FileSpecifications.h"

#include <QFileInfo>
#include <QSettings>

namespace {
const QString deleteSection = QStringLiteral("delete");
const QString fieldSeparator = QStringLiteral("::");

// QSettings turns an unquoted value with commas into a string list; the fields are plain text.
QString valueText(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}
} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* configuration,
                                                         FileSpecifications& specifications)
    : m_specifications(specifications)
    , m_iniPath(configuration->tempDir + QLatin1Char('/') + configuration->clientType
                + QStringLiteral(".ini"))
    , m_tempDir(configuration->tempDir)
    , m_appRoot(Configuration::getAppRootPath())
{
}

int MakeDownloadReplaceListFunc::getFileCount(QSettings& settings)
{
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        count += int(settings.allKeys().size());
        settings.endGroup();
    }
    return count;
}

bool MakeDownloadReplaceListFunc::run()
{
    m_specifications.clear();
    Q_EMIT message(QStringLiteral("Compiling download and replace list"));

    QSettings settings(m_iniPath, QSettings::IniFormat);
    const int count = getFileCount(settings);
    if (count == 0) {
        Q_EMIT message(QStringLiteral("No files in product ini"));
        return false;
    }

    int done = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        const bool isDeleteSection = section == deleteSection;
        for (const QString& key : keys) {
            ++done;
            Q_EMIT progress(double(done) / double(count));
            if (!FileSpecifications::isContainedRelativePath(key)) {
                reportInvalidLine(section);
                return false;
            }
            if (isDeleteSection) {
                if (QFileInfo::exists(m_appRoot + QLatin1Char('/') + key))
                    m_specifications.deletes.append(key);
                continue;
            }

            const QStringList fields = valueText(settings.value(key)).split(fieldSeparator);
            if (fields.size() != 2 && fields.size() != 5) {
                reportInvalidLine(section);
                return false;
            }
            FileDownloadSpecification download;
            download.section = section;
            download.fileName = key;
            download.md5 = fields.at(0);
            download.size = fields.at(1).toULongLong();
            FileReplaceSpecification replace;
            replace.section = section;
            replace.fileName = key;
            if (fields.size() == 5) {
                replace.unzipMd5 = fields.at(2);
                replace.unzipSize = fields.at(3).toULongLong();
                replace.unzipFileName = fields.at(4);
                // An empty name means "not packed"; any other must stay inside the installation.
                if (replace.hasUnzip()
                    && !FileSpecifications::isContainedRelativePath(replace.unzipFileName)) {
                    reportInvalidLine(section);
                    return false;
                }
            }

            const QString installed = m_appRoot + QLatin1Char('/') + replace.destFileName(QString());
            const QString installedMd5 = replace.hasUnzip() ? replace.unzipMd5 : download.md5;
            if (isValidFile(installed, installedMd5))
                continue;
            m_specifications.replaces.append(replace);
            if (!isValidFile(m_tempDir + QLatin1Char('/') + key, download.md5))
                m_specifications.downloads.append(download);
        }
        settings.endGroup();
    }
    return true;
}

bool MakeDownloadReplaceListFunc::isValidFile(const QString& path, const QString& md5) const
{
    if (!QFileInfo::exists(path))
        return false;
    // Run here, on this thread, with nothing connected: its messages go nowhere.
    CheckSigFunc check(path, md5);
    return check.run();
}

void MakeDownloadReplaceListFunc::reportInvalidLine(const QString& section)
{
    Q_EMIT message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section));
}
