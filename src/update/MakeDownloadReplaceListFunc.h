#pragma once

#include "ASyncFunc.h"
#include "FileDownloadSpecification.h"
#include "FileReplaceSpecification.h"

#include <QSet>
#include <QString>

#include <atomic>
#include <utility>

class Configuration;
class QSettings;
struct FileSpecifications;

// The body of the plan compiler: reads the verified product ini from the temporary directory and
// compares every listed file by MD5 with the installed file and with a copy already downloaded.
//
// Built on the GUI thread, where it copies what it needs of the configuration (client type,
// temporary directory, installation directory); run() then reads only those copies, the file
// system and the ini, and writes only `specifications`, which nothing else touches while it runs.
// Reports "Compiling download and replace list", "No files in product ini" and "Warning: product
// ini contains invalid line in section %1" through message(), and progress() once per entry, in
// the ini's order, reaching exactly 1.0 with the last. The whole ini is validated before any file
// is checked; the MD5 checks then run in parallel on this thread and on helper threads of a
// pool of the body's own (not the global one), and run() returns only after all of them have ended.
//
// Refused as an invalid line: a path that would leave its directory or holds a NUL, an installed
// name that begins with the old-copy prefix ("_old_"), a delete entry naming an installed file.
// Only regular files are checked; anything else at a listed path counts as not matching. The
// deletes also receive, once each, the present old copies of every ordinary (not special) file
// the ini lists, so that what an interrupted run left behind goes with this one.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration* configuration, FileSpecifications& specifications);

    // Clears `specifications` and fills it; false, with `specifications` left empty, when the ini
    // has no entries or holds an invalid line.
    bool run() override;

    // The number of keys over all sections of the ini, the delete section included.
    int getFileCount(QSettings& settings);

private:
    // One entry of the ini, read and validated, whose files are still to be checked.
    struct PendingEntry
    {
        PendingEntry() = default;
        PendingEntry(PendingEntry&& other) noexcept
            : download(std::move(other.download))
            , replace(std::move(other.replace))
            , deletePath(std::move(other.deletePath))
        {
        }

        FileDownloadSpecification download;
        FileReplaceSpecification replace;
        QString deletePath; // set for an entry of the delete section only
        bool installedValid = false; // the installed file matches (delete entry: it exists)
        bool downloadedValid = false; // a valid copy is already in the temporary directory
        bool staleOldCopy = false; // an ordinary file whose old copy ("_old_" name) is present
        std::atomic<bool> checked {false}; // the two flags above are final
    };

    static bool deletesNoInstalledFile(const std::vector<PendingEntry>& entries);
    bool isValidFile(const QString& path, const QString& md5) const;
    void checkEntry(PendingEntry& entry) const;
    void checkAndPlan(std::vector<PendingEntry>& entries);
    // Adds a checked entry to the plan and reports the progress.
    void plan(const PendingEntry& entry);
    void reportInvalidLine(const QString& section);
    // Appends `path` to the deletes unless it is queued already (compared cleaned).
    void queueDelete(const QString& path);

    QSet<QString> m_queuedDeletes;
    int m_done = 0;
    int m_count = 0;

    FileSpecifications& m_specifications;
    const QString m_iniPath;
    const QString m_tempDir;
    const QString m_appRoot;
};
