#include "Pcg32RandomGenerator.h"

namespace {
constexpr quint64 multiplier = 6364136223846793005ULL;
// Any odd stream will do; this is the one the reference demo uses, which lets the tests compare
// against its published output.
constexpr quint64 defaultSequence = 54;
} // namespace

Pcg32RandomGenerator::Pcg32RandomGenerator()
{
    restart(0, defaultSequence);
}

Pcg32RandomGenerator::Pcg32RandomGenerator(quint64 initState, quint64 initSequence)
{
    restart(initState, initSequence);
}

void Pcg32RandomGenerator::seed(quint32 seed)
{
    restart(seed, m_increment >> 1);
}

quint32 Pcg32RandomGenerator::next()
{
    const quint64 old = m_state;
    m_state = old * multiplier + m_increment;
    const auto shifted = quint32(((old >> 18u) ^ old) >> 27u);
    const auto rotation = quint32(old >> 59u);
    return (shifted >> rotation) | (shifted << ((32u - rotation) & 31u));
}

void Pcg32RandomGenerator::restart(quint64 initState, quint64 initSequence)
{
    // The reference seeding: two steps around the addition of the seed mix it into the state.
    m_state = 0;
    m_increment = (initSequence << 1u) | 1u;
    next();
    m_state += initState;
    next();
}
