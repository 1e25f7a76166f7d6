#include "TreeSnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

QString describe(const QFileInfo& info)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(info.filePath());
    if (lstat(native.constData(), &st) != 0)
        return QStringLiteral("unreadable");
    const QString mode = QString::number(st.st_mode & 07777, 8);
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("link %1 -> %2").arg(mode, info.symLinkTarget());
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("dir %1").arg(mode);
    QFile file(info.filePath());
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !md5.addData(&file))
        return QStringLiteral("file %1 unreadable").arg(mode);
    return QStringLiteral("file %1 %2 bytes md5 %3")
        .arg(mode)
        .arg(st.st_size)
        .arg(QString::fromLatin1(md5.result().toHex()));
}

} // namespace

TreeSnapshot TreeSnapshot::of(const QString& root)
{
    TreeSnapshot snapshot;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        snapshot.m_entries.insert(base.relativeFilePath(info.filePath()), describe(info));
    }
    return snapshot;
}

QStringList TreeSnapshot::pathsWithNamePrefix(const QString& prefix) const
{
    QStringList found;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (QFileInfo(it.key()).fileName().startsWith(prefix))
            found << it.key();
    }
    return found;
}

QString TreeSnapshot::differences(const TreeSnapshot& other) const
{
    QStringList lines;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        const auto there = other.m_entries.constFind(it.key());
        if (there == other.m_entries.cend())
            lines << QStringLiteral("gone: %1 (%2)").arg(it.key(), it.value());
        else if (there.value() != it.value())
            lines << QStringLiteral("changed: %1 (%2 -> %3)").arg(it.key(), it.value(), there.value());
    }
    for (auto it = other.m_entries.cbegin(); it != other.m_entries.cend(); ++it) {
        if (!m_entries.contains(it.key()))
            lines << QStringLiteral("new: %1 (%2)").arg(it.key(), it.value());
    }
    return lines.join(QLatin1Char('\n'));
}
