#include "serveroptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>

namespace {

// What the updater reads of each reply, its receive buffers less the zero
// byte it appends.
const int kVersionReplyLimit = 511;
const int kNewsReplyLimit = 4095;
const int kBannerReplyLimit = 1024;

bool toLatin1(const QString& text, const QString& option, int limit, QByteArray* bytes,
              QString* error)
{
    for (const QChar c : text) {
        if (c.unicode() == 0 || c.unicode() > 0xff) {
            *error = QStringLiteral("%1 holds a character outside Latin-1").arg(option);
            return false;
        }
    }
    *bytes = text.toLatin1();
    if (bytes->size() > limit) {
        *error = QStringLiteral("%1 is %2 bytes; the updater reads at most %3")
                     .arg(option, QString::number(bytes->size()), QString::number(limit));
        return false;
    }
    return true;
}

// Entry i is channel i (0 stable, 1 beta, 2 alpha): a version number, "#" and
// the label shown to the user, or nothing for a channel without a release.
// After the three channel entries a signed list (vxpublish versions) carries
// its signature as entries "name=value", which updaters check and older ones
// ignore; they are served as they are.
bool parseVersions(const QString& text, QByteArray* reply, QString* error)
{
    static const QRegularExpression entry(QStringLiteral("^([0-9]{1,9}(#[^,]*)?)?$"));
    static const QRegularExpression signatureEntry(QStringLiteral("^[a-z][a-z-]*=[0-9a-z]*$"));
    const QStringList parts = text.split(QLatin1Char(','));
    for (int i = 0; i < parts.size(); ++i) {
        const QString& part = parts.at(i);
        if (i >= 3 && signatureEntry.match(part).hasMatch())
            continue;
        if (!entry.match(part).hasMatch()) {
            *error = QStringLiteral("--versions entry '%1' is not NUMBER#LABEL").arg(part);
            return false;
        }
    }
    return toLatin1(text, QStringLiteral("--versions"), kVersionReplyLimit, reply, error);
}

bool readWholeFile(const QString& path, QByteArray* content, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read '%1': %2").arg(path, file.errorString());
        return false;
    }
    *content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read '%1': %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// A one-line answer kept in a file, without the line break an editor adds.
bool readLineFile(const QString& path, QString* text, QString* error)
{
    QByteArray content;
    if (!readWholeFile(path, &content, error))
        return false;
    while (content.endsWith('\n') || content.endsWith('\r'))
        content.chop(1);
    *text = QString::fromLatin1(content);
    return true;
}

bool readNews(const QString& path, QByteArray* reply, QString* error)
{
    if (!readWholeFile(path, reply, error))
        return false;
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(reply->constData(), reply->size(), &state);
    if (state.invalidChars != 0 || reply->contains('\0')) {
        *error = QStringLiteral("'%1' is not UTF-8 text").arg(path);
        return false;
    }
    if (reply->size() > kNewsReplyLimit) {
        *error = QStringLiteral("'%1' is %2 bytes; the updater reads at most %3")
                     .arg(path, QString::number(reply->size()), QString::number(kNewsReplyLimit));
        return false;
    }
    return true;
}

bool parseBanner(const QString& text, QByteArray* reply, QString* error)
{
    if (text.count(QLatin1Char(',')) != 1) {
        *error = QStringLiteral("--banner '%1' is not imageURL,clickURL").arg(text);
        return false;
    }
    return toLatin1(text, QStringLiteral("--banner"), kBannerReplyLimit, reply, error);
}

// "PERCENT" with at most two decimals, as a number of cohorts.
bool parseShare(const QString& text, int* cohorts)
{
    static const QRegularExpression share(QStringLiteral("^([0-9]{1,3})(?:\\.([0-9]{1,2}))?$"));
    const QRegularExpressionMatch match = share.match(text);
    if (!match.hasMatch())
        return false;
    *cohorts = match.captured(1).toInt() * 100 + match.captured(2).leftJustified(2, QLatin1Char('0')).toInt();
    return *cohorts <= Cohorts::kCohorts;
}

const int kMaxRolloutLines = 16;

// The staged answers of a rollout file, each read and checked like --versions-file.
bool readRollout(const QString& path, QVector<UdpAnswer>* staged, QString* error)
{
    QByteArray content;
    if (!readWholeFile(path, &content, error))
        return false;
    const QDir base = QFileInfo(path).dir();
    const QList<QByteArray> lines = content.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromLatin1(lines.at(i)).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const QString where = QStringLiteral("%1 line %2").arg(path, QString::number(i + 1));
        const QStringList fields = line.split(QRegularExpression(QStringLiteral("\\s+")));
        UdpAnswer answer;
        if (fields.size() != 2 || !parseShare(fields.at(0), &answer.cohortsBelow)) {
            *error =
                QStringLiteral("%1: '%2' is not PERCENT FILE with PERCENT from 0 to 100").arg(where, line);
            return false;
        }
        if (staged->size() == kMaxRolloutLines) {
            *error = QStringLiteral("%1: more than %2 staged answers").arg(where).arg(kMaxRolloutLines);
            return false;
        }
        QString text;
        QString reason;
        if (!readLineFile(base.filePath(fields.at(1)), &text, &reason)
            || !parseVersions(text, &answer.bytes, &reason)) {
            *error = QStringLiteral("%1: %2").arg(where, reason);
            return false;
        }
        answer.offers = versionOffers(answer.bytes);
        staged->append(answer);
    }
    return true;
}

bool parsePort(const QString& option, const QString& text, quint16* port, QString* error)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535) {
        *error = QStringLiteral("%1 '%2' is not a port number").arg(option, text);
        return false;
    }
    *port = quint16(value);
    return true;
}

// A positive decimal number no larger than `max`.
bool parsePositive(const QString& option, const QString& text, double max, double* value,
                   QString* error)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    if (!ok || !(*value > 0) || *value > max) {
        *error = QStringLiteral("%1 '%2' is not a number above 0 and at most %3")
                     .arg(option, text, QString::number(max));
        return false;
    }
    return true;
}

// Seconds with fractions as milliseconds, at least one.
bool parseSeconds(const QString& option, const QString& value, int* ms, QString* error)
{
    double seconds = 0;
    if (!parsePositive(option, value, 86400, &seconds, error))
        return false;
    *ms = qMax(1, qRound(seconds * 1000));
    return true;
}

// An option of the command line, each with a value: kept as given (`text`),
// a port number (`port`) or checked and kept by `parse`.
struct Option
{
    const char* name;
    QString ServerOptions::*text = nullptr;
    quint16 ServerOptions::*port = nullptr;
    bool (*parse)(const QString& value, ServerOptions* options, QString* error) = nullptr;
};

const Option kOptions[] = {
    {"--root", &ServerOptions::root},
    {"--http-port", nullptr, &ServerOptions::httpPort},
    {"--bind", nullptr, nullptr,
     [](const QString& value, ServerOptions* options, QString* error) {
         if (options->bindAddress.setAddress(value))
             return true;
         *error = QStringLiteral("--bind '%1' is not an IP address").arg(value);
         return false;
     }},
    {"--versions", &ServerOptions::versionsText},
    {"--news", &ServerOptions::newsFile},
    {"--banner", &ServerOptions::bannerText},
    {"--udp-port", nullptr, &ServerOptions::versionPort},
    {"--banner-port", nullptr, &ServerOptions::bannerPort},
    {"--versions-file", &ServerOptions::versionsFile},
    {"--banner-file", &ServerOptions::bannerFile},
    {"--idle-timeout", nullptr, nullptr,
     [](const QString& value, ServerOptions* options, QString* error) {
         return parseSeconds(QStringLiteral("--idle-timeout"), value, &options->idleTimeoutMs, error);
     }},
    {"--max-connections", nullptr, nullptr,
     [](const QString& value, ServerOptions* options, QString* error) {
         bool ok = false;
         options->maxConnections = value.toInt(&ok);
         if (ok && options->maxConnections >= 1 && options->maxConnections <= 100000)
             return true;
         *error = QStringLiteral("--max-connections '%1' is not a whole number from 1 to 100000").arg(value);
         return false;
     }},
    {"--udp-rate", nullptr, nullptr,
     [](const QString& value, ServerOptions* options, QString* error) {
         return parsePositive(QStringLiteral("--udp-rate"), value, 1e9, &options->udpRate, error);
     }},
    {"--udp-burst", nullptr, nullptr,
     [](const QString& value, ServerOptions* options, QString* error) {
         double burst = 0;
         if (!parsePositive(QStringLiteral("--udp-burst"), value, 1e9, &burst, error))
             return false;
         if (burst != double(int(burst))) {
             *error = QStringLiteral("--udp-burst '%1' is not a whole number").arg(value);
             return false;
         }
         options->udpBurst = int(burst);
         return true;
     }},
    {"--rollout", &ServerOptions::rolloutFile},
    {"--cohort-key", &ServerOptions::cohortKeyFile},
    {"--metrics-port", nullptr, nullptr,
     [](const QString& value, ServerOptions* options, QString* error) {
         quint16 port = 0;
         if (!parsePort(QStringLiteral("--metrics-port"), value, &port, error))
             return false;
         options->metricsPort = port;
         return true;
     }},
    {"--summary-interval", nullptr, nullptr,
     [](const QString& value, ServerOptions* options, QString* error) {
         if (value == QLatin1String("0")) {
             options->summaryIntervalMs = 0;
             return true;
         }
         return parseSeconds(QStringLiteral("--summary-interval"), value, &options->summaryIntervalMs, error);
     }},
};

const Option* findOption(const QString& name)
{
    for (const Option& option : kOptions) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

bool applyOption(const Option& option, const QString& value, ServerOptions* options, QString* error)
{
    if (option.text != nullptr) {
        options->*option.text = value;
        return true;
    }
    if (option.port != nullptr)
        return parsePort(QLatin1String(option.name), value, &(options->*option.port), error);
    return option.parse(value, options, error);
}

// What holds only for the options together: which services run, and what
// each needs.
bool checkServices(const QSet<QString>& seen, ServerOptions* options, QString* error)
{
    for (const auto& pair : {qMakePair(QStringLiteral("--versions"), QStringLiteral("--versions-file")),
                             qMakePair(QStringLiteral("--banner"), QStringLiteral("--banner-file"))}) {
        if (seen.contains(pair.first) && seen.contains(pair.second)) {
            *error = QStringLiteral("%1 and %2 exclude each other").arg(pair.first, pair.second);
            return false;
        }
    }
    options->versionService = seen.contains(QStringLiteral("--versions")) || seen.contains(QStringLiteral("--versions-file"));
    options->bannerService = seen.contains(QStringLiteral("--banner")) || seen.contains(QStringLiteral("--banner-file"));
    if (options->root.isEmpty()) {
        if (seen.contains(QStringLiteral("--http-port"))) {
            *error = QStringLiteral("--http-port needs --root");
            return false;
        }
        if (!options->versionService && !options->bannerService) {
            *error = QStringLiteral("nothing to serve: give --root, --versions or --banner");
            return false;
        }
    } else if (!QFileInfo(options->root).isDir()) {
        *error = QStringLiteral("--root '%1' is not a directory").arg(options->root);
        return false;
    }
    if (!options->rolloutFile.isEmpty() && !options->versionService) {
        *error = QStringLiteral("--rollout needs --versions or --versions-file, the answer of the rest");
        return false;
    }
    if (options->rolloutFile.isEmpty() != options->cohortKeyFile.isEmpty()) {
        *error = QStringLiteral("--rollout and --cohort-key go together");
        return false;
    }
    // The news is the second answer of the version service.
    if (!options->newsFile.isEmpty() && !options->versionService) {
        *error = QStringLiteral("--news needs --versions");
        return false;
    }
    return true;
}

} // namespace

bool parseServerOptions(const QStringList& arguments, ServerOptions* options, QString* error)
{
    QSet<QString> seen;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString name = arguments.at(i);
        const Option* option = findOption(name);
        if (option == nullptr) {
            *error = QStringLiteral("unknown argument '%1'").arg(name);
            return false;
        }
        if (seen.contains(name)) {
            *error = QStringLiteral("%1 given twice").arg(name);
            return false;
        }
        seen.insert(name);
        if (i + 1 == arguments.size()) {
            *error = QStringLiteral("%1 needs a value").arg(name);
            return false;
        }
        if (!applyOption(*option, arguments.at(++i), options, error))
            return false;
    }
    return checkServices(seen, options, error) && reloadAnswers(options, error);
}

bool reloadAnswers(ServerOptions* options, QString* error)
{
    QByteArray versions;
    QByteArray news;
    QByteArray banner;
    QVector<UdpAnswer> staged;
    if (!options->rolloutFile.isEmpty() && !readRollout(options->rolloutFile, &staged, error))
        return false;
    if (options->versionService) {
        QString text = options->versionsText;
        if (!options->versionsFile.isEmpty() && !readLineFile(options->versionsFile, &text, error))
            return false;
        if (!parseVersions(text, &versions, error))
            return false;
    }
    if (!options->newsFile.isEmpty() && !readNews(options->newsFile, &news, error))
        return false;
    if (options->bannerService) {
        QString text = options->bannerText;
        if (!options->bannerFile.isEmpty() && !readLineFile(options->bannerFile, &text, error))
            return false;
        if (!parseBanner(text, &banner, error))
            return false;
    }
    options->versionReply = versions;
    options->stagedVersionReplies = staged;
    options->newsReply = news;
    options->bannerReply = banner;
    return true;
}
