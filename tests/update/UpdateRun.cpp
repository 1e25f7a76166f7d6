#include "UpdateRun.h"

#include "CryptoHelper.h"
#include "crypt_exception.h"

#include <QFile>

UpdateRun::UpdateRun(const QString& clientType, int version, const QString& tempDir,
                     const QString& mirrorsIni, const QStringList& mirrorUrls, QObject* parent)
    : QObject(parent)
    , mirrors(nullptr)
{
    configuration.clientType = clientType;
    configuration.clientVersion = version;
    configuration.tempDir = tempDir;
    configuration.downloadStreams = 6;

    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(mirrorUrls.size()) + "\n";
    for (int i = 0; i < mirrorUrls.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=m" + QByteArray::number(i) + "\n";
    for (int i = 0; i < mirrorUrls.size(); ++i)
        ini += "\n[m" + QByteArray::number(i) + "]\nurl=" + mirrorUrls.at(i).toUtf8() + "\n";
    QFile file(mirrorsIni);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size();
    file.close();

    bool crypto = true;
    try {
        crypt_init();
    } catch (const crypt_exception&) {
        crypto = false;
    }
    m_valid = written && crypto && mirrors.initDefault(mirrorsIni, version);

    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &UpdateRun::onTick);
}

void UpdateRun::start()
{
    m_task = std::make_unique<MainTaskSpecification>(&manager, &mirrors, &configuration, nullptr, 1.0);
    connect(m_task.get(), &TaskSpecification::message, this, [this](const QString& text) { log << text; });
    connect(m_task.get(), &TaskSpecification::error, this,
            [this](const QString& text) { log << QStringLiteral("error: ") + text; });
    connect(m_task.get(), &TaskSpecification::updateProgress, this,
            [this](qreal value) { progress << value; });
    auto end = [this] {
        m_tick.stop();
        m_ended = true;
        Q_EMIT runEnded();
    };
    connect(m_task.get(), &TaskSpecification::finished, this, end);
    connect(m_task.get(), &TaskSpecification::canceled, this, end);
    m_tick.start();
    m_task->execute();
}

void UpdateRun::onTick()
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    m_task->timeTick(done, total, speed, downloading);
}
