#include "RollbackDataList.h"

RollbackDataList::RollbackDataList() = default;

void RollbackDataList::add(const RollbackData& entry)
{
    entries.append(entry);
}

void RollbackDataList::clear()
{
    entries.clear();
}

void RollbackDataList::appendList(const RollbackDataList& other)
{
    // Copy first: appending a journal to itself must double it, not read what it is writing.
    const QList<RollbackData> added = other.entries;
    entries.append(added);
}

bool RollbackDataList::rollback(QObject* messageTarget)
{
    bool result = true;
    while (!entries.isEmpty()) {
        const RollbackData entry = entries.takeLast();
        if (!entry.rollback(messageTarget))
            result = false;
    }
    return result;
}
