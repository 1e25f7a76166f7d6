#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class QCoreApplication;

// What every fuzz target shares: the application object that Qt's file and settings code expects,
// and one scratch folder for the whole run.
//
// Every input gets files under names never used before: QSettings keeps a parsed file in a cache
// and trusts it while the file's modification time (in milliseconds) and size stay the same, so
// two inputs of the same size written in one millisecond under one name would read alike.
class FuzzScratch
{
public:
    // Made once, by the first call; lives until the process ends.
    static FuzzScratch& instance();

    // The scratch folder, absolute, without a trailing slash.
    QString root() const;
    // A path below root() that no earlier call has returned: prefix + a counter + suffix.
    QString freshPath(const QString& prefix, const QString& suffix);
    // Writes bytes to path; aborts the run when that fails, since every later result would lie.
    static void writeFile(const QString& path, const QByteArray& bytes);
    // Removes path (a file, or a folder with its contents); aborts when that fails.
    static void remove(const QString& path);

private:
    FuzzScratch();

    std::unique_ptr<QCoreApplication> m_application;
    QTemporaryDir m_dir;
    quint64 m_counter = 0;
};
