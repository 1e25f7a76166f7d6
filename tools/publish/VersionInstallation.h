#pragma once

#include <QString>

/// Rebuilds the installation of one published version from its own version directory, as an
/// updater that installed it from scratch would leave it: every file of the product ini's file
/// sections, stored files copied and packed ones unpacked to their installed paths. Each stored
/// file is checked against its entry's size and MD5, and each unpacked file against its unpacked
/// MD5, so that a damaged version directory is never mistaken for the release.
///
/// Modes follow the updater: a new file gets the process's default mode (0666 less the umask),
/// and the program files the updater marks executable get 0755 (its own rule, reused).
/// The [delete] section plays no part here; it only matters to an update.
class VersionInstallation
{
public:
    /// Writes the installation of `versionDir` (a version directory holding TYPE.ini) into the
    /// existing empty folder `dest`. False with *error naming the entry when an entry is invalid,
    /// escapes the folder, is missing, does not match the ini, or cannot be written.
    static bool rebuild(const QString& versionDir, const QString& clientType, const QString& dest,
                        QString* error);

    /// True when `relative` is a plain relative path below a folder: no "..", no absolute path,
    /// no empty component, no backslash (the ini reader's group separator).
    static bool isSafeRelativePath(const QString& relative);
};
