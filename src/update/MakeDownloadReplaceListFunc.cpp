#include "MakeDownloadReplaceListFunc.h"

#include "CheckSigFunc.h"
#include "Configuration.h"
#include "FileSpecifications.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <utility>
#include <vector>

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
    m_queuedDeletes.clear();
    Q_EMIT message(QStringLiteral("Compiling download and replace list"));

    QSettings settings(m_iniPath, QSettings::IniFormat);
    const int count = getFileCount(settings);
    if (count == 0) {
        Q_EMIT message(QStringLiteral("No files in product ini"));
        return false;
    }

    // First the whole ini is read and every line validated, so that an invalid line costs no
    // checksum at all; then the installed and downloaded files are checked.
    m_done = 0;
    m_count = count;
    std::vector<PendingEntry> entries;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        // The section names a folder on the mirror.
        if (section.contains(QChar(0))) {
            reportInvalidLine(section);
            return false;
        }
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        const bool isDeleteSection = section == deleteSection;
        for (const QString& key : keys) {
            if (!FileSpecifications::isContainedRelativePath(key)) {
                reportInvalidLine(section);
                return false;
            }
            if (isDeleteSection) {
                PendingEntry entry;
                entry.deletePath = key;
                entries.push_back(std::move(entry));
                continue;
            }

            const QStringList fields = valueText(settings.value(key)).split(fieldSeparator);
            if (fields.size() != 2 && fields.size() != 5) {
                reportInvalidLine(section);
                return false;
            }
            PendingEntry entry;
            entry.download.section = section;
            entry.download.fileName = key;
            entry.download.md5 = fields.at(0);
            entry.download.size = fields.at(1).toULongLong();
            entry.replace.section = section;
            entry.replace.fileName = key;
            if (fields.size() == 5) {
                entry.replace.unzipMd5 = fields.at(2);
                entry.replace.unzipSize = fields.at(3).toULongLong();
                entry.replace.unzipFileName = fields.at(4);
                // An empty name means "not packed"; any other must stay inside the installation.
                if (entry.replace.hasUnzip()
                    && !FileSpecifications::isContainedRelativePath(entry.replace.unzipFileName)) {
                    reportInvalidLine(section);
                    return false;
                }
            }
            // The old-copy prefix is the updater's own: a file installed under such a name would be
            // taken for the old copy of another and deleted, or could never be put in place.
            if (QFileInfo(entry.replace.pureDestFilePath())
                    .fileName()
                    .startsWith(Configuration::getSpecialFileRenamePrefix())) {
                reportInvalidLine(section);
                return false;
            }
            entries.push_back(std::move(entry));
        }
        settings.endGroup();
    }
    if (!deletesNoInstalledFile(entries)) {
        reportInvalidLine(deleteSection);
        return false;
    }
    checkAndPlan(entries);
    return true;
}

bool MakeDownloadReplaceListFunc::deletesNoInstalledFile(const std::vector<PendingEntry>& entries)
{
    // The deletion stage runs after the replacement: a path that the version both installs and
    // deletes would vanish from every installation that takes the update.
    QSet<QString> installed;
    for (const PendingEntry& entry : entries) {
        if (entry.deletePath.isEmpty())
            installed.insert(QDir::cleanPath(entry.replace.pureDestFilePath()));
    }
    for (const PendingEntry& entry : entries) {
        if (!entry.deletePath.isEmpty() && installed.contains(QDir::cleanPath(entry.deletePath)))
            return false;
    }
    return true;
}

void MakeDownloadReplaceListFunc::checkEntry(PendingEntry& entry) const
{
    if (!entry.deletePath.isEmpty()) {
        entry.installedValid = QFileInfo::exists(m_appRoot + QLatin1Char('/') + entry.deletePath);
        return;
    }
    const FileReplaceSpecification& replace = entry.replace;
    // An old copy that an interrupted run left behind; a link counts even when it points nowhere.
    if (!Configuration::isSpecialFileName(QFileInfo(replace.pureDestFilePath()).fileName())) {
        const QFileInfo old(m_appRoot + QLatin1Char('/') + replace.oldDestFileName());
        entry.staleOldCopy = old.isSymLink() || old.exists();
    }
    const QString installed = m_appRoot + QLatin1Char('/') + replace.destFileName(QString());
    entry.installedValid = isValidFile(installed, replace.hasUnzip() ? replace.unzipMd5 : entry.download.md5);
    if (!entry.installedValid)
        entry.downloadedValid =
            isValidFile(m_tempDir + QLatin1Char('/') + entry.download.fileName, entry.download.md5);
}

void MakeDownloadReplaceListFunc::checkAndPlan(std::vector<PendingEntry>& entries)
{
    // The checks are independent reads of different files, so they are spread over the cores: this
    // thread and helpers of the body's own pool take the next unchecked entry until none is left.
    // This thread plans the checked entries strictly in the ini's order as they become ready, so
    // the lists and the progress do not depend on which check ended first.
    const size_t size = entries.size();
    std::atomic<size_t> next {0};
    auto take = [&entries, &next, size, this]() {
        const size_t i = next++;
        if (i >= size)
            return false;
        checkEntry(entries[i]);
        entries[i].checked.store(true, std::memory_order_release);
        return true;
    };
    // Made here, on the thread that runs the body, so that it lives and dies on that thread.
    QThreadPool checkers;
    const int helpers = int(qMin<size_t>(size, size_t(QThread::idealThreadCount()))) - 1;
    checkers.setMaxThreadCount(qMax(1, helpers));
    for (int i = 0; i < helpers; ++i)
        checkers.start([&take] {
            while (take()) { }
        });

    size_t planned = 0;
    auto planReady = [&] {
        for (; planned < size && entries[planned].checked.load(std::memory_order_acquire); ++planned)
            plan(entries[planned]);
    };
    while (take())
        planReady();
    checkers.waitForDone();
    planReady();
}

void MakeDownloadReplaceListFunc::plan(const PendingEntry& entry)
{
    ++m_done;
    Q_EMIT progress(double(m_done) / double(m_count));
    if (!entry.deletePath.isEmpty()) {
        if (entry.installedValid)
            queueDelete(entry.deletePath);
        return;
    }
    // Removed by this run's deletion stage, which runs only after every file is in place; the
    // replacement itself deals with an old copy in its way first.
    if (entry.staleOldCopy)
        queueDelete(entry.replace.oldDestFileName());
    if (entry.installedValid)
        return;
    m_specifications.replaces.append(entry.replace);
    if (!entry.downloadedValid)
        m_specifications.downloads.append(entry.download);
}

void MakeDownloadReplaceListFunc::queueDelete(const QString& path)
{
    const QString cleaned = QDir::cleanPath(path);
    if (m_queuedDeletes.contains(cleaned))
        return;
    m_queuedDeletes.insert(cleaned);
    m_specifications.deletes.append(path);
}

bool MakeDownloadReplaceListFunc::isValidFile(const QString& path, const QString& md5) const
{
    // Only a regular file (or a link to one) is read: a FIFO would wait for a writer for ever, a
    // device would hand out whatever it holds. Anything else does not match and is replaced.
    if (!QFileInfo(path).isFile())
        return false;
    // Run here, on this thread, with nothing connected: its messages go nowhere. A missing file
    // fails to open, so no separate look-up is spent on it.
    CheckSigFunc check(path, md5);
    return check.run();
}

void MakeDownloadReplaceListFunc::reportInvalidLine(const QString& section)
{
    Q_EMIT message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section));
}
