#pragma once

#include <QString>

class QObject;

// One undoable file operation of an installation, as recorded in a RollbackDataList. A value type.
class RollbackData
{
public:
    // A fixed underlying type: a journal entry read back with any other number is a defined value
    // that rollback() refuses, not undefined behaviour.
    enum Operation : int {
        Rename = 0, // a file was renamed from previousPath to path
        CreateFile = 1, // a file was created at path
        CreateDir = 2, // a directory was created at path
        Exchange = 3, // the entries previousPath and path were swapped
    };

    RollbackData(Operation operation, const QString& path);
    // Old name first, new name second, as in the rename itself.
    RollbackData(Operation operation, const QString& previousPath, const QString& path);

    // Undoes the operation: renames path back to previousPath (never onto an existing entry, a
    // dangling link included, and never by copying), removes the file path, removes the directory
    // path (only if it is empty), or swaps previousPath and path again. A failure is reported as a warning
    // through message(messageTarget, ...). Returns whether the undo succeeded. An operation value outside the
    // enumeration stops the program (qFatal).
    bool rollback(QObject* messageTarget) const;

    // Invokes the method named "message" of `target` with `text`, by name and with an automatic
    // connection; for a task that emits its message() signal. Does nothing when target is null.
    static void message(QObject* target, const QString& text);

    QString path; // the path as the operation left it (for a rename: the new name)
    QString previousPath; // a rename: the name before it; an exchange: the other name; else empty
    Operation operation;
};
