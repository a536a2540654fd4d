#include "desktop/update/updatefeed.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QSysInfo>
#include <QXmlStreamReader>

namespace UpdateSite {

QString feedName()
{
    return QStringLiteral("appcast_linux.xml");
}

QString archiveMarker()
{
    return QStringLiteral("linux_") + QSysInfo::buildCpuArchitecture();
}

QString baseUrlKey()
{
    return QStringLiteral("update/baseurl");
}

QString defaultBaseUrl()
{
    return QStringLiteral("https://updates.tarnquist.org/nusk");
}

bool isAcceptableUrl(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    if (scheme != QLatin1String("http"))
        return false;
    if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(url.host()) && address.isLoopback();
}

bool isSupportedArchiveUrl(const QUrl& url)
{
    const QString path = url.path();
    return path.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive)
        || path.endsWith(QLatin1String(".tar.gz"), Qt::CaseInsensitive);
}

bool isSha256Hex(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("^[0-9a-fA-F]{64}$"));
    return re.match(text).hasMatch();
}

} // namespace UpdateSite

namespace UpdateFeed {

UpdateOffer parse(const QByteArray& xml, const QString& marker)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement || reader.hasError())
            continue;
        if (reader.name() != QLatin1String("enclosure"))
            continue;
        const QXmlStreamAttributes attrs = reader.attributes();
        const QString url = attrs.value(QLatin1String("url")).toString();
        if (!url.contains(marker))
            continue;
        UpdateOffer offer;
        offer.url = url;
        offer.version = attrs.value(QLatin1String("sparkle:shortVersionString")).toString();
        offer.sha256 = attrs.value(QLatin1String("sha256")).toString();
        bool isNumber = false;
        const qint64 length = attrs.value(QLatin1String("length")).toLongLong(&isNumber);
        offer.length = isNumber && length >= 0 ? length : -1;
        offer.signature = attrs.value(QLatin1String("signature")).toString();
        return offer;
    }
    return UpdateOffer();
}

QByteArray statement(const UpdateOffer& offer, const QString& marker)
{
    return QStringLiteral("nusk update\n%1\n%2\n%3\n%4\n")
        .arg(marker, offer.version, QString::number(offer.length), offer.sha256.toLower())
        .toUtf8();
}

} // namespace UpdateFeed
