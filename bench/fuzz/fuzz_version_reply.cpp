// The version service's reply as the updater reads it: one datagram, cut at 511 bytes and at the
// first zero byte, decoded as Latin-1 and split into (version, name) entries.
#include "UpdateChecker.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "version reply: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t received =
        size < size_t(UpdateChecker::MaxVersionReply) ? size : size_t(UpdateChecker::MaxVersionReply);
    const auto* bytes = reinterpret_cast<const char*>(data);
    const QString text = QString::fromLatin1(bytes, qsizetype(qstrnlen(bytes, received)));

    UpdateChecker checker(QStringLiteral("localhost"), 0, 1);
    // A second reply of a retried query is appended behind the first.
    checker.parseVersionReply(text);
    const qsizetype first = checker.versions.size();
    checker.parseVersionReply(text);

    check(first == text.count(QLatin1Char(',')) + 1, "one entry per comma-separated part");
    check(checker.versions.size() == 2 * first, "a second reply appends its entries");
    // Rebuilt from the entries, every part of the reply comes back; only whether a part had a "#"
    // with nothing after it is not in the entries, so that is taken from the part itself.
    qsizetype partStart = 0;
    for (qsizetype i = 0; i < first; ++i) {
        const QPair<QString, QString>& entry = checker.versions.at(i);
        qsizetype partEnd = text.indexOf(QLatin1Char(','), partStart);
        if (partEnd < 0)
            partEnd = text.size();
        const QString part = text.mid(partStart, partEnd - partStart);
        partStart = partEnd + 1;
        check(!entry.first.contains(QLatin1Char(',')) && !entry.first.contains(QLatin1Char('#')),
              "a version text holds neither separator");
        const QString rebuilt =
            part.contains(QLatin1Char('#')) ? entry.first + QLatin1Char('#') + entry.second : entry.first;
        check(rebuilt == part, "the entries give back the reply");
        check(part.contains(QLatin1Char('#')) || entry.second.isEmpty(), "no name without a #");
    }
    for (int channel = 0; channel < 4; ++channel) {
        const QPair<QString, QString> entry = checker.getClientVersionByChannel(UpdateChannel(channel));
        if (channel < checker.versions.size())
            check(entry == checker.versions.at(channel), "the channel's entry");
        else
            check(entry.first.isEmpty() && entry.second.isEmpty(), "no entry: two empty texts");
    }
    return 0;
}
