#pragma once

#include <QString>
#include <QUrl>

// The maker's addresses, in one place, and the commands that open them with the desktop's handlers.
namespace MakerLinks {

inline const QString feedbackAddress = QStringLiteral("feedback@sonorel.app");
inline const QString xProfileAddress = QStringLiteral("https://x.com/sonorelapp");
inline const QString videoChannelAddress = QStringLiteral("https://www.youtube.com/@sonorelapp?sub_confirmation=1");

// "Feedback for Sonorel <version>", with "-" for a missing version.
QString feedbackSubject(const QString &version);
// mailto:<feedback address>?subject=<subject, percent-encoded as a URL query>; empty when it does not parse.
QUrl feedbackUrl(const QString &version);

void sendFeedback();
void followOnX();
void followOnYouTube();

} // namespace MakerLinks
