#pragma once

#include "Command.h"

#include <QSet>
#include <QStringList>

class RsaKey;

/// `release`: publishes one complete client version as a version directory under a mirror root,
/// ready to be copied as it is to any static HTTP server:
///
///     ROOT/VERSION/TYPE.ini              the product ini: "type=TYPE" and "version=VERSION" above
///                                        its first section, then one section "files" for everything
///     ROOT/VERSION/TYPE.ini.sig          its RSASSA-PSS signature under the release key
///     ROOT/VERSION/files/PATH            every file of the source folder, stored as it is, or
///     ROOT/VERSION/files/PATH.gz         gzip-packed when PATH matches a --pack pattern
///     ROOT/VERSION/changelog_client.txt  the change log, when --changelog is given
///
/// A packed entry uses the five-field form, so the updater unpacks it to PATH. With --previous,
/// the [delete] section lists the installed paths of the previous version that this one no longer
/// has, and carries the previous [delete] entries forward, less what this version has again (as a
/// file or a folder); a release that would need a file of the previous version to become a folder,
/// or a folder to become a file, is refused, since no update from that version could install it.
/// A link to a file is published as a copy of it; a link to a folder, a broken link or a special
/// file in SOURCE stops the release instead of going missing from it, and so do a file named with
/// the updater's old-copy prefix "_old_" and one whose old-copy name would exceed 255 bytes. A file
/// with an execute bit that the updater will not give it (it makes executable only the names and
/// suffixes of its rule) is published with a warning on stderr that names the rule. The directory is built
/// under a temporary name beside its final one and renamed into place at the end, so a mirror root never
/// shows half a release; an existing version is never replaced.
class ReleaseCommand : public Command
{
public:
    QString name() const override;
    QString summary() const override;
    QString description() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int execute(const QCommandLineParser& parser) override;

private:
    struct Entry
    {
        QString key; ///< path below the section, on the mirror
        QString installed; ///< path below the installation
        bool packed = false;
    };

    bool collectFiles(const QString& source, const QStringList& packPatterns, QList<Entry>& entries);
    /// The installed paths of the previous version's files, and its [delete] entries as written.
    bool readPrevious(const QString& previous, const QString& clientType, QSet<QString>& installed,
                      QStringList& deletes);
    /// The [delete] entries for a release of `entries` after the version at `previousPath`; false,
    /// after saying why, when no update from that version could install this one.
    bool listDeletes(const QString& previousPath, const QString& clientType, const QList<Entry>& entries,
                     QStringList& deletes);
    /// Warns on stderr about every file with an execute bit that the updater will not give it.
    void warnAboutExecuteBits(const QString& source, const QList<Entry>& entries);
    bool storeEntry(const QString& source, const QString& versionDir, const Entry& entry, QString& value);
    /// Writes the product ini: "type" and "version" above the first section, then [files] and
    /// [delete].
    bool writeIni(const QString& iniPath, const QString& clientType, int version, const QList<Entry>& entries,
                  const QStringList& values, const QStringList& deletes);
};
