#pragma once

#include "RandomGenerator.h"

#include <QList>

// Hands out the numbers a test lists, in order, and counts the draws; past the end of the list it
// keeps returning the last number (or 0).
class ScriptedRandomGenerator : public RandomGenerator
{
public:
    explicit ScriptedRandomGenerator(QList<quint32> values = {})
        : m_values(std::move(values))
    {
    }

    void seed(quint32 seed) override { seeds.append(seed); }
    quint32 next() override
    {
        const int index = draws++;
        if (m_values.isEmpty())
            return 0;
        return m_values.at(qMin(index, int(m_values.size()) - 1));
    }

    int draws = 0;
    QList<quint32> seeds;

private:
    QList<quint32> m_values;
};
