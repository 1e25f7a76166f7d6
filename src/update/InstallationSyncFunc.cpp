#include "InstallationSyncFunc.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

InstallationSyncFunc::InstallationSyncFunc(const QString& root)
    : m_root(root)
{
}

bool InstallationSyncFunc::run()
{
    const int fd = ::open(QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        Q_EMIT message(QStringLiteral("Could not open %1 to flush it to disk: %2")
                           .arg(m_root, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    // Reports a write-back error that the file system met since this descriptor was opened, or
    // (on Linux 5.8 and later) since any earlier syncfs() on it.
    const int result = ::syncfs(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) {
        Q_EMIT message(QStringLiteral("Could not flush %1 to disk: %2")
                           .arg(m_root, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    return true;
}
