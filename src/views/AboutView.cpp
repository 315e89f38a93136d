#include "views/AboutView.h"

#include "base/BundleInfo.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <QVBoxLayout>

namespace {

QPixmap roundedIcon(int side, qreal radius, qreal devicePixelRatio)
{
    QPixmap pixmap(QSize(side, side) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, side, side), radius, radius);
    painter.setClipPath(clip);
    QSvgRenderer(QStringLiteral(":/sonorel/sonorel.svg")).render(&painter, QRectF(0, 0, side, side));
    return pixmap;
}

} // namespace

AboutView::AboutView(QWidget *parent)
    : QWidget(parent), appName(QStringLiteral("Sonorel")),
      version(BundleInfo::stringOrDash(BundleInfo::shortVersionKey)),
      build(BundleInfo::stringOrDash(BundleInfo::versionKey))
{
    setMinimumWidth(300);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(32, 24, 32, 24);
    outer->setSpacing(16);
    outer->setAlignment(Qt::AlignCenter);

    auto *icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(roundedIcon(96, 20, devicePixelRatioF()));
    icon->setFixedSize(96, 96);
    icon->setAccessibleName(tr("Sonorel icon"));
    outer->addWidget(icon, 0, Qt::AlignHCenter);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto *name = new QLabel(appName, this);
    name->setObjectName(QStringLiteral("appName"));
    QFont titleFont = name->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setWeight(QFont::DemiBold);
    name->setFont(titleFont);
    name->setAlignment(Qt::AlignHCenter);
    texts->addWidget(name);

    auto *versionLabel = new QLabel(versionLine(version, build), this);
    versionLabel->setObjectName(QStringLiteral("versionLine"));
    QFont subFont = versionLabel->font();
    subFont.setPointSizeF(subFont.pointSizeF() * 0.92);
    versionLabel->setFont(subFont);
    versionLabel->setForegroundRole(QPalette::PlaceholderText);
    versionLabel->setAlignment(Qt::AlignHCenter);
    versionLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    texts->addWidget(versionLabel);
    outer->addLayout(texts);
}

QString AboutView::versionLine(const QString &version, const QString &build)
{
    return tr("Version %1 (%2)").arg(version, build);
}
