#include "InstallationComparison.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <algorithm>

namespace {
constexpr qint64 chunkSize = 64 * 1024;

enum class Kind { File, Folder, Other };

struct Node
{
    Kind kind = Kind::Other;
    QFileDevice::Permissions mode;
};

// Every entry below root, links not followed (a link is Other, never what it points to).
QMap<QString, Node> scan(const QString& root)
{
    QMap<QString, Node> nodes;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        Node node;
        if (info.isSymLink())
            node.kind = Kind::Other;
        else if (info.isDir())
            node.kind = Kind::Folder;
        else if (info.isFile())
            node.kind = Kind::File;
        node.mode = info.permissions();
        nodes.insert(base.relativeFilePath(info.filePath()), node);
    }
    return nodes;
}

bool sameBytes(const QString& a, const QString& b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    for (;;) {
        const QByteArray ca = fa.read(chunkSize);
        const QByteArray cb = fb.read(chunkSize);
        if (ca != cb)
            return false;
        if (ca.isEmpty())
            return true;
    }
}

QString modeText(QFileDevice::Permissions mode)
{
    // QFileDevice keeps the owner's bits twice (as owner and as "user"); the octal mode uses the
    // owner's, group's and others'.
    int octal = 0;
    const QFileDevice::Permission bits[] = {
        QFileDevice::ReadOwner, QFileDevice::WriteOwner, QFileDevice::ExeOwner,
        QFileDevice::ReadGroup, QFileDevice::WriteGroup, QFileDevice::ExeGroup,
        QFileDevice::ReadOther, QFileDevice::WriteOther, QFileDevice::ExeOther};
    for (QFileDevice::Permission bit : bits)
        octal = octal * 2 + (mode.testFlag(bit) ? 1 : 0);
    return QStringLiteral("0") + QString::number(octal, 8);
}

QFileDevice::Permissions ugoBits(QFileDevice::Permissions mode)
{
    return mode
        & (QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
           | QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
           | QFileDevice::WriteOther | QFileDevice::ExeOther);
}

bool isOldCopy(const QString& path)
{
    return QFileInfo(path).fileName().startsWith(QLatin1String("_old_"));
}
} // namespace

QStringList InstallationComparison::differences(const QString& expected, const QString& actual,
                                                const QString& versionName, const QSet<QString>& ignored)
{
    const QMap<QString, Node> want = scan(expected);
    QMap<QString, Node> have = scan(actual);
    for (const QString& path : ignored)
        have.remove(path);

    QStringList clashes;
    QStringList missing;
    QStringList changed;
    QStringList extra;
    for (auto it = want.cbegin(); it != want.cend(); ++it) {
        const QString& path = it.key();
        const auto found = have.constFind(path);
        if (found == have.cend()) {
            if (it->kind == Kind::File)
                missing << QStringLiteral("%1: missing (%2 has this file)").arg(path, versionName);
            continue;
        }
        if (it->kind == Kind::Folder && found->kind != Kind::Folder) {
            clashes << QStringLiteral(
                           "%1: a file here, a folder in %2; the updater cannot turn a file into a folder")
                           .arg(path, versionName);
        } else if (it->kind == Kind::File && found->kind == Kind::Folder) {
            clashes << QStringLiteral("%1: a folder here, a file in %2").arg(path, versionName);
        } else if (it->kind == Kind::File && found->kind != Kind::File) {
            changed << QStringLiteral("%1: not a plain file here (a link or a special file)").arg(path);
        } else if (it->kind == Kind::File
                   && !sameBytes(expected + QLatin1Char('/') + path, actual + QLatin1Char('/') + path)) {
            changed << QStringLiteral("%1: content differs from %2").arg(path, versionName);
        } else if (it->kind == Kind::File && ugoBits(it->mode) != ugoBits(found->mode)) {
            changed << QStringLiteral("%1: mode %2, %3 has %4")
                           .arg(path, modeText(found->mode), versionName, modeText(it->mode));
        }
    }
    for (auto it = have.cbegin(); it != have.cend(); ++it) {
        const QString& path = it.key();
        if (it->kind == Kind::Folder || want.contains(path))
            continue;
        // Below a file of the reference: already reported as a clash of that file.
        bool belowClash = false;
        for (QString dir = QFileInfo(path).path(); dir != QLatin1String("."); dir = QFileInfo(dir).path())
            belowClash = belowClash || (want.contains(dir) && want.value(dir).kind == Kind::File);
        if (belowClash)
            continue;
        if (isOldCopy(path))
            extra << QStringLiteral("%1: old copy left over").arg(path);
        else
            extra << QStringLiteral(
                         "%1: left over; %2 has no such file (its [delete] section does not list it)")
                         .arg(path, versionName);
    }
    for (QStringList* list : {&clashes, &missing, &changed, &extra})
        std::sort(list->begin(), list->end());
    return clashes + missing + changed + extra;
}
