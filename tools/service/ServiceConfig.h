#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

/// What kv3-update-service answers, read from its ini file and checked whole before use: every
/// reply is prepared here as the exact bytes that go on the wire, so a configuration that loads
/// can only produce replies the updater accepts.
///
/// The file (QSettings ini format, UTF-8; values with commas must be quoted):
///
///     [news]
///     text = "News for every client"       ; the news reply (optional, may be empty)
///     [banner]                              ; optional: without it banner requests go unanswered
///     picture = http://cdn.example/b.png    ; the 468 x 60 picture
///     click = https://kelvaro.example/      ; opened when the banner is clicked
///     [Kelvaro3]                            ; any other group is one client type
///     request = 3                           ; the version request text it answers (default 3)
///     stable = 3012                         ; newest version of the Stable channel (required)
///     stable_name = 3.0.12                  ; its display name (optional)
///     beta = 3013                           ; Beta channel (optional: Stable's entry)
///     beta_name = 3.0.13 beta
///     alpha = 3014                          ; Alpha channel (optional: Beta's entry)
///     alpha_name = 3.0.14 alpha
///     news = "News for this client type"    ; optional: replaces [news] text for its clients
class ServiceConfig
{
public:
    /// Longest version reply, news reply and banner reply the updater reads whole.
    static constexpr int MaxVersionReply = 511;
    static constexpr int MaxNewsReply = 4095;
    static constexpr int MaxBannerReply = 1024;
    /// Longest request text (without its terminating zero byte) a client type may answer to.
    static constexpr int MaxRequestText = 32;
    /// Longest configuration file read.
    static constexpr int MaxFileSize = 1024 * 1024;

    /// One client type: the replies to its version request and, when it has its own, its news.
    struct ClientType
    {
        QString name;
        QByteArray versionReply;
        QByteArray news;
        bool hasOwnNews = false;
    };

    /// Reads and checks the file at path. On failure returns false, leaves *config untouched and
    /// puts one sentence naming the file, the group and the key in *error.
    static bool load(const QString& path, ServiceConfig* config, QString* error);

    /// Client types by the request text they answer (the bytes before the zero byte).
    QHash<QByteArray, ClientType> clientTypes;
    /// The news reply for clients whose type has no news of its own.
    QByteArray news;
    /// "picture,click", or empty when no banner is configured.
    QByteArray bannerReply;
};
