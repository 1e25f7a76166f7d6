#pragma once

#include <QStringList>

class QSignalSpy;

/// The texts a signal carried, for signals whose first argument is a QString (message, error).
class SpyTexts
{
public:
    /// The first argument of every recorded emission, in order.
    static QStringList of(const QSignalSpy& spy);
};
