#pragma once

#include <QString>
#include <QtGlobal>

// One file of the update plan to fetch from a mirror into the run's temporary directory: a plain
// value, copied freely. The mirror path is `section` + "/" + `fileName` below the version
// directory; the local path is the temporary directory + "/" + `fileName`.
struct FileDownloadSpecification
{
    // The product ini's file section the entry came from: the folder below the version directory.
    QString section;
    // The entry's key: the relative path below `section` and below the temporary directory.
    QString fileName;
    // Expected MD5 of the downloaded bytes, hexadecimal (compared without regard to case).
    QString md5;
    // Expected length of the downloaded file in bytes.
    quint64 size = 0;
};
