#pragma once

#include <QString>

class QObject;

// One undoable file operation of an installation, as recorded in a RollbackDataList. A value type.
class RollbackData
{
public:
    enum Operation {
        Rename = 0, // a file was renamed from previousPath to path
        CreateFile = 1, // a file was created at path
        CreateDir = 2, // a directory was created at path
    };

    RollbackData(Operation operation, const QString& path);
    // Old name first, new name second, as in the rename itself.
    RollbackData(Operation operation, const QString& previousPath, const QString& path);

    // Undoes the operation: renames path back to previousPath (never onto an existing entry, a
    // dangling link included, and never by copying), removes the file path, or removes
    // the directory path (only if it is empty). A failure is reported as a warning through
    // message(messageTarget, ...). Returns whether the undo succeeded. An operation value outside
    // the enumeration stops the program (qFatal).
    bool rollback(QObject* messageTarget) const;

    // Invokes the method named "message" of `target` with `text`, by name and with an automatic
    // connection; for a task that emits its message() signal. Does nothing when target is null.
    static void message(QObject* target, const QString& text);

    QString path; // the path as the operation left it (for a rename: the new name)
    QString previousPath; // for a rename: the name before it; empty otherwise
    Operation operation;
};
