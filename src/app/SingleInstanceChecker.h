#pragma once

#include <QString>

// Guards an installation against two updaters at once. Place-holder: no instance listens yet, so
// the check never finds one.
class SingleInstanceChecker
{
public:
    // True when another instance is running and has been handed message. Always false for now.
    static bool checkExistingInstance(const QString& message);
};
