#pragma once

#include "RollbackData.h"

#include <QList>

// The in-memory journal of an installation's undoable file operations. Nothing of it is written
// to disk; destroying a journal does not undo anything. Used on the GUI thread only.
class RollbackDataList
{
public:
    RollbackDataList();

    void add(const RollbackData& entry);
    // Forgets all entries without undoing them.
    void clear();
    // Appends all entries of `other` in their order; `other` keeps its entries.
    void appendList(const RollbackDataList& other);
    // Undoes and removes all entries, newest first. A failed undo step does not stop the older ones
    // from being undone; the result is false if any step failed. Warnings go to messageTarget.
    bool rollback(QObject* messageTarget);

    QList<RollbackData> entries; // in the order they were added
};
