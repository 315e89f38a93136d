#pragma once

#include "base/Subscription.h"
#include "settings/AppSettings.h"

#include <QColor>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

class CaptionTextBlock;
class CaptionViewModel;

class QScrollBar;
class QTimer;
class QVariantAnimation;

// The running caption on a rounded, translucent background, scrolled so that the newest line stays in
// sight, with a pulsing microphone while a microphone is captioned, a hint until captions first start, the "Notice"
// alert for errors, and font sizing by pinch or Ctrl + wheel (previewed while the gesture lasts, stored when it ends).
// It keeps no caption state: it redraws from the controller and the settings whenever either announces a change.
class CaptionDisplayView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionDisplayView)

public:
    static constexpr qreal cornerRadius = 12;
    static constexpr int indicatorInset = 8;
    static constexpr int indicatorSize = 20;
    // Drawing bounds for the font size, the same as the store's: a gesture never goes beyond what is drawn.
    static constexpr double minimumDrawnFontSize = AppSettings::minimumFontSize;
    static constexpr double maximumDrawnFontSize = AppSettings::maximumFontSize;
    static constexpr double minimumPinchChange = 0.01;
    static constexpr double wheelStepScale = 1.1;
    static constexpr int wheelGestureEndMs = 400;
    static constexpr int scrollBarWidth = 6;
    // New lines glide into view rather than jump.
    static constexpr int scrollAnimationMs = 200;
    // While the microphone shows, the text keeps clear of its corner: this much more room at the top.
    static constexpr int indicatorReserve = indicatorInset + indicatorSize + 4 - 12; // 12: the text's own inset

    CaptionDisplayView(CaptionViewModel &viewModel, AppSettings &settings, QWidget *parent = nullptr);
    ~CaptionDisplayView() override;

    // Values derived from the settings on every redraw.
    double tempFontSize() const { return m_tempFontSize; }
    double effectiveFontSize() const;
    static double drawnFontSize(double effective);
    QColor backgroundColor() const;
    QColor textColor() const;
    Qt::LayoutDirection captionDirection() const;
    Qt::Alignment captionAnchor() const;
    Qt::Corner indicatorCorner() const;
    Qt::Alignment textAlignment() const;

    // The caption's font family: `preferred` where it has a medium face, else one that has.
    static QString captionFamily(const QString &preferred);

    // Without a compositor, translucent pixels show as black: the background is then drawn at full
    // opacity, so that the text stays on the colour it was chosen for.
    void setTranslucencyShown(bool shown);
    bool isTranslucencyShown() const { return m_translucencyShown; }

    // Shown in the empty overlay until captions first start.
    static QString startHint();

    bool isIndicatorShown() const;
    bool isPulseRunning() const;
    QMessageBox *alert() const { return m_alert; }
    CaptionTextBlock &textBlock() const { return *m_text; }
    QScrollBar &scrollBar() const { return *m_scrollBar; }
    bool isScrollAnimating() const;
    QRect indicatorRect() const;

    // The pinch, in the gesture's terms: the scale relative to the start, reported on each change and at
    // the end. A change below 0.01 is not reported, as the gesture recogniser would not report it.
    void pinchChanged(double scale);
    void pinchEnded(double scale);

    // Brings every drawn value in step with the controller and the settings.
    void refresh();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void layoutChildren();
    void applyScrollBarStyle();
    void updateScrollRange();
    void scrollToEnd();
    void updatePulse();
    void updateAlert();
    void endWheelGesture();
    double boundedScale(double scale) const;

    CaptionViewModel &m_viewModel;
    AppSettings &m_settings;
    double m_tempFontSize = 0;
    double m_nativePinchScale = 1;
    bool m_nativePinchReported = false;
    double m_wheelScale = 1;
    bool m_translucencyShown = true;
    bool m_startedOnce = false;

    CaptionTextBlock *m_text;
    QScrollBar *m_scrollBar;
    QWidget *m_indicator;
    QVariantAnimation *m_scrollAnimation = nullptr;
    QVariantAnimation *m_pulse;
    QTimer *m_wheelEnd;
    QPointer<QMessageBox> m_alert;
    bool m_closingAlert = false;
    QString m_shownCaption;
    Cancellables cancellables;
};
