#pragma once

#include <QString>

// Marks a file or directory immutable (chattr +i) for the lifetime of this object, so that even
// root cannot remove, rename or create entries in it; the flag is cleared again on destruction.
class ImmutablePath
{
public:
    explicit ImmutablePath(const QString& path);
    ~ImmutablePath();
    ImmutablePath(const ImmutablePath&) = delete;
    ImmutablePath& operator=(const ImmutablePath&) = delete;

    // False when the file system or the tool does not support the flag; the test should skip then.
    bool isActive() const { return m_active; }

private:
    QString m_path;
    bool m_active = false;
};
