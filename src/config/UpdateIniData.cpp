#include "UpdateIniData.h"

#include "Configuration.h"
#include "LogCategory.h"
#include "SettingsText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryFile>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char markerFileName[] = ".kelvaro_session";

// The engine empties and removes the recorded directory, or downloads into it and installs from
// it, so the record must never be able to point it at other files of the user (their home, say):
// only a directory that a run of this installation made is taken. That is a "kelvaro_temp_<n>"
// directly in the temp folder that createTempDir() uses now, holding the marker that names this
// root. The name is predictable and a shared /tmp is emptied at boot, so once the session's own
// directory is gone anybody may put something under that name: it must also be a real directory
// of this user that is not writable by all (a group-writable one is: with a umask of 002 every
// folder of the user is). Anything else makes the record stale, and the next run starts afresh.
bool isSessionDirectoryOfThisInstallation(const QString& path)
{
    // Taken as written: the engine uses the text, and "link/.." leads elsewhere than the cleaned
    // form says. A record that a run wrote is always clean and absolute.
    if (!QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path)
        return false;
    static const QRegularExpression sessionName(QStringLiteral("^kelvaro_temp_(0|[1-9][0-9]{0,2})$"));
    const QFileInfo info(path);
    const QString base = Configuration::getTempBasePath();
    if (base.isEmpty() || info.path() != QDir::cleanPath(base)
        || !sessionName.match(info.fileName()).hasMatch())
        return false;

    // The checks and the marker's read go through one descriptor of the directory, so that they
    // are about the same directory. O_NOFOLLOW refuses a link in its place.
    const int dirFd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    const auto closeDir = qScopeGuard([dirFd] { ::close(dirFd); });
    struct stat dirInfo;
    if (::fstat(dirFd, &dirInfo) != 0 || !S_ISDIR(dirInfo.st_mode) || dirInfo.st_uid != ::geteuid()
        || (dirInfo.st_mode & S_IWOTH) != 0)
        return false;

    // A plain file only, read without blocking (a FIFO would wait for a writer) and no further
    // than the expected line.
    const int markerFd = ::openat(dirFd, markerFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (markerFd < 0)
        return false;
    const auto closeMarker = qScopeGuard([markerFd] { ::close(markerFd); });
    struct stat markerInfo;
    if (::fstat(markerFd, &markerInfo) != 0 || !S_ISREG(markerInfo.st_mode))
        return false;
    const QByteArray expected = Configuration::getAppRootPath().toUtf8() + '\n';
    QByteArray marker(expected.size() + 1, '\0');
    qsizetype filled = 0;
    while (filled < marker.size()) {
        const ssize_t got = ::read(markerFd, marker.data() + filled, size_t(marker.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        filled += got;
    }
    marker.truncate(filled);
    return marker == expected;
}

// update.ini is the user's file: the record is spliced into it as text, and every byte outside
// the group "current" stays as it was. Rewriting it through QSettings would drop comments, turn
// an unquoted "a,b" into "a, b" and Latin-1 bytes into U+FFFD.

// The file is small and hand-written; anything larger is not an update.ini to edit.
constexpr qint64 maxIniFileSize = 1024 * 1024;

void logWriteFailure(const QString& path, const QString& reason)
{
    logUpdateLine(QStringLiteral("Cannot write the session record to %1: %2").arg(path, reason));
}

// Reads the whole file; a missing file reads as empty. Not a plain file (a folder, a FIFO that
// would block) or too large: false with the reason.
bool readIniFile(const QString& path, QByteArray* contents, QString* error)
{
    contents->clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = QString::fromLocal8Bit(::strerror(errno));
        return false;
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = QStringLiteral("not a plain file");
        return false;
    }
    if (info.st_size > maxIniFileSize) {
        *error = QStringLiteral("larger than %1 bytes").arg(maxIniFileSize);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = QString::fromLocal8Bit(::strerror(errno));
            return false;
        }
        if (got == 0)
            return true;
        contents->append(buffer, got);
        if (contents->size() > maxIniFileSize) {
            *error = QStringLiteral("larger than %1 bytes").arg(maxIniFileSize);
            return false;
        }
    }
}

// Written aside and renamed over the old file: a reader or a crash never meets half a file.
bool writeIniFile(const QString& path, const QByteArray& contents, QString* error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.commit())
        return true;
    *error = file.errorString();
    return false;
}

// The line end the file uses already, so that a file with CRLF stays one.
QByteArray lineEndOf(const QByteArray& contents)
{
    return contents.contains("\r\n") ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
}

// A text value escaped as the toolkit's ini reader reads it back (the toolkit's own writer does
// the same): a leading "@" doubled, control characters, quotes and backslashes escaped, UTF-8
// otherwise, in quotes when it holds a separator or blanks at either end.
QByteArray iniValue(const QString& text)
{
    const QString value = text.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + text : text;
    QByteArray result;
    bool needsQuotes = false;
    // After a "\x" or "\0" escape a hex digit would be read as part of it.
    bool escapeNextIfHexDigit = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char16_t ch = value.at(i).unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        const bool hexDigit =
            (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
        if (escapeNextIfHexDigit && hexDigit) {
            result += "\\x" + QByteArray::number(uint(ch), 16);
            continue;
        }
        escapeNextIfHexDigit = false;
        switch (ch) {
        case '\0':
            result += "\\0";
            escapeNextIfHexDigit = true;
            break;
        case '\a':
            result += "\\a";
            break;
        case '\b':
            result += "\\b";
            break;
        case '\f':
            result += "\\f";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\v':
            result += "\\v";
            break;
        case '"':
        case '\\':
            result += '\\';
            result += char(ch);
            break;
        default:
            if (ch <= 0x1F) {
                result += "\\x" + QByteArray::number(uint(ch), 16);
                escapeNextIfHexDigit = true;
            } else if (value.at(i).isHighSurrogate() && i + 1 < value.size()) {
                result += value.mid(i, 2).toUtf8();
                ++i;
            } else {
                result += QString(value.at(i)).toUtf8();
            }
        }
    }
    if (needsQuotes || result.startsWith(' ') || result.endsWith(' '))
        result = '"' + result + '"';
    return result;
}

// One entry of the file as the toolkit's reader sees it: a comment or blank line, a group header,
// or a key line, each with its line end. A key line goes on across the line ends that a backslash
// escapes or that stand inside double quotes, and a group header likewise.
struct IniEntry
{
    enum Kind { Other, GroupHeader, Key };
    Kind kind = Other;
    QByteArray text;
    // The name the reader gives it: of a header, its group ("" for General); of a key line, the
    // whole key with its group ("group/key").
    QString name;
};

// The reader's decoding of a group or key name: "\\" is "/", "%XX" and "%UXXXX" are characters.
QString unescapedName(const QByteArray& raw)
{
    const QString text = QString::fromUtf8(raw.trimmed());
    QString result;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar ch = text.at(i);
        if (ch == QLatin1Char('\\')) {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != QLatin1Char('%') || i == text.size() - 1) {
            result += ch;
            ++i;
            continue;
        }
        qsizetype first = i + 1;
        int digits = 2;
        if (text.at(first) == QLatin1Char('U')) {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const ushort code = first + digits <= text.size() ? text.mid(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            result += ch;
            ++i;
            continue;
        }
        result += QChar(code);
        i = first + digits;
    }
    return result;
}

// The record's keys as the reader names them, whichever way the file spells them. A key named
// "current" itself is no part of the group.
bool isRecordKey(const QString& name)
{
    return name.startsWith(QLatin1String("current/"));
}

// A header of the record's group, or of a group below it.
bool isRecordGroup(const QString& name)
{
    return name == QLatin1String("current") || isRecordKey(name);
}

QList<IniEntry> splitIniEntries(const QByteArray& contents)
{
    QList<IniEntry> entries;
    QString group;
    const qsizetype size = contents.size();
    qsizetype pos = 0;
    auto isLineEnd = [](char c) {
        return c == '\n' || c == '\r';
    };
    auto endOfPhysicalLine = [&](qsizetype from) {
        while (from < size && !isLineEnd(contents.at(from)))
            ++from;
        if (from < size)
            from += contents.mid(from, 2) == "\r\n" ? 2 : 1;
        return from;
    };
    while (pos < size) {
        qsizetype first = pos;
        while (first < size && (contents.at(first) == ' ' || contents.at(first) == '\t'))
            ++first;
        IniEntry entry;
        if (first == size || isLineEnd(contents.at(first)) || contents.at(first) == ';') {
            const qsizetype end = endOfPhysicalLine(pos);
            entry.text = contents.mid(pos, end - pos);
            entries.append(entry);
            pos = end;
            continue;
        }
        // The logical line, as the reader reads it: quotes span line ends, a backslash escapes
        // the next character (both of a CR LF or LF CR pair), a ";" outside quotes starts a
        // comment that runs to the line end.
        bool inQuotes = false;
        qsizetype equals = -1;
        qsizetype i = first;
        while (i < size) {
            const char c = contents.at(i);
            if (c == '"') {
                inQuotes = !inQuotes;
            } else if (c == '\\') {
                if (i + 1 < size) {
                    ++i;
                    const QByteArray pair = contents.mid(i, 2);
                    if (pair == "\r\n" || pair == "\n\r")
                        ++i;
                }
            } else if (!inQuotes && (isLineEnd(c) || c == ';')) {
                break;
            } else if (c == '=' && !inQuotes && equals < 0) {
                equals = i;
            }
            ++i;
        }
        const QByteArray line = contents.mid(first, i - first);
        const qsizetype end = endOfPhysicalLine(i);
        entry.text = contents.mid(pos, end - pos);
        pos = end;
        if (line.startsWith('[')) {
            entry.kind = IniEntry::GroupHeader;
            const qsizetype close = line.indexOf(']');
            const QByteArray raw = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            if (raw.compare("general", Qt::CaseInsensitive) == 0)
                entry.name.clear();
            else if (raw.compare("%general", Qt::CaseInsensitive) == 0)
                entry.name = QString::fromUtf8(raw.mid(1));
            else
                entry.name = unescapedName(raw);
            group = entry.name;
        } else if (equals >= 0) {
            entry.kind = IniEntry::Key;
            const QString key = unescapedName(contents.mid(first, equals - first));
            entry.name = group.isEmpty() ? key : group + QLatin1Char('/') + key;
        }
        entries.append(entry);
    }
    return entries;
}

// The file with the group "current" holding exactly recordLines (none: the group removed). Every
// header and key line that the reader counts to the group goes; comments, blank lines and
// everything else stay. The record takes the place of the first header "[current]", or is
// appended.
QByteArray withRecordGroup(const QByteArray& contents, const QByteArray& recordLines)
{
    const QByteArray eol = lineEndOf(contents);
    QByteArray result;
    bool inRecord = false;
    bool placed = recordLines.isEmpty();
    for (const IniEntry& entry : splitIniEntries(contents)) {
        if (entry.kind == IniEntry::GroupHeader) {
            inRecord = isRecordGroup(entry.name);
            if (entry.name == QLatin1String("current") && !placed
                && entry.text.trimmed() == QByteArrayLiteral("[current]")) {
                result += entry.text;
                if (!result.endsWith('\n') && !result.endsWith('\r'))
                    result += eol;
                result += recordLines;
                placed = true;
            }
            if (inRecord)
                continue;
        } else if (entry.kind == IniEntry::Key && (inRecord || isRecordKey(entry.name))) {
            continue;
        }
        result += entry.text;
    }
    if (!placed) {
        if (!result.isEmpty() && !result.endsWith('\n') && !result.endsWith('\r'))
            result += eol;
        // A last line that ends in a lone backslash would swallow the header.
        if (!splitIniEntries(result + "[current]").constLast().text.startsWith('['))
            result += eol;
        result += "[current]" + eol + recordLines;
    }
    return result;
}

// What the settings reader makes of the bytes: every key with its value.
QMap<QString, QVariant> readBack(const QByteArray& contents, bool* ok)
{
    QMap<QString, QVariant> values;
    // A name never used before: the reader keeps parsed files in a cache keyed by name.
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/kelvaro_update_ini_XXXXXX.ini"));
    *ok = file.open() && file.write(contents) == contents.size() && file.flush();
    if (!*ok)
        return values;
    file.close();
    QSettings settings(file.fileName(), QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys)
        values.insert(key, settings.value(key));
    return values;
}

// The edit must leave every key outside the record as the reader saw it and make the record read
// exactly `record` (empty: no record). A file whose text does not allow that (a quote that is
// never closed swallows whatever is appended) is refused rather than spoilt.
bool editReadsRight(const QByteArray& before, const QByteArray& after, const QMap<QString, QString>& record,
                    QString* error)
{
    bool readBefore = false;
    bool readAfter = false;
    QMap<QString, QVariant> old = readBack(before, &readBefore);
    const QMap<QString, QVariant> now = readBack(after, &readAfter);
    if (!readBefore || !readAfter) {
        *error = QStringLiteral("cannot check the edit in the temporary folder");
        return false;
    }
    for (auto it = old.begin(); it != old.end();) {
        if (isRecordKey(it.key()))
            it = old.erase(it);
        else
            ++it;
    }
    QMap<QString, QVariant> expected = old;
    for (auto it = record.constBegin(); it != record.constEnd(); ++it)
        expected.insert(QStringLiteral("current/") + it.key(), it.value());
    if (now.keys() != expected.keys()) {
        *error = QStringLiteral("its text cannot be edited safely (unbalanced quotes?)");
        return false;
    }
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        const QVariant& value = now.value(it.key());
        const bool same =
            isRecordKey(it.key()) ? value.toString() == it.value().toString() : value == it.value();
        if (!same) {
            *error = QStringLiteral("its text cannot be edited safely (unbalanced quotes?)");
            return false;
        }
    }
    return true;
}

} // namespace

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int* version, QString* type, QString* dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool versionOk = false;
    const int storedVersion = SettingsText::variant(settings, QStringLiteral("version")).toInt(&versionOk);
    const QString storedDir = SettingsText::value(settings, QStringLiteral("dir"));
    const QString storedType = SettingsText::value(settings, QStringLiteral("type"));
    settings.endGroup();

    if (!versionOk || storedType.isEmpty() || storedDir.isEmpty())
        return false;
    // A record whose directory has vanished, or is not the session's own any more, is stale and
    // is overwritten by the next run.
    if (!isSessionDirectoryOfThisInstallation(storedDir))
        return false;

    if (version)
        *version = storedVersion;
    if (dir)
        *dir = storedDir;
    if (type)
        *type = storedType;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    const QString path = filename();
    QByteArray contents;
    QString error;
    if (!readIniFile(path, &contents, &error)) {
        logWriteFailure(path, error);
        return;
    }
    const QByteArray eol = lineEndOf(contents);
    const QByteArray record = "version=" + QByteArray::number(version) + eol + "dir=" + iniValue(dir) + eol
        + "type=" + iniValue(type) + eol;
    const QByteArray edited = withRecordGroup(contents, record);
    const QMap<QString, QString> values {{QStringLiteral("version"), QString::number(version)},
                                         {QStringLiteral("dir"), dir},
                                         {QStringLiteral("type"), type}};
    if (!editReadsRight(contents, edited, values, &error) || !writeIniFile(path, edited, &error))
        logWriteFailure(path, error);
}

void UpdateIniData::cleanup()
{
    const QString path = filename();
    QByteArray contents;
    QString error;
    if (!readIniFile(path, &contents, &error)) {
        logWriteFailure(path, error);
        return;
    }
    const QByteArray rest = withRecordGroup(contents, QByteArray());
    // Nothing to remove: the file is not touched (it need not even be writable then).
    if (rest == contents)
        return;
    if (!editReadsRight(contents, rest, {}, &error) || !writeIniFile(path, rest, &error))
        logWriteFailure(path, error);
}

bool UpdateIniData::markSessionDirectory(const QString& dir)
{
    // Written aside and renamed into place: a marker is whole or absent, never a torn root.
    QSaveFile marker(QDir(dir).filePath(QLatin1String(markerFileName)));
    if (marker.open(QIODevice::WriteOnly)) {
        const QByteArray line = Configuration::getAppRootPath().toUtf8() + '\n';
        if (marker.write(line) == line.size() && marker.commit())
            return true;
    }
    logUpdateLine(QStringLiteral("Cannot mark the session directory %1: %2").arg(dir, marker.errorString()));
    return false;
}

QString UpdateIniData::sessionMarkerName()
{
    return QString::fromLatin1(markerFileName);
}
