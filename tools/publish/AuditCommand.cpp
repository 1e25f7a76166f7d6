#include "AuditCommand.h"

#include "AuditMirror.h"
#include "AuditNetworkAccessManager.h"
#include "KeyFile.h"
#include "Mirrors.h"
#include "RsaKey.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

namespace {
const QString mirrorsOption = QStringLiteral("mirrors");
const QString typeOption = QStringLiteral("type");
const QString pubkeyOption = QStringLiteral("pubkey");
const QString problemsOption = QStringLiteral("problems-only");

// Mirror replies and headers end up in the table: control characters would let them rewrite it.
QString printable(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text)
        result += (c.unicode() < 0x20 || c.unicode() == 0x7F) ? QChar(QLatin1Char('?')) : c;
    return result;
}

const QList<AuditMirror::Status> allStatuses = {AuditMirror::Status::Ok,        AuditMirror::Status::Missing,
                                                AuditMirror::Status::WrongSize, AuditMirror::Status::WrongMd5,
                                                AuditMirror::Status::Redirect,  AuditMirror::Status::Error};
} // namespace

QString AuditCommand::name() const
{
    return QStringLiteral("audit");
}

QString AuditCommand::summary() const
{
    return QStringLiteral(
        "Check that every mirror serves a release completely, as the updater will fetch it.");
}

QString AuditCommand::description() const
{
    return summary()
        + QStringLiteral(
               "\n\nFor each mirror of the mirrors.ini, in its order, fetches VERSION/TYPE.ini and its .sig "
               "exactly "
               "as the updater does (plain GET, no redirect followed, the mirror's retries), verifies the "
               "signature "
               "with the compiled-in key or --pubkey, reads the ini with the updater's own plan compiler, "
               "then "
               "fetches every listed file and checks its size and MD5; a packed file is unpacked and its "
               "unpacked "
               "size and MD5 are checked as well. Files are checked in a scratch folder and deleted.\n\n"
               "Each mirror gets a table with one row per file: ok, missing (HTTP 404/410), wrong size, "
               "wrong MD5, redirect (any 3xx), error (other statuses, connection failures, a bad signature "
               "or an ini the updater refuses).\n\n"
               "Exit codes: 0 every mirror is complete, 1 a mirror is incomplete or the audit could not run, "
               "2 wrong command line.");
}

void AuditCommand::setUp(QCommandLineParser& parser)
{
    parser.addOption({mirrorsOption, QStringLiteral("The mirror list, as the updater reads it."),
                      QStringLiteral("mirrors.ini")});
    parser.addOption({typeOption, QStringLiteral("The client type: the product ini is TYPE.ini."),
                      QStringLiteral("TYPE")});
    parser.addOption({pubkeyOption,
                      QStringLiteral("Check the signature with this public key instead of the "
                                     "compiled-in one."),
                      QStringLiteral("public.der")});
    parser.addOption({problemsOption, QStringLiteral("List only the files that are not ok.")});
    parser.addPositionalArgument(QStringLiteral("VERSION"), QStringLiteral("The version number to check."));
}

int AuditCommand::execute(const QCommandLineParser& parser)
{
    if (!parser.isSet(mirrorsOption))
        return usageError(parser, QStringLiteral("--mirrors is required"));
    if (!parser.isSet(typeOption) || parser.value(typeOption).isEmpty())
        return usageError(parser, QStringLiteral("--type is required"));
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(parser, QStringLiteral("give exactly one VERSION"));
    bool ok = false;
    const int version = positional.first().toInt(&ok);
    if (!ok || version <= 0)
        return usageError(parser, QStringLiteral("VERSION must be a positive decimal number"));

    const QString mirrorsIni = parser.value(mirrorsOption);
    if (!QFileInfo(mirrorsIni).isFile()) {
        err() << "kv3-publish audit: " << mirrorsIni << " is not a file\n" << Qt::flush;
        return Failure;
    }
    const QString publicKey = parser.value(pubkeyOption);
    if (!publicKey.isEmpty()) {
        RsaKey key;
        QString problem;
        if (!KeyFile::load(publicKey, KeyFile::Need::PublicHalf, key, &problem)) {
            err() << "kv3-publish audit: " << problem << '\n' << Qt::flush;
            return Failure;
        }
    }
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        err() << "kv3-publish audit: no scratch folder: " << scratch.errorString() << '\n' << Qt::flush;
        return Failure;
    }

    // The updater's own reading of the list: same order, same URLs, same retries and use slots.
    Mirrors pool(nullptr);
    pool.initDefault(mirrorsIni, version);
    if (pool.mirrors.isEmpty()) {
        err() << "kv3-publish audit: " << mirrorsIni << " lists no mirror\n" << Qt::flush;
        return Failure;
    }

    AuditNetworkAccessManager manager;
    int complete = 0;
    int index = 0;
    for (const FTPSiteAccessData& mirror : std::as_const(pool.mirrors)) {
        AuditMirror audit(mirror, parser.value(typeOption), publicKey,
                          scratch.filePath(QString::number(index++)), &manager);
        QEventLoop loop;
        QObject::connect(&audit, &AuditMirror::finished, &loop, &QEventLoop::quit);
        audit.start();
        loop.exec();
        printTable(audit, parser.isSet(problemsOption));
        if (audit.isComplete())
            ++complete;
    }
    const int mirrors = int(pool.mirrors.size());
    out() << mirrors << (mirrors == 1 ? " mirror" : " mirrors") << " checked: " << complete << " complete, "
          << (mirrors - complete) << " incomplete\n"
          << Qt::flush;
    return complete == mirrors ? Success : Failure;
}

void AuditCommand::printTable(const AuditMirror& audit, bool problemsOnly)
{
    const QVector<AuditMirror::Row>& rows = audit.rows();
    int pathWidth = 4;
    for (const AuditMirror::Row& row : rows)
        pathWidth = qMax(pathWidth, int(qMin<qsizetype>(row.path.size(), 60)));
    out() << "mirror " << printable(audit.mirror().name) << ": " << printable(audit.mirror().url) << '\n';
    out() << "  " << QStringLiteral("status").leftJustified(11) << ' '
          << QStringLiteral("size").rightJustified(11) << "  "
          << QStringLiteral("file").leftJustified(pathWidth) << "  detail\n";
    QMap<int, int> counts;
    for (const AuditMirror::Row& row : rows) {
        ++counts[int(row.status)];
        if (problemsOnly && row.status == AuditMirror::Status::Ok)
            continue;
        out() << "  " << AuditMirror::statusText(row.status).leftJustified(11) << ' '
              << (row.size < 0 ? QString() : QString::number(row.size)).rightJustified(11) << "  "
              << printable(row.path).leftJustified(pathWidth) << "  " << printable(row.detail) << '\n';
    }
    QStringList totals;
    for (const AuditMirror::Status status : allStatuses) {
        if (counts.value(int(status)) > 0)
            totals << QStringLiteral("%1 %2")
                          .arg(counts.value(int(status)))
                          .arg(AuditMirror::statusText(status));
    }
    out() << "  => " << (audit.isComplete() ? "complete" : "INCOMPLETE") << ": "
          << totals.join(QStringLiteral(", ")) << "\n\n"
          << Qt::flush;
}
