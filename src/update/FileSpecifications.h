#pragma once

#include "FileDownloadSpecification.h"
#include "FileReplaceSpecification.h"

#include <QList>
#include <QString>

// The update plan of one run: what to fetch, what to put in place and what to remove. The main task
// owns the one plan of a run and hands each stage the list it works on; everything runs on the GUI
// thread except the compiler's worker, which fills a private plan of its own.
struct FileSpecifications
{
    // Files to fetch into the temporary directory, in the order the product ini lists them.
    QList<FileDownloadSpecification> downloads;
    // Installed files to put in place, in the same order.
    QList<FileReplaceSpecification> replaces;
    // Paths, relative to the installation directory, of files to remove; the replacement stage
    // appends the old copies of the files it replaced.
    QList<QString> deletes;

    void clear();

    // True when `path`, joined below any directory, names something strictly inside it: not empty,
    // not absolute, without a ".." component or a NUL character, and not the directory itself. Every path a
    // product ini gives (keys, unpacked names, delete entries) must pass before it is planned, so that a
    // release can never write or delete outside the installation or the temporary directory.
    static bool isContainedRelativePath(const QString& path);
};
