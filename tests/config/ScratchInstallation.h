#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A scratch installation folder for one test: a temporary directory that the whole process takes
// as the application root (Configuration::getAppRootPath()) while the object lives. Removed, and
// the real root restored, on destruction. One at a time.
class ScratchInstallation
{
public:
    ScratchInstallation();
    ~ScratchInstallation();
    ScratchInstallation(const ScratchInstallation&) = delete;
    ScratchInstallation& operator=(const ScratchInstallation&) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString errorString() const { return m_dir.errorString(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& relativePath) const { return m_dir.filePath(relativePath); }

    // Writes a file below the root, creating missing folders. Empty text when that worked,
    // otherwise what went wrong.
    QString writeFile(const QString& relativePath, const QByteArray& contents = "x") const;

private:
    QTemporaryDir m_dir;
};
