// CheckSignatureTaskSpecification: what its owner sees, in which order, for every outcome.

#include "CheckSignatureTaskSpecification.h"
#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "FileBytes.h"
#include "RsaKey.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

namespace {

/// Records every signal of one task as a line, in the order they arrive.
class Recorder : public QObject
{
public:
    explicit Recorder(CheckSignatureTaskSpecification* task)
    {
        connect(task, &TaskSpecification::message, this,
                [this](const QString& text) { log << "message: " + text; });
        connect(task, &TaskSpecification::updateProgress, this,
                [this](qreal value) { log << QStringLiteral("progress %1").arg(value); });
        connect(task, &CheckSignatureTaskSpecification::checkDone, this,
                [this, task](bool pass, CheckSignatureTaskSpecification* emitter) {
                    log << QStringLiteral("checkDone %1%2")
                               .arg(pass ? "pass" : "fail", emitter == task ? "" : " (wrong task)");
                });
        connect(task, &TaskSpecification::finished, this, [this, task](TaskSpecification* emitter) {
            log << QStringLiteral("finished%1").arg(emitter == task ? "" : " (wrong task)");
        });
        connect(task, &TaskSpecification::canceled, this, [this, task](TaskSpecification* emitter) {
            log << QStringLiteral("canceled%1").arg(emitter == task ? "" : " (wrong task)");
        });
    }
    QStringList log;
    bool ended() const
    {
        return !log.isEmpty() && (log.last().startsWith("finished") || log.last().startsWith("canceled"));
    }
};

} // namespace

class tst_CheckSignatureTask : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_ini;
    QString m_unsigned;
    QString m_md5;

private Q_SLOTS:
    void initTestCase()
    {
        crypt_init();
        QVERIFY(m_dir.isValid());
        const QByteArray der = FileBytes::read(QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"));
        RsaKey pair;
        load_key(pair.get(), reinterpret_cast<const unsigned char*>(der.constData()), der.size());
        pair.setLoaded();
        const QByteArray ini("[Kelvaro3]\nversion=3.0.1\n");
        const auto sig =
            sign_msg(pair.get(), reinterpret_cast<const unsigned char*>(ini.constData()), ini.size());
        m_ini = m_dir.filePath(QStringLiteral("Kelvaro3.ini"));
        QVERIFY(FileBytes::write(m_ini, ini));
        QVERIFY(FileBytes::write(m_ini + QStringLiteral(".sig"),
                                 QByteArray(reinterpret_cast<const char*>(sig.data()), 128)));
        m_unsigned = m_dir.filePath(QStringLiteral("unsigned.ini"));
        QVERIFY(FileBytes::write(m_unsigned, ini));
        m_md5 = QString::fromLatin1(QCryptographicHash::hash(ini, QCryptographicHash::Md5).toHex());
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<bool>("cancelOnFailure");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("state");
        const QString ini = m_ini;
        const QString missing = m_dir.filePath(QStringLiteral("missing.ini"));
        const QStringList passed {"checkDone pass", "progress 0.2", "finished"};
        const QStringList failedFinish {"message: Signature check failed for %1", "checkDone fail",
                                        "progress 0.2", "finished"};
        const QStringList failedCancel {"message: Signature check failed for %1", "checkDone fail",
                                        "canceled"};

        QTest::newRow("signature passes") << ini << QString() << true << passed << int(StateFinished);
        QTest::newRow("md5 passes") << ini << m_md5 << true << passed << int(StateFinished);
        QTest::newRow("md5 upper case passes")
            << ini << m_md5.toUpper() << false << passed << int(StateFinished);
        QTest::newRow("no .sig, finishes")
            << m_unsigned << QString() << false
            << QStringList {"message: Could not open file %1.sig for reading"} + failedFinish
            << int(StateFinished);
        QTest::newRow("no .sig, cancels")
            << m_unsigned << QString() << true
            << QStringList {"message: Could not open file %1.sig for reading"} + failedCancel
            << int(StateErrorCanceled);
        QTest::newRow("md5 differs, finishes")
            << ini << m_md5 + QLatin1Char(' ') << false << failedFinish << int(StateFinished);
        QTest::newRow("md5 differs, cancels")
            << ini << m_md5 + QLatin1Char(' ') << true << failedCancel << int(StateErrorCanceled);
        // The worker's reason arrives through the queued connection before the result does.
        QTest::newRow("missing file")
            << missing << m_md5 << true
            << QStringList {"message: Could not open file %1 for reading"} + failedCancel
            << int(StateErrorCanceled);
    }
    void outcomes()
    {
        QFETCH(QString, file);
        QFETCH(QString, md5);
        QFETCH(bool, cancelOnFailure);
        QFETCH(QStringList, expected);
        QFETCH(int, state);
        QObject owner;
        auto* task = new CheckSignatureTaskSpecification(file, md5, cancelOnFailure, &owner, 0.2);
        Recorder recorder(task);
        task->execute();
        QCOMPARE(task->state, StateRunning);
        QTRY_VERIFY2(recorder.ended(), qPrintable(recorder.log.join(QLatin1Char('\n'))));
        for (QString& line : expected)
            line = line.arg(file);
        QCOMPARE(recorder.log, expected);
        QCOMPARE(int(task->state), state);
    }

    // The owner reads the state from its checkDone handler: the task has not ended yet.
    void checkDoneComesBeforeTheEnd()
    {
        QObject owner;
        auto* task = new CheckSignatureTaskSpecification(m_ini, QString(), false, &owner, 1.0);
        int stateInHandler = -1;
        connect(task, &CheckSignatureTaskSpecification::checkDone, &owner,
                [&](bool, CheckSignatureTaskSpecification* t) { stateInHandler = t->state; });
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(stateInHandler, int(StateRunning));
    }

    // reset() waits for the pool; the worker's result is then already queued and must be dropped.
    void resultAfterResetLeavesNoTrace()
    {
        QObject owner;
        // A failing check: its result, if handled, would send a message, checkDone and canceled.
        auto* task = new CheckSignatureTaskSpecification(m_ini, m_md5 + QLatin1Char(' '), true, &owner, 0.5);
        task->execute();
        task->reset();
        Recorder recorder(task);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(recorder.log, QStringList());
        QCOMPARE(task->state, StateIdle);
    }

    // A cancel request does not stop a check; its result ends the task as usual.
    void cancelRequestDoesNotStopTheCheck()
    {
        QObject owner;
        auto* task = new CheckSignatureTaskSpecification(m_ini, QString(), true, &owner, 1.0);
        Recorder recorder(task);
        task->execute();
        task->userCanceled();
        QTRY_VERIFY(recorder.ended());
        QCOMPARE(recorder.log, (QStringList {"checkDone pass", "progress 1", "finished"}));
        QCOMPARE(task->state, StateFinished);
    }

    // After a reset the same task checks again and reports again.
    void runsAgainAfterReset()
    {
        QObject owner;
        auto* task = new CheckSignatureTaskSpecification(m_ini, m_md5, true, &owner, 1.0);
        QSignalSpy done(task, &CheckSignatureTaskSpecification::checkDone);
        task->execute();
        QTRY_COMPARE(done.count(), 1);
        task->reset();
        task->execute();
        QTRY_COMPARE(done.count(), 2);
        QCOMPARE(done.at(1).at(0).toBool(), true);
    }
};

QTEST_GUILESS_MAIN(tst_CheckSignatureTask)
#include "tst_checksignaturetask.moc"
