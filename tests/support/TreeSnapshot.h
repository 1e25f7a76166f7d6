#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Everything observable about a folder tree: every entry below the root (hidden ones included)
// with its kind, permission bits and, for files, an MD5 of the content; symbolic links by their
// target. Two snapshots compare equal exactly when the trees are byte for byte and mode for mode
// the same.
class TreeSnapshot
{
public:
    // Reads the tree below `root`; the root itself is not part of the snapshot.
    static TreeSnapshot of(const QString& root);

    bool operator==(const TreeSnapshot& other) const { return m_entries == other.m_entries; }
    bool operator!=(const TreeSnapshot& other) const { return !(*this == other); }

    // Relative paths of all entries, sorted.
    QStringList paths() const { return m_entries.keys(); }
    bool contains(const QString& relativePath) const { return m_entries.contains(relativePath); }
    // Relative paths whose last component starts with `prefix`.
    QStringList pathsWithNamePrefix(const QString& prefix) const;
    // A readable account of how `other` differs from this snapshot, one line per entry; empty when
    // they are equal. Meant for QVERIFY2 messages.
    QString differences(const TreeSnapshot& other) const;

private:
    // relative path -> "kind mode digest"
    QMap<QString, QString> m_entries;
};
