// The libtomcrypt helper functions: SHA-1, error conversion, key import, PSS signing and checking.

#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "FileBytes.h"
#include "PublicKey.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QFile>
#include <QtTest>

#include <vector>

namespace {

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

QByteArray toByteArray(const std::vector<unsigned char>& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
}

enum class Verdict { Valid, Invalid, Error };

// verify_msg either answers (valid or not) or throws for a signature that is malformed; the
// updater treats both of the latter as a failed check.
Verdict verdict(rsa_key* key, const QByteArray& msg, QByteArray sig)
{
    try {
        return verify_msg(key, bytes(msg), static_cast<unsigned long>(msg.size()),
                          reinterpret_cast<unsigned char*>(sig.data()),
                          static_cast<unsigned long>(sig.size()))
            ? Verdict::Valid
            : Verdict::Invalid;
    } catch (const crypt_exception&) {
        return Verdict::Error;
    }
}

} // namespace

class tst_CryptoHelper : public QObject
{
    Q_OBJECT

private:
    RsaKey m_demoPair;
    RsaKey m_otherPair;

private Q_SLOTS:
    void initTestCase()
    {
        crypt_init();
        QVERIFY2(hash_idx >= 0 && prng_idx >= 0, "crypt_init() must find SHA-1 and sprng");
        const QByteArray der = FileBytes::read(QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"));
        QVERIFY2(!der.isEmpty(), "keys/demo/private.der is missing");
        load_key(m_demoPair.get(), bytes(der), static_cast<unsigned long>(der.size()));
        m_demoPair.setLoaded();
        make_key(m_otherPair.get());
        m_otherPair.setLoaded();
    }

    void initTwiceKeepsTables()
    {
        const int hash = hash_idx;
        const int prng = prng_idx;
        crypt_init();
        QCOMPARE(hash_idx, hash);
        QCOMPARE(prng_idx, prng);
    }

    // Known answers from FIPS 180-2, appendix A, and the empty message.
    void sha1KnownAnswers_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("digest");
        QTest::newRow("empty") << QByteArray() << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709");
        QTest::newRow("abc") << QByteArray("abc") << QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d");
        QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                    << QByteArray("84983e441c3bd26ebaae4aa1f95129e5e54670f1");
        QTest::newRow("million a") << QByteArray(1000000, 'a')
                                   << QByteArray("34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    }
    void sha1KnownAnswers()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, digest);
        unsigned char out[20];
        hash_msg(bytes(message), static_cast<unsigned long>(message.size()), out);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), 20).toHex(), digest);
    }

    void checkErrPassesOk()
    {
        // Every call of a libtomcrypt function goes through check_err(): one that threw for
        // success would fail every key import and signature check.
        QVERIFY_THROWS_NO_EXCEPTION(check_err("rsa_import", CRYPT_OK));
    }

    void checkErrThrows_data()
    {
        QTest::addColumn<QByteArray>("operation");
        QTest::addColumn<int>("err");
        QTest::addColumn<QString>("expected");
        QTest::newRow("invalid packet") << QByteArray("rsa_import") << int(CRYPT_INVALID_PACKET)
                                        << QStringLiteral("rsa_import: Invalid input packet.");
        QTest::newRow("not private") << QByteArray("rsa_sign_hash") << int(CRYPT_PK_NOT_PRIVATE)
                                     << QStringLiteral("rsa_sign_hash: A private PK key is required.");
    }
    void checkErrThrows()
    {
        QFETCH(QByteArray, operation);
        QFETCH(int, err);
        QFETCH(QString, expected);
        try {
            check_err(operation.constData(), err);
            QFAIL("check_err must throw for an error code");
        } catch (const crypt_exception& e) {
            QCOMPARE(QString::fromUtf8(e.what()), expected);
        }
    }

    // The DER structure says where the key ends; what follows it is not read.
    void keyFollowedByJunkImports()
    {
        QByteArray der = toByteArray(export_key(m_demoPair.get(), PK_PUBLIC));
        der.append(QByteArray(100, '\xa5'));
        RsaKey key;
        load_key(key.get(), bytes(der), static_cast<unsigned long>(der.size()));
        key.setLoaded();
        QCOMPARE(toByteArray(export_key(key.get(), PK_PUBLIC)), der.left(140));
    }

    void badKeyThrows_data()
    {
        QTest::addColumn<QByteArray>("der");
        const QByteArray good(reinterpret_cast<const char*>(PUBLIC_KEY), 140);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("all zeros") << QByteArray(2048, '\0');
        QTest::newRow("truncated") << good.left(139);
        QTest::newRow("text") << QByteArray("-----BEGIN RSA PUBLIC KEY-----\n");
        QByteArray badTag = good;
        badTag[0] = 0x04; // an OCTET STRING
        QTest::newRow("not a sequence") << badTag;
    }
    void badKeyThrows()
    {
        QFETCH(QByteArray, der);
        RsaKey key;
        try {
            load_key(key.get(), bytes(der), static_cast<unsigned long>(der.size()));
            key.setLoaded();
            QFAIL("load_key must reject this input");
        } catch (const crypt_exception& e) {
            QVERIFY2(QByteArray(e.what()).startsWith("rsa_import: "), e.what());
        }
    }

    void madeKeyIsAReleaseKey()
    {
        QCOMPARE(key_bits(m_otherPair.get()), 1024);
        QVERIFY(key_is_private(m_otherPair.get()));
        const QByteArray pub = toByteArray(export_key(m_otherPair.get(), PK_PUBLIC));
        QCOMPARE(pub.size(), 140);
        QVERIFY2(pub.endsWith(QByteArray::fromHex("0203010001")), "public exponent must be 65537");
    }

    void signatureVerifies()
    {
        const QByteArray msg("[Kelvaro3]\nversion=3.0.1\n");
        const QByteArray sig = toByteArray(sign_msg(m_demoPair.get(), bytes(msg), msg.size()));
        QCOMPARE(sig.size(), 128);
        QCOMPARE(verdict(m_demoPair.get(), msg, sig), Verdict::Valid);
    }

    // PSS draws a fresh salt for every signature; two signatures of one message differ and both
    // verify. A constant salt would still verify but would no longer be the standard scheme.
    void saltIsRandom()
    {
        const QByteArray msg("same message");
        const QByteArray a = toByteArray(sign_msg(m_demoPair.get(), bytes(msg), msg.size()));
        const QByteArray b = toByteArray(sign_msg(m_demoPair.get(), bytes(msg), msg.size()));
        QVERIFY(a != b);
        QCOMPARE(verdict(m_demoPair.get(), msg, b), Verdict::Valid);
    }

    void forgeriesRejected_data()
    {
        QTest::addColumn<QByteArray>("msg");
        QTest::addColumn<QByteArray>("sig");
        const QByteArray msg("file=update.exe\nmd5=0123456789abcdef0123456789abcdef\n");
        const QByteArray sig = toByteArray(sign_msg(m_demoPair.get(), bytes(msg), msg.size()));

        QByteArray changedMsg = msg;
        changedMsg[20] = changedMsg[20] ^ 0x01;
        QTest::newRow("message byte changed") << changedMsg << sig;
        QTest::newRow("message extended") << msg + '\n' << sig;
        QTest::newRow("message empty") << QByteArray() << sig;
        QByteArray changedSig = sig;
        changedSig[64] = changedSig[64] ^ 0x80;
        QTest::newRow("signature byte changed") << msg << changedSig;
        QTest::newRow("signature 127 bytes") << msg << sig.left(127);
        QTest::newRow("signature 129 bytes") << msg << sig + '\0';
        QTest::newRow("signature leading zero") << msg << '\0' + sig;
        QTest::newRow("signature empty") << msg << QByteArray();
        QTest::newRow("signature all ones") << msg << QByteArray(128, '\xff');
        QTest::newRow("signature all zeros") << msg << QByteArray(128, '\0');
        QTest::newRow("other key") << msg << toByteArray(sign_msg(m_otherPair.get(), bytes(msg), msg.size()));
    }
    void forgeriesRejected()
    {
        QFETCH(QByteArray, msg);
        QFETCH(QByteArray, sig);
        QVERIFY2(verdict(m_demoPair.get(), msg, sig) != Verdict::Valid, "a forged signature was accepted");
    }

    void signWithPublicHalfThrows()
    {
        RsaKey key;
        load_key(key.get(), PUBLIC_KEY, sizeof(PUBLIC_KEY));
        key.setLoaded();
        const QByteArray msg("x");
        QVERIFY_THROWS_EXCEPTION(crypt_exception, sign_msg(key.get(), bytes(msg), msg.size()));
    }

    // Checks run on several pool threads at once; nothing in them may be shared.
    void parallelChecksAgree()
    {
        const QByteArray msg("checked on many threads");
        const QByteArray sig = toByteArray(sign_msg(m_demoPair.get(), bytes(msg), msg.size()));
        QByteArray bad = msg;
        bad[0] = 'C';
        QAtomicInt wrong;
        QThreadPool pool;
        pool.setMaxThreadCount(8);
        for (int i = 0; i < 64; ++i) {
            pool.start([&, i] {
                RsaKey key;
                load_key(key.get(), PUBLIC_KEY, sizeof(PUBLIC_KEY));
                key.setLoaded();
                const bool good = i % 2 == 0;
                if ((verdict(key.get(), good ? msg : bad, sig) == Verdict::Valid) != good)
                    wrong.fetchAndAddRelaxed(1);
            });
        }
        pool.waitForDone();
        QCOMPARE(wrong.loadRelaxed(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_CryptoHelper)
#include "tst_cryptohelper.moc"
