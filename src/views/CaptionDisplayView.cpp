#include "views/CaptionDisplayView.h"

#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"
#include "views/AlertSizing.h"
#include "views/CaptionTextBlock.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QMessageBox>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QSvgRenderer>
#include <QTimer>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

// The green microphone, drawn at the opacity that the pulse gives it.
class MicrophoneIndicator final : public QWidget
{
public:
    explicit MicrophoneIndicator(QWidget *parent) : QWidget(parent), m_icon(QStringLiteral(":/sonorel/microphone.svg"))
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        setAccessibleName(QCoreApplication::translate("CaptionDisplayView", "Captioning"));
    }
    void setOpacity(qreal opacity)
    {
        m_opacity = opacity;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setOpacity(m_opacity);
        m_icon.render(&painter, QRectF(rect()));
    }

private:
    QSvgRenderer m_icon;
    qreal m_opacity = 1;
};

// A slim scroll indicator in the text's colour, as overlay scroll bars are, drawn by hand: no trough,
// no arrows, and cheaper to paint on every caption than a style sheet. The style still places the handle
// and handles the mouse.
class ScrollIndicator final : public QScrollBar
{
public:
    explicit ScrollIndicator(QWidget *parent) : QScrollBar(Qt::Vertical, parent)
    {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_OpaquePaintEvent, false);
    }
    void setHandleColor(const QColor &color)
    {
        if (color == m_color)
            return;
        m_color = color;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QStyleOptionSlider option;
        initStyleOption(&option);
        QRect handle = style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
        handle.setLeft(0);
        handle.setRight(width() - 1);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_color);
        painter.drawRoundedRect(QRectF(handle), width() / 2.0, width() / 2.0);
    }

private:
    QColor m_color { 255, 255, 255, 110 };
};

} // namespace

CaptionDisplayView::CaptionDisplayView(CaptionViewModel &viewModel, AppSettings &settings, QWidget *parent)
    : QWidget(parent), m_viewModel(viewModel), m_settings(settings), m_text(new CaptionTextBlock(this)),
      m_scrollBar(new ScrollIndicator(this)), m_indicator(new MicrophoneIndicator(this)),
      m_scrollAnimation(new QVariantAnimation(this)), m_pulse(new QVariantAnimation(this)), m_wheelEnd(new QTimer(this))
{
    static_assert(indicatorReserve == indicatorInset + indicatorSize + 4 - CaptionTextBlock::inset);
    m_scrollAnimation->setDuration(scrollAnimationMs);
    m_scrollAnimation->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_scrollAnimation, &QVariantAnimation::valueChanged, this,
        [this](const QVariant &v) { m_scrollBar->setValue(v.toInt()); });
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_AcceptTouchEvents);
    m_scrollBar->setFocusPolicy(Qt::NoFocus);
    m_scrollBar->setCursor(Qt::ArrowCursor);
    connect(m_scrollBar, &QScrollBar::valueChanged, m_text, &CaptionTextBlock::setScrollOffset);
    connect(m_text, &CaptionTextBlock::contentHeightChanged, this, &CaptionDisplayView::updateScrollRange);
    // A reader who scrolls needs the whole text laid out; the action keeps its distance from the end.
    connect(m_scrollBar, &QAbstractSlider::actionTriggered, this, [this] {
        m_scrollAnimation->stop(); // the reader's hand wins over the glide to the end
        if (!m_text->isFollowingEnd())
            return;
        const int fromEnd = m_scrollBar->maximum() - m_scrollBar->sliderPosition();
        const QSignalBlocker blocker(m_text);
        m_text->setFollowingEnd(false);
        const int maximum = m_text->maximumScrollOffset();
        m_scrollBar->setRange(0, maximum);
        m_scrollBar->setSliderPosition(qBound(0, maximum - fromEnd, maximum));
    });
    // The caption block passes the mouse to this view, so that the window can be dragged over the text.
    m_text->setAttribute(Qt::WA_TransparentForMouseEvents);

    m_indicator->resize(indicatorSize, indicatorSize);
    m_indicator->hide();
    m_pulse->setStartValue(1.0);
    m_pulse->setKeyValueAt(0.5, 0.35);
    m_pulse->setEndValue(1.0);
    m_pulse->setDuration(1200);
    m_pulse->setLoopCount(-1);
    m_pulse->setEasingCurve(QEasingCurve::InOutSine);
    connect(m_pulse, &QVariantAnimation::valueChanged, this,
        [this](const QVariant &v) { static_cast<MicrophoneIndicator *>(m_indicator)->setOpacity(v.toReal()); });

    m_wheelEnd->setSingleShot(true);
    m_wheelEnd->setInterval(wheelGestureEndMs);
    connect(m_wheelEnd, &QTimer::timeout, this, &CaptionDisplayView::endWheelGesture);

    // Both notifications come before the value is stored; the posted redraw reads the stored value.
    cancellables.push_back(m_viewModel.objectWillChange.subscribeOn(this, [this] { refresh(); }));
    cancellables.push_back(m_settings.objectWillChange.subscribeOn(this, [this] { refresh(); }));
    refresh();
}

CaptionDisplayView::~CaptionDisplayView()
{
    if (m_alert) {
        m_closingAlert = true;
        delete m_alert.data();
    }
}

double CaptionDisplayView::effectiveFontSize() const
{
    return m_tempFontSize > 0 ? m_tempFontSize : m_settings.fontSize();
}

double CaptionDisplayView::drawnFontSize(double effective)
{
    if (std::isnan(effective))
        return AppSettings::defaultFontSize;
    return std::clamp(effective, minimumDrawnFontSize, maximumDrawnFontSize);
}

QColor CaptionDisplayView::backgroundColor() const
{
    return m_settings.darkMode() ? QColor(Qt::black) : QColor(Qt::white);
}

QColor CaptionDisplayView::textColor() const
{
    return m_settings.darkMode() ? QColor(Qt::white) : QColor(Qt::black);
}

Qt::LayoutDirection CaptionDisplayView::captionDirection() const
{
    return m_settings.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
}

Qt::Alignment CaptionDisplayView::captionAnchor() const
{
    // Leading and trailing in absolute terms, so that the value does not depend on the widget's direction.
    return Qt::AlignBottom | (m_settings.isRightToLeft() ? Qt::AlignRight : Qt::AlignLeft);
}

Qt::Corner CaptionDisplayView::indicatorCorner() const
{
    return m_settings.isRightToLeft() ? Qt::TopLeftCorner : Qt::TopRightCorner;
}

Qt::Alignment CaptionDisplayView::textAlignment() const
{
    return m_settings.isRightToLeft() ? Qt::AlignRight : Qt::AlignLeft;
}

bool CaptionDisplayView::isIndicatorShown() const
{
    return !m_indicator->isHidden();
}

bool CaptionDisplayView::isPulseRunning() const
{
    return m_pulse->state() == QAbstractAnimation::Running;
}

QRect CaptionDisplayView::indicatorRect() const
{
    const int x = indicatorCorner() == Qt::TopLeftCorner ? indicatorInset : width() - indicatorInset - indicatorSize;
    return { x, indicatorInset, indicatorSize, indicatorSize };
}

QString CaptionDisplayView::captionFamily(const QString &preferred)
{
    // Many desktop fonts (DejaVu Sans among them) have no medium face, and a medium request falls back to
    // their regular one; Inter (fonts-inter) has one.
    const auto hasMedium = [](const QString &family) {
        const QStringList styles = QFontDatabase::styles(family);
        return std::any_of(styles.begin(), styles.end(),
            [&](const QString &style) { return QFontDatabase::weight(family, style) == QFont::Medium; });
    };
    static const QString inter = QStringLiteral("Inter");
    if (hasMedium(preferred) || !QFontDatabase::families().contains(inter) || !hasMedium(inter))
        return preferred;
    return inter;
}

void CaptionDisplayView::refresh()
{
    QFont font = this->font();
    static const QString family = captionFamily(font.family());
    font.setFamily(family);
    font.setPixelSize(qMax(1, int(std::lround(drawnFontSize(effectiveFontSize())))));
    font.setWeight(QFont::Medium);
    m_text->setTextFont(font);
    m_text->setTextColor(textColor());
    applyScrollBarStyle();
    const Qt::LayoutDirection direction = captionDirection();
    setLayoutDirection(direction);
    m_text->setTextDirection(direction);
    m_text->setTextAlignment(textAlignment() | Qt::AlignAbsolute);

    // The microphone tells that one is listened to: it shows only while a microphone is the source.
    const bool running = m_viewModel.isRunning.get();
    const bool listening = running && m_settings.audioSource().kind == AudioSource::Kind::Input;
    m_text->setTopReserve(listening ? indicatorReserve : 0);
    m_startedOnce = m_startedOnce || running;

    // While the chosen application is silent, a line under the captions says what they wait for.
    QString caption = m_viewModel.captionText.get();
    // Until captions first start, the empty overlay says how to start them.
    if (caption.isEmpty() && !m_startedOnce)
        caption = startHint();
    if (const QString &waiting = m_viewModel.waitingText.get(); !waiting.isEmpty())
        caption += (caption.isEmpty() ? QString() : QStringLiteral("\n")) + waiting;
    const bool captionChanged = caption != m_shownCaption;
    if (captionChanged) {
        m_shownCaption = caption;
        m_text->setFollowingEnd(true);
        m_text->setText(caption);
    }
    layoutChildren();
    if (captionChanged)
        scrollToEnd();

    m_indicator->setVisible(listening);
    m_indicator->raise();
    updatePulse();
    updateAlert();
    update();
}

void CaptionDisplayView::applyScrollBarStyle()
{
    static_cast<ScrollIndicator *>(m_scrollBar)
        ->setHandleColor(m_settings.darkMode() ? QColor(255, 255, 255, 110) : QColor(0, 0, 0, 90));
}

void CaptionDisplayView::layoutChildren()
{
    m_text->setGeometry(rect());
    const int barWidth = scrollBarWidth;
    const int barX = captionDirection() == Qt::RightToLeft ? 2 : width() - barWidth - 2;
    m_scrollBar->setGeometry(barX, int(cornerRadius), barWidth, qMax(0, height() - 2 * int(cornerRadius)));
    m_indicator->setGeometry(indicatorRect());
    updateScrollRange();
}

void CaptionDisplayView::updateScrollRange()
{
    const int maximum = m_text->maximumScrollOffset();
    const bool atEnd = m_scrollBar->value() >= m_scrollBar->maximum();
    m_scrollBar->setRange(0, maximum);
    m_scrollBar->setPageStep(qMax(1, height()));
    m_scrollBar->setSingleStep(qMax(1, m_text->fontMetrics().height()));
    m_scrollBar->setVisible(maximum > 0);
    // A reader who scrolled up keeps their place on a resize; one at the end stays at the end, and a
    // glide to the end goes to the new end.
    if (isScrollAnimating())
        m_scrollAnimation->setEndValue(maximum);
    else if (atEnd)
        m_scrollBar->setValue(maximum);
    m_text->setScrollOffset(m_scrollBar->value());
}

bool CaptionDisplayView::isScrollAnimating() const
{
    return m_scrollAnimation->state() == QAbstractAnimation::Running;
}

void CaptionDisplayView::scrollToEnd()
{
    updateScrollRange();
    const int end = m_scrollBar->maximum();
    // Eased in and out; a hidden view has nobody to show the way to, and jumps.
    if (isVisible() && m_scrollBar->value() != end) {
        m_scrollAnimation->stop();
        m_scrollAnimation->setStartValue(m_scrollBar->value());
        m_scrollAnimation->setEndValue(end);
        m_scrollAnimation->start();
        return;
    }
    m_scrollAnimation->stop();
    m_scrollBar->setValue(end);
    m_text->setScrollOffset(m_scrollBar->value());
}

QString CaptionDisplayView::startHint()
{
    return tr("Captions will appear here. To start them, choose Start Captions from the round menu button at "
              "the corner of this box.");
}

void CaptionDisplayView::updatePulse()
{
    const bool shouldRun = isIndicatorShown() && isVisible();
    if (shouldRun && m_pulse->state() != QAbstractAnimation::Running) {
        m_pulse->start();
    } else if (!shouldRun && m_pulse->state() != QAbstractAnimation::Stopped) {
        m_pulse->stop();
        static_cast<MicrophoneIndicator *>(m_indicator)->setOpacity(1.0);
    }
}

void CaptionDisplayView::updateAlert()
{
    const QString &message = m_viewModel.errorMessage.get();
    if (message.isEmpty()) {
        if (m_alert && m_alert->isVisible()) {
            m_closingAlert = true;
            m_alert->hide();
            m_closingAlert = false;
        }
        return;
    }
    if (!m_alert) {
        m_alert = new QMessageBox(QMessageBox::Information, tr("Notice"), message, QMessageBox::Ok);
        m_alert->setWindowFlag(Qt::WindowStaysOnTopHint);
        m_alert->setWindowModality(Qt::NonModal);
        m_alert->setAttribute(Qt::WA_DeleteOnClose, false);
        // Any way of closing the alert (OK, Escape, the window's close button) dismisses the error.
        connect(m_alert, &QMessageBox::finished, this, [this] {
            if (!m_closingAlert)
                m_viewModel.dismissError();
        });
    }
    m_alert->setText(message);
    if (!m_alert->isVisible()) {
        m_alert->show();
        m_alert->raise();
        m_alert->activateWindow();
    }
    AlertSizing::fitToText(*m_alert);
}

// A gesture that went past the largest or smallest size turns back at once when it reverses: it holds
// no more scale than the stored size can take.
double CaptionDisplayView::boundedScale(double scale) const
{
    const double size = m_settings.fontSize();
    return std::clamp(scale, minimumDrawnFontSize / size, maximumDrawnFontSize / size);
}

void CaptionDisplayView::pinchChanged(double scale)
{
    if (!std::isfinite(scale) || scale <= 0)
        return;
    m_tempFontSize = scale * m_settings.fontSize();
    refresh();
}

void CaptionDisplayView::pinchEnded(double scale)
{
    if (std::isfinite(scale) && scale > 0)
        m_settings.setFontSize(scale * m_settings.fontSize());
    m_tempFontSize = 0;
    refresh();
}

bool CaptionDisplayView::event(QEvent *event)
{
    if (event->type() == QEvent::NativeGesture) {
        auto *gesture = static_cast<QNativeGestureEvent *>(event);
        switch (gesture->gestureType()) {
        case Qt::BeginNativeGesture:
            m_nativePinchScale = 1;
            m_nativePinchReported = false;
            return true;
        case Qt::ZoomNativeGesture:
            // Each event carries the change since the last one.
            m_nativePinchScale = boundedScale(m_nativePinchScale * (1 + gesture->value()));
            if (m_nativePinchReported || std::abs(m_nativePinchScale - 1) >= minimumPinchChange) {
                m_nativePinchReported = true;
                pinchChanged(m_nativePinchScale);
            }
            return true;
        case Qt::EndNativeGesture:
            if (m_nativePinchReported)
                pinchEnded(m_nativePinchScale);
            m_nativePinchScale = 1;
            m_nativePinchReported = false;
            return true;
        default:
            break;
        }
    }
    return QWidget::event(event);
}

void CaptionDisplayView::wheelEvent(QWheelEvent *event)
{
    if (event->modifiers() & Qt::ControlModifier) {
        // Ctrl + wheel is a pinch in steps: each notch scales by 1.1, previewed until the wheel rests.
        const double notches = event->angleDelta().y() / 120.0;
        if (notches != 0) {
            m_wheelScale = boundedScale(m_wheelScale * std::pow(wheelStepScale, notches));
            pinchChanged(m_wheelScale);
            m_wheelEnd->start();
        }
        event->accept();
        return;
    }
    if (m_scrollBar->maximum() > 0) {
        QCoreApplication::sendEvent(m_scrollBar, event);
        return;
    }
    QWidget::wheelEvent(event);
}

void CaptionDisplayView::endWheelGesture()
{
    const double scale = std::exchange(m_wheelScale, 1.0);
    pinchEnded(scale);
}

void CaptionDisplayView::setTranslucencyShown(bool shown)
{
    if (shown == m_translucencyShown)
        return;
    m_translucencyShown = shown;
    update();
}

void CaptionDisplayView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = backgroundColor();
    painter.setPen(Qt::NoPen);
    if (!m_translucencyShown) {
        // Square corners too: what lies outside rounded ones would show black.
        painter.fillRect(rect(), fill);
        return;
    }
    fill.setAlphaF(float(std::clamp(m_settings.backgroundOpacity(), 0.0, 1.0)));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
}

void CaptionDisplayView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutChildren();
}

void CaptionDisplayView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    updatePulse();
}

void CaptionDisplayView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updatePulse();
}
