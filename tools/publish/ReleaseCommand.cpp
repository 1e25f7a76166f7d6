#include "ReleaseCommand.h"

#include "KeyFile.h"
#include "RsaKey.h"
#include "SignCommand.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

#include <zlib.h>

#include <algorithm>

namespace {
const QString fileSection = QStringLiteral("files");
const QString deleteSection = QStringLiteral("delete");
const QString packSuffix = QStringLiteral(".gz");
constexpr qint64 chunkSize = 64 * 1024;
// The updater sets an installed file aside under this prefix while it replaces it.
const QString oldCopyPrefix = QStringLiteral("_old_");
// The longest file name the file systems of the clients hold, in bytes.
constexpr int maxNameBytes = 255;
// The files the updater makes executable after putting them in place; it gives no other file an
// execute bit (tst_publishrelease checks the warning against FileReplaceTaskSpecification's lists).
const QStringList updaterExecutableNames = {
    QStringLiteral("kv3client_linux_x86"), QStringLiteral("kv3client_linux_amd64"),
    QStringLiteral("kv3client_runscript.sh"), QStringLiteral("update")};
const QStringList updaterExecutableSuffixes = {QStringLiteral("so"), QStringLiteral("so.4")};

bool updaterMakesExecutable(const QString& installed)
{
    const QFileInfo info(installed);
    return updaterExecutableNames.contains(info.fileName())
        || updaterExecutableSuffixes.contains(info.completeSuffix());
}

QString updaterExecutableRule()
{
    QStringList suffixes;
    for (const QString& suffix : updaterExecutableSuffixes)
        suffixes << QLatin1Char('.') + suffix;
    return QStringLiteral("the updater makes executable only the files named %1, and those whose name "
                          "ends after its first dot in exactly %2 (as libx.so, not libx.so.4.8)")
        .arg(updaterExecutableNames.join(QStringLiteral(", ")), suffixes.join(QStringLiteral(" or ")));
}

// Whether the updater would accept `path` in a [delete] section: relative, inside the
// installation, without a NUL.
bool isInstallationPath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.contains(QStringLiteral("..")))
        return false;
    const QString cleaned = QDir::cleanPath(path);
    return cleaned != QLatin1String(".") && !cleaned.isEmpty();
}

// Every folder that holds one of `paths`, at any depth.
QSet<QString> foldersOf(const QSet<QString>& paths)
{
    QSet<QString> folders;
    for (const QString& path : paths) {
        for (QString dir = QFileInfo(path).path(); dir != QLatin1String(".") && !folders.contains(dir);
             dir = QFileInfo(dir).path())
            folders.insert(dir);
    }
    return folders;
}

QString field(const QByteArray& md5, qint64 size)
{
    return QString::fromLatin1(md5.toHex()) + QStringLiteral("::") + QString::number(size);
}

// MD5 and length of a file, read in chunks.
bool digest(const QString& path, QByteArray& md5, qint64& size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return false;
    md5 = hash.result();
    size = file.size();
    return true;
}

// gzip of `source` to `dest`, streamed through a fixed buffer.
bool gzipFile(const QString& source, const QString& dest)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    gzFile out = gzopen(QFile::encodeName(dest).constData(), "wb");
    if (!out)
        return false;
    QByteArray buffer(int(chunkSize), Qt::Uninitialized);
    bool ok = true;
    for (;;) {
        const qint64 n = in.read(buffer.data(), chunkSize);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (gzwrite(out, buffer.constData(), unsigned(n)) != int(n)) {
            ok = false;
            break;
        }
    }
    return gzclose(out) == Z_OK && ok;
}

// A value as the updater reads it: QSettings turns an unquoted value with commas into a list.
QString valueText(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool matchesAny(const QList<QRegularExpression>& patterns, const QString& relative)
{
    const QString fileName = QFileInfo(relative).fileName();
    return std::any_of(patterns.cbegin(), patterns.cend(), [&](const QRegularExpression& re) {
        return re.match(relative).hasMatch() || re.match(fileName).hasMatch();
    });
}
} // namespace

QString ReleaseCommand::name() const
{
    return QStringLiteral("release");
}

QString ReleaseCommand::summary() const
{
    return QStringLiteral("Publish a client version as a signed version directory under a mirror root.");
}

QString ReleaseCommand::description() const
{
    return summary()
        + QStringLiteral(
               "\n\nWrites ROOT/VERSION/TYPE.ini (\"type=TYPE\" and \"version=VERSION\" above one section "
               "\"files\" listing every file of SOURCE with "
               "its MD5 "
               "and size), TYPE.ini.sig, files/PATH for every file (files/PATH.gz, gzip-packed, for PATH "
               "matching "
               "a --pack pattern), and changelog_client.txt. With --previous, a [delete] section lists the "
               "files of the previous version that SOURCE no longer has, and the previous version's own "
               "[delete] entries that SOURCE does not have again. Copy ROOT/VERSION as it is to every "
               "mirror.");
}

void ReleaseCommand::setUp(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("key"), QStringLiteral("The key pair (private.der from keygen)."),
                      QStringLiteral("private.der")});
    parser.addOption({QStringLiteral("version"), QStringLiteral("The version number to publish."),
                      QStringLiteral("number")});
    parser.addOption({QStringLiteral("type"), QStringLiteral("The client type; names the product ini."),
                      QStringLiteral("type")});
    parser.addOption({QStringLiteral("out"),
                      QStringLiteral("The mirror root that receives the version directory."),
                      QStringLiteral("root")});
    parser.addOption(
        {QStringLiteral("pack"),
         QStringLiteral("Store files whose path or name matches this glob gzip-packed; repeatable."),
         QStringLiteral("glob")});
    parser.addOption(
        {QStringLiteral("previous"),
         QStringLiteral("The previous version directory, or its product ini, for the [delete] section."),
         QStringLiteral("path")});
    parser.addOption({QStringLiteral("changelog"), QStringLiteral("Copied as changelog_client.txt."),
                      QStringLiteral("file")});
    parser.addPositionalArgument(QStringLiteral("SOURCE"),
                                 QStringLiteral("Folder holding the complete client version."));
}

int ReleaseCommand::execute(const QCommandLineParser& parser)
{
    for (const char* required : {"key", "version", "type", "out"}) {
        if (!parser.isSet(QLatin1String(required)))
            return usageError(parser, QStringLiteral("--%1 is required").arg(QLatin1String(required)));
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(parser, QStringLiteral("give exactly one SOURCE folder"));
    bool numeric = false;
    const int version = parser.value(QStringLiteral("version")).toInt(&numeric);
    if (!numeric || version <= 0)
        return usageError(parser, QStringLiteral("--version must be a positive whole number"));
    const QString clientType = parser.value(QStringLiteral("type"));
    if (clientType.isEmpty() || clientType.contains(QLatin1Char('/'))
        || clientType.startsWith(QLatin1Char('.')))
        return usageError(parser, QStringLiteral("--type must be a plain name"));
    const QString source = QDir(positional.first()).absolutePath();
    if (!QFileInfo(source).isDir()) {
        err() << "release: " << source << " is not a folder\n" << Qt::flush;
        return Failure;
    }

    RsaKey key;
    QString error;
    if (!KeyFile::load(parser.value(QStringLiteral("key")), KeyFile::Need::KeyPair, key, &error)) {
        err() << "release: " << error << '\n' << Qt::flush;
        return Failure;
    }

    QList<Entry> entries;
    if (!collectFiles(source, parser.values(QStringLiteral("pack")), entries))
        return Failure;
    QStringList deletes;
    if (parser.isSet(QStringLiteral("previous"))
        && !listDeletes(parser.value(QStringLiteral("previous")), clientType, entries, deletes))
        return Failure;
    warnAboutExecuteBits(source, entries);

    const QDir root(parser.value(QStringLiteral("out")));
    const QString finalDir = root.absoluteFilePath(QString::number(version));
    if (QFileInfo::exists(finalDir)) {
        err() << "release: " << finalDir << " exists already; a published version is never replaced\n"
              << Qt::flush;
        return Failure;
    }
    const QString stagingDir = finalDir + QStringLiteral(".partial");
    QDir(stagingDir).removeRecursively();
    if (!QDir().mkpath(stagingDir)) {
        err() << "release: cannot create " << stagingDir << '\n' << Qt::flush;
        return Failure;
    }

    QStringList values;
    bool ok = true;
    for (const Entry& entry : std::as_const(entries)) {
        QString value;
        if (!storeEntry(source, stagingDir, entry, value)) {
            ok = false;
            break;
        }
        values.append(value);
    }
    const QString iniPath = stagingDir + QLatin1Char('/') + clientType + QStringLiteral(".ini");
    ok = ok && writeIni(iniPath, clientType, version, entries, values, deletes)
        && SignCommand::writeSignature(key, iniPath, "release");
    if (ok && parser.isSet(QStringLiteral("changelog"))) {
        const QString changelog = parser.value(QStringLiteral("changelog"));
        if (!QFile::copy(changelog, stagingDir + QStringLiteral("/changelog_client.txt"))) {
            err() << "release: cannot copy the change log " << changelog << '\n';
            ok = false;
        }
    }
    if (ok && !QDir().rename(stagingDir, finalDir)) {
        err() << "release: cannot rename " << stagingDir << " to " << finalDir << '\n';
        ok = false;
    }
    if (!ok) {
        QDir(stagingDir).removeRecursively();
        err() << Qt::flush;
        return Failure;
    }
    out() << "published " << entries.size() << " files, " << deletes.size() << " deletions: " << finalDir
          << '\n'
          << Qt::flush;
    return Success;
}

bool ReleaseCommand::listDeletes(const QString& previousPath, const QString& clientType,
                                 const QList<Entry>& entries, QStringList& deletes)
{
    QSet<QString> previous;
    QStringList previousDeletes;
    if (!readPrevious(previousPath, clientType, previous, previousDeletes))
        return false;
    QSet<QString> installed;
    for (const Entry& entry : std::as_const(entries))
        installed.insert(entry.installed);
    const QSet<QString> folders = foldersOf(installed);
    const QSet<QString> previousFolders = foldersOf(previous);
    for (const Entry& entry : std::as_const(entries)) {
        // The updater creates the folders of a new file before it deletes anything, and
        // cannot make a folder where the previous version has a file: every update from that
        // version would fail and be rolled back.
        for (QString dir = QFileInfo(entry.installed).path(); dir != QLatin1String(".");
             dir = QFileInfo(dir).path()) {
            if (previous.contains(dir)) {
                err() << "release: " << dir << " is a file in the previous version and a folder in this one ("
                      << entry.installed << "); the updater cannot replace a file by a folder\n"
                      << Qt::flush;
                return false;
            }
        }
        // Nor the other way round: it would set the folder aside under its old-copy name,
        // where no deletion removes it, and the files of the previous version in it would
        // stay there for good.
        if (previousFolders.contains(entry.installed)) {
            err() << "release: " << entry.installed
                  << " is a folder in the previous version and a file in this one; the updater "
                     "cannot replace a folder by a file\n"
                  << Qt::flush;
            return false;
        }
    }
    // The files of the previous version that this one no longer has, and what the previous
    // version deleted itself, carried forward: a client that skips versions must lose them too.
    // What this version has again, as a file or a folder, is no longer deleted.
    // A path the updater would refuse would make it refuse the whole product ini.
    QStringList candidates(previous.cbegin(), previous.cend());
    candidates += previousDeletes;
    QSet<QString> gone;
    for (const QString& path : std::as_const(candidates)) {
        if (!isInstallationPath(path)) {
            err() << "release: warning: the previous version names " << path
                  << ", which is no path inside the installation; it is not deleted\n"
                  << Qt::flush;
            continue;
        }
        const QString cleaned = QDir::cleanPath(path);
        if (!installed.contains(cleaned) && !folders.contains(cleaned))
            gone.insert(cleaned);
    }
    deletes = QStringList(gone.cbegin(), gone.cend());
    deletes.sort();
    return true;
}

void ReleaseCommand::warnAboutExecuteBits(const QString& source, const QList<Entry>& entries)
{
    for (const Entry& entry : std::as_const(entries)) {
        const QFileInfo info(source + QLatin1Char('/') + entry.installed);
        if ((info.permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther))
            && !updaterMakesExecutable(entry.installed))
            err() << "release: warning: " << entry.installed
                  << " has an execute bit that it loses when the updater installs it: "
                  << updaterExecutableRule() << '\n'
                  << Qt::flush;
    }
}

bool ReleaseCommand::collectFiles(const QString& source, const QStringList& packPatterns,
                                  QList<Entry>& entries)
{
    QList<QRegularExpression> patterns;
    for (const QString& glob : packPatterns)
        patterns.append(QRegularExpression(QRegularExpression::wildcardToRegularExpression(
            glob, QRegularExpression::UnanchoredWildcardConversion)));
    // Anchored by hand: a pattern without "/" may match the name alone, one with "/" the path.
    for (QRegularExpression& re : patterns)
        re.setPattern(QStringLiteral("\\A(?:") + re.pattern() + QStringLiteral(")\\z"));

    const QDir base(source);
    // Every entry is looked at, not only files: what cannot be published must stop the release
    // rather than go missing from it, or a --previous release would even list it for deletion.
    QDirIterator it(source, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QSet<QString> keys;
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString relative = base.relativeFilePath(info.filePath());
        if (info.isDir() && !info.isSymLink())
            continue; // its files follow
        // A link to a file is published as a copy of that file; a link to a folder is not
        // followed (it may lead back up the tree), and a broken link or a special file has
        // nothing to publish.
        if (!info.isFile()) {
            err() << "release: " << relative
                  << " cannot be published: a link to a folder, a broken link or a special file\n"
                  << Qt::flush;
            return false;
        }
        // The ini reader takes "\" for a group separator.
        if (relative.contains(QLatin1Char('\\'))) {
            err() << "release: file names with a backslash cannot be published: " << relative << '\n'
                  << Qt::flush;
            return false;
        }
        // The updater takes a file of that name for the old copy of another and deletes it, or
        // cannot set the other aside; and an old copy's name must fit the file system.
        const QString fileName = info.fileName();
        if (fileName.startsWith(oldCopyPrefix)) {
            err() << "release: " << relative << ": names beginning with \"" << oldCopyPrefix
                  << "\" are the updater's own, for the copies it sets aside while it updates\n"
                  << Qt::flush;
            return false;
        }
        if (QFile::encodeName(oldCopyPrefix + fileName).size() > maxNameBytes) {
            err() << "release: " << relative << " cannot be published: its old copy's name would exceed "
                  << maxNameBytes << " bytes, so the updater could never replace it\n"
                  << Qt::flush;
            return false;
        }
        Entry entry;
        entry.installed = relative;
        entry.packed = matchesAny(patterns, relative);
        // A packed entry names its installed path in the last "::"-separated field of its value;
        // a "::" inside that path would give the line extra fields, and the updater refuses the
        // whole ini over one invalid line.
        if (entry.packed && relative.contains(QStringLiteral("::"))) {
            err() << "release: a packed file's name cannot hold \"::\": " << relative << '\n' << Qt::flush;
            return false;
        }
        entry.key = entry.packed ? relative + packSuffix : relative;
        entries.append(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    for (const Entry& entry : std::as_const(entries)) {
        if (keys.contains(entry.key)) {
            err() << "release: " << entry.key << " would be stored twice (packed and as it is)\n"
                  << Qt::flush;
            return false;
        }
        keys.insert(entry.key);
    }
    if (entries.isEmpty()) {
        err() << "release: " << source << " holds no files\n" << Qt::flush;
        return false;
    }
    return true;
}

bool ReleaseCommand::readPrevious(const QString& previous, const QString& clientType,
                                  QSet<QString>& installed, QStringList& deletes)
{
    const QString ini = QFileInfo(previous).isDir()
        ? previous + QLatin1Char('/') + clientType + QStringLiteral(".ini")
        : previous;
    if (!QFileInfo(ini).isFile()) {
        err() << "release: no product ini at " << ini << '\n' << Qt::flush;
        return false;
    }
    QSettings settings(ini, QSettings::IniFormat);
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        if (section == deleteSection) {
            deletes += settings.allKeys();
            settings.endGroup();
            continue;
        }
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys) {
            const QStringList fields = valueText(settings.value(key)).split(QStringLiteral("::"));
            installed.insert(fields.size() == 5 && !fields.at(4).isEmpty() ? fields.at(4) : key);
        }
        settings.endGroup();
    }
    return true;
}

bool ReleaseCommand::storeEntry(const QString& source, const QString& versionDir, const Entry& entry,
                                QString& value)
{
    const QString from = source + QLatin1Char('/') + entry.installed;
    const QString to = versionDir + QLatin1Char('/') + fileSection + QLatin1Char('/') + entry.key;
    if (!QDir().mkpath(QFileInfo(to).path())) {
        err() << "release: cannot create the folder of " << to << '\n';
        return false;
    }
    const bool stored = entry.packed ? gzipFile(from, to) : QFile::copy(from, to);
    if (!stored) {
        err() << "release: cannot store " << from << " as " << to << '\n';
        return false;
    }
    QByteArray storedMd5;
    qint64 storedSize = 0;
    if (!digest(to, storedMd5, storedSize)) {
        err() << "release: cannot read " << to << '\n';
        return false;
    }
    value = field(storedMd5, storedSize);
    if (entry.packed) {
        QByteArray md5;
        qint64 size = 0;
        if (!digest(from, md5, size)) {
            err() << "release: cannot read " << from << '\n';
            return false;
        }
        value += QStringLiteral("::") + field(md5, size) + QStringLiteral("::") + entry.installed;
    }
    return true;
}

bool ReleaseCommand::writeIni(const QString& iniPath, const QString& clientType, int version,
                              const QList<Entry>& entries, const QStringList& values,
                              const QStringList& deletes)
{
    // The updater reads the ini with QSettings, so QSettings writes it: its quoting and escaping
    // rules are the reader's. The release's name goes above the first section, inside the signed
    // bytes, where readers that only look at sections never see it. QSettings itself writes such
    // keys under a "[General]" header, so they are written on their own and the header dropped.
    const QString headPath = iniPath + QStringLiteral(".head");
    {
        QSettings head(headPath, QSettings::IniFormat);
        head.setValue(QStringLiteral("type"), clientType);
        head.setValue(QStringLiteral("version"), QString::number(version));
        head.sync();
        if (head.status() != QSettings::NoError) {
            err() << "release: cannot write " << headPath << '\n';
            return false;
        }
    }
    QByteArray headBytes;
    {
        QFile headFile(headPath);
        if (headFile.open(QIODevice::ReadOnly))
            headBytes = headFile.readAll();
        headFile.remove();
    }
    const QByteArray generalHeader = QByteArrayLiteral("[General]\n");
    if (!headBytes.startsWith(generalHeader)) {
        err() << "release: unexpected form of " << headPath << '\n';
        return false;
    }
    headBytes.remove(0, generalHeader.size());
    if (!headBytes.endsWith('\n'))
        headBytes += '\n';
    headBytes += '\n';

    {
        QSettings settings(iniPath, QSettings::IniFormat);
        settings.beginGroup(fileSection);
        for (int i = 0; i < entries.size(); ++i)
            settings.setValue(entries.at(i).key, values.at(i));
        settings.endGroup();
        settings.beginGroup(deleteSection);
        for (const QString& path : deletes)
            settings.setValue(path, QString());
        settings.endGroup();
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            err() << "release: cannot write " << iniPath << '\n';
            return false;
        }
    }
    QFile ini(iniPath);
    QByteArray sections;
    if (ini.open(QIODevice::ReadOnly))
        sections = ini.readAll();
    ini.close();
    QSaveFile whole(iniPath);
    if (sections.isEmpty() || !whole.open(QIODevice::WriteOnly) || whole.write(headBytes) != headBytes.size()
        || whole.write(sections) != sections.size() || !whole.commit()) {
        err() << "release: cannot write " << iniPath << '\n';
        return false;
    }
    return true;
}
