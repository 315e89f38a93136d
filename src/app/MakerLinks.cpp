#include "app/MakerLinks.h"

#include "base/BundleInfo.h"
#include "views/DesktopOpener.h"

namespace MakerLinks {

namespace {

// The characters that a URL query may carry as they are: unreserved, sub-delimiters, ":", "@", "/", "?".
const QByteArray queryAllowed = QByteArrayLiteral("!$&'()*+,;=:@/?");

void open(const QString &address)
{
    const QUrl url(address, QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty())
        DesktopOpener::open(url);
}

} // namespace

QString feedbackSubject(const QString &version)
{
    return QStringLiteral("Feedback for Sonorel ") + version;
}

QUrl feedbackUrl(const QString &version)
{
    const QByteArray encoded = QUrl::toPercentEncoding(feedbackSubject(version), queryAllowed);
    const QString text
        = QStringLiteral("mailto:") + feedbackAddress + QStringLiteral("?subject=") + QString::fromLatin1(encoded);
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() ? url : QUrl();
}

void sendFeedback()
{
    const QUrl url = feedbackUrl(BundleInfo::stringOrDash(BundleInfo::shortVersionKey));
    if (url.isValid())
        DesktopOpener::open(url);
}

void followOnX()
{
    open(xProfileAddress);
}

void followOnYouTube()
{
    open(videoChannelAddress);
}

} // namespace MakerLinks
