#pragma once

#include "base/ObjectWillChange.h"
#include "base/Published.h"
#include "base/Subscription.h"
#include "captioning/CaptioningServices.h"
#include "views/AppCommands.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class AppSettings;
class CaptionContainerView;
class CaptionViewModel;
class ControlPanel;
class OverlayMenuButton;
class OverlayPanel;
class QSettings;

// The hub of the application shell: launch and termination, the one caption session controller, the
// overlay window with its frame in the settings file, and the control panel that follows the overlay.
// Everything here runs on the main thread.
class AppDelegate final : public QObject, public AppCommands
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppDelegate)

public:
    using ServicesFactory = std::function<CaptioningServices()>;

    static constexpr double defaultFrameX = 200;
    static constexpr double defaultFrameY = 200;
    static constexpr double defaultFrameW = 600;
    static constexpr double defaultFrameH = 220;
    static constexpr int controlSide = 32;
    static constexpr int controlGap = 8;
    static constexpr int controlFollowIntervalMs = 16;
    static constexpr int controlFollowStopDelayMs = 200;

    // `defaults` keeps the overlay frame; `makeServices` gives the controller its desktop services when
    // the overlay is created.
    AppDelegate(AppSettings &settings, std::unique_ptr<QSettings> defaults, ServicesFactory makeServices,
        QObject *parent = nullptr);
    ~AppDelegate() override;

    // The control panel's frame for an overlay frame, in screen coordinates with y growing downward:
    // right-aligned 8 in from the overlay's right edge, its bottom 8 above the overlay's top edge. Where that
    // would leave the top of `screen` (the overlay's, when known), it goes 8 below the overlay's bottom edge,
    // and where that leaves the screen too, 8 inside the overlay's top edge.
    static QRect controlFrame(const QRect &overlay, const QSize &controlSize, const QRect &screen = QRect());

    // Where a stored overlay frame is shown on these screens (their available areas): wholly on the screen
    // that holds most of it, moved there and then, only if it is still too large, shrunk (never below
    // `minimum`). A frame on no screen goes to the default place on `primary`. With no screens, the frame as
    // stored. The stored frame itself is kept until the user moves or resizes the overlay.
    struct Placement {
        QRect frame;
        bool resized = false;
        bool moved = false;
    };
    static Placement placeOnScreens(
        const QRect &stored, const QList<QRect> &screens, const QRect &primary, const QSize &minimum);

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    void bindSessionController();
    void setupOverlayWindow();
    void persistFrame();
    void windowDidMove();
    void windowDidEndLiveResize();

    void setupControlWindow();
    void positionControlWindow();
    void updateControlWindowVisibility();
    void startControlFollow();
    void stopControlFollow();

    // A second launch asks for the overlay: shown if hidden, raised if shown.
    void showOverlay();
    // What "Check for Updates" runs.
    void setUpdateCheck(std::function<void()> check) { m_updateCheck = std::move(check); }

    // AppCommands: what the menus call.
    ObjectWillChange &appWillChange() override { return objectWillChange; }
    bool captionsRunning() const override { return isCaptionsRunning.get(); }
    bool clickThroughEnabled() const override { return isClickThrough.get(); }
    bool overlayVisible() const override;
    bool hasTranscript() const override;
    void startCaptions() override;
    void stopCaptions() override;
    void toggleOverlayVisibility() override;
    void toggleClickThrough() override;
    AudioSource audioSource() const override;
    void setAudioSource(const AudioSource &source) override;
    std::shared_ptr<void> watchAudioSources(AudioCaptureService::ContentHandler handler) override;
    void saveTranscript() override;
    void showSettings() override;
    void showAbout() override;
    void sendFeedback() override;
    void followOnX() override;
    void followOnYouTube() override;
    void checkForUpdates() override;
    void quit() override;

    // The frame's keys in the settings file.
    static inline const QString keyX = QStringLiteral("overlayFrameX");
    static inline const QString keyY = QStringLiteral("overlayFrameY");
    static inline const QString keyW = QStringLiteral("overlayFrameW");
    static inline const QString keyH = QStringLiteral("overlayFrameH");

    // What tests and the shell look at; the delegate alone changes them.
    OverlayPanel *overlayWindow() const;
    ControlPanel *controlPanel() const;
    CaptionViewModel *sessionController() const;

    // The menu button's following of the overlay: placed every 16 ms until 0.2 s after the last move.
    const QTimer &controlFollowTimer() const { return m_controlFollow; }
    const QTimer &controlFollowStopTask() const { return m_controlFollowStop; }

Q_SIGNALS:
    // After every placement of the control panel.
    void controlWindowPositioned();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Fields, in the order in which they come to life.
    QPointer<OverlayPanel> window;
    QPointer<CaptionContainerView> hosting;
    QPointer<ControlPanel> controlWindow;
    QPointer<OverlayMenuButton> controlHost;
    const std::unique_ptr<QSettings> defaults;
    double overlayFrameX = defaultFrameX;
    double overlayFrameY = defaultFrameY;
    double overlayFrameW = defaultFrameW;
    double overlayFrameH = defaultFrameH;
    ObjectWillChange objectWillChange;
    Published<bool> isClickThrough { false, &objectWillChange };
    Published<bool> isCaptionsRunning { false, &objectWillChange };
    Cancellables cancellables;
    std::unique_ptr<CaptionViewModel> viewModel;

    void readFrameKey(const QString &key, double &field);
    // Sonorel's other windows: settings, About, dialogs and notices (not the overlay, its button, menus).
    bool isOwnWindow(const QObject *object) const;
    void keepAbove(QWidget *own);
    void keepOwnWindowsAbove();
    void updateStepAside();
    QRect overlayRect() const;

    AppSettings &m_settings;
    ServicesFactory m_makeServices;
    std::function<void()> m_updateCheck;
    bool m_terminated = false;
    bool m_quitting = false;
    QTimer m_controlFollow;
    QTimer m_controlFollowStop;
    bool m_overlayHeld = false;
    // Where the overlay was shown instead of its stored frame, until the user moves or resizes it.
    QRect m_placedInstead;
    // Hidden, with its button, while one of Sonorel's own windows overlaps it (through XWayland only).
    bool m_steppedAside = false;
};
