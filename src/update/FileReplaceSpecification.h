#pragma once

#include <QString>
#include <QtGlobal>

// One installed file of the update plan to put in place from the temporary directory: a plain
// value. None of its operations touches the file system.
struct FileReplaceSpecification
{
    // The product ini's file section the entry came from.
    QString section;
    // The entry's key: the download below the temporary directory; also the installed path when
    // nothing is unpacked.
    QString fileName;
    // MD5 of the unpacked file; empty when the download is installed as it is.
    QString unzipMd5;
    // Length of the unpacked file; carried along, never compared.
    quint64 unzipSize = 0;
    // Installed path of the unpacked file relative to the installation; empty when not packed.
    QString unzipFileName;

    // True when the download is gzip data to unpack to `unzipFileName`.
    bool hasUnzip() const;
    // The installed path relative to the installation directory.
    QString pureDestFilePath() const;
    // pureDestFilePath() with `prefix` put before its last component ("lib/libx.so" with "_old_"
    // gives "lib/_old_libx.so"); the path itself for an empty prefix.
    QString destFileName(const QString& prefix) const;
    // The name under which the replacement keeps the previous version: destFileName("_old_").
    QString oldDestFileName() const;
};
