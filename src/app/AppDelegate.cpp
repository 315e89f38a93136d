#include "app/AppDelegate.h"

#include "app/AboutWindowManager.h"
#include "app/ControlPanel.h"
#include "app/DesktopWindowHints.h"
#include "app/MakerLinks.h"
#include "app/OverlayPanel.h"
#include "app/SettingsWindowManager.h"
#include "base/BundleInfo.h"
#include "base/Log.h"
#include "base/UserFolders.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/CaptionViewModel.h"
#include "captioning/TranscriptWriter.h"
#include "settings/AppSettings.h"
#include "views/CaptionContainerView.h"
#include "views/CaptionDisplayView.h"
#include "views/OverlayMenuButton.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <cmath>

namespace {

// Frames are kept as doubles but windows are placed in whole pixels. A value beyond this is a damaged
// file, not a place on any screen; it is bounded so that the conversion stays defined.
constexpr double frameCoordinateLimit = 1'000'000;

int toPixels(double value)
{
    return int(std::lround(std::clamp(value, -frameCoordinateLimit, frameCoordinateLimit)));
}

} // namespace

AppDelegate::AppDelegate(
    AppSettings &settings, std::unique_ptr<QSettings> defaults, ServicesFactory makeServices, QObject *parent)
    : QObject(parent), defaults(std::move(defaults)), m_settings(settings), m_makeServices(std::move(makeServices))
{
    m_controlFollow.setTimerType(Qt::PreciseTimer);
    m_controlFollow.setInterval(controlFollowIntervalMs);
    connect(&m_controlFollow, &QTimer::timeout, this, &AppDelegate::positionControlWindow);
    m_controlFollowStop.setSingleShot(true);
    m_controlFollowStop.setTimerType(Qt::PreciseTimer);
    m_controlFollowStop.setInterval(controlFollowStopDelayMs);
    connect(&m_controlFollowStop, &QTimer::timeout, this, &AppDelegate::stopControlFollow);
    // Setting the flag applies it to the overlay at once (before observers read it back).
    cancellables.push_back(isClickThrough.subscribe([this](const bool &value) {
        if (!window)
            return;
        window->setClickThrough(value);
        // The overlay comes back on top after its flags change; the menu button belongs above it.
        if (controlWindow && controlWindow->isVisible())
            controlWindow->raise();
    }));
}

AppDelegate::~AppDelegate()
{
    // The views hold the controller; they go first.
    cancellables.clear();
    delete controlWindow.data();
    delete window.data();
    viewModel.reset();
}

OverlayPanel *AppDelegate::overlayWindow() const
{
    return window;
}

ControlPanel *AppDelegate::controlPanel() const
{
    return controlWindow;
}

CaptionViewModel *AppDelegate::sessionController() const
{
    return viewModel.get();
}

QRect AppDelegate::controlFrame(const QRect &overlay, const QSize &controlSize, const QRect &screen)
{
    const int x = overlay.x() + overlay.width() - controlSize.width() - controlGap;
    int y = overlay.y() - controlGap - controlSize.height();
    // The button is the only way to the commands where there is no tray: it stays on the screen.
    if (screen.isValid() && y < screen.top()) {
        y = overlay.y() + overlay.height() + controlGap;
        if (y + controlSize.height() > screen.y() + screen.height())
            y = overlay.y() + controlGap;
    }
    return { QPoint(x, y), controlSize };
}

AppDelegate::Placement AppDelegate::placeOnScreens(
    const QRect &stored, const QList<QRect> &screens, const QRect &primary, const QSize &minimum)
{
    Placement placement { stored };
    if (screens.isEmpty())
        return placement;
    const auto area = [](const QRect &r) { return qint64(r.width()) * r.height(); };
    QRect screen;
    qint64 largest = 0;
    for (const QRect &candidate : screens) {
        if (const qint64 shown = area(stored & candidate); shown > largest) {
            largest = shown;
            screen = candidate;
        }
    }
    QRect &frame = placement.frame;
    if (largest == 0) {
        screen = primary.isValid() ? primary : screens.first();
        frame.moveTopLeft(screen.topLeft() + QPoint(int(defaultFrameX), int(defaultFrameY)));
    }
    frame.setSize(frame.size().boundedTo(screen.size()).expandedTo(minimum));
    // Moved in first; a frame larger than the screen starts at its top-left corner.
    frame.moveLeft(std::max(screen.left(), std::min(frame.left(), screen.x() + screen.width() - frame.width())));
    frame.moveTop(std::max(screen.top(), std::min(frame.top(), screen.y() + screen.height() - frame.height())));
    placement.resized = frame.size() != stored.size();
    placement.moved = frame.topLeft() != stored.topLeft();
    return placement;
}

void AppDelegate::applicationDidFinishLaunching()
{
    SLOG_INFO(lcApp, "Application did finish launching build %s", BundleInfo::stringOrDash(BundleInfo::versionKey));
    // The overlay comes on a later turn of the event loop; launching does not wait for it.
    QMetaObject::invokeMethod(this, &AppDelegate::setupOverlayWindow, Qt::QueuedConnection);
}

void AppDelegate::applicationWillTerminate()
{
    // Quit, a signal and the end of the event loop may each get here; the sequence runs once.
    if (std::exchange(m_terminated, true))
        return;
    SLOG_INFO(lcApp, "Application will terminate");
    persistFrame();
}

void AppDelegate::startCaptions()
{
    SLOG_INFO(lcApp, "Starting captions");
    if (viewModel)
        viewModel->start();
}

void AppDelegate::stopCaptions()
{
    SLOG_INFO(lcApp, "Stopping captions");
    if (viewModel)
        viewModel->stop();
}

void AppDelegate::bindSessionController()
{
    viewModel
        = std::make_unique<CaptionViewModel>(m_makeServices ? m_makeServices() : CaptioningServices {}, m_settings);
    QPointer<AppDelegate> self(this);
    cancellables.push_back(viewModel->isRunning.subscribeOn(this, [self](const bool &running) {
        if (self)
            self->isCaptionsRunning = running;
    }));
    // Shown without waiting for an answer: captions go on behind them.
    const auto showNotice = [](const QString &title) {
        return [title](const QString &notice) {
            if (notice.isEmpty())
                return;
            auto *box = new QMessageBox(QMessageBox::Information, title, notice, QMessageBox::Ok);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->show();
        };
    };
    cancellables.push_back(viewModel->transcriptNotice.subscribeOn(this, showNotice(tr("Keep Transcripts"))));
    cancellables.push_back(viewModel->speechNotice.subscribeOn(this, showNotice(tr("Live Captions"))));
}

void AppDelegate::readFrameKey(const QString &key, double &field)
{
    if (!defaults->contains(key))
        return;
    bool ok = false;
    const double value = defaults->value(key).toDouble(&ok);
    // A value that is not a number would give the overlay a frame of nothing; the default stands instead.
    if (!ok || !std::isfinite(value)) {
        SLOG_ERROR(lcApp, "Ignoring unreadable overlay frame value for %{public}s", key);
        return;
    }
    field = value;
}

QRect AppDelegate::overlayRect() const
{
    return { toPixels(overlayFrameX), toPixels(overlayFrameY), toPixels(overlayFrameW), toPixels(overlayFrameH) };
}

void AppDelegate::setupOverlayWindow()
{
    if (window)
        return;
    SLOG_INFO(lcApp, "Creating overlay window");
    readFrameKey(keyX, overlayFrameX);
    readFrameKey(keyY, overlayFrameY);
    readFrameKey(keyW, overlayFrameW);
    readFrameKey(keyH, overlayFrameH);

    auto *panel = new OverlayPanel;
    bindSessionController();

    QPointer<AppDelegate> self(this);
    auto *content = new CaptionContainerView(*viewModel, m_settings, [self] {
        if (self)
            self->toggleClickThrough();
    });
    panel->setContent(content);
    hosting = content;
    connect(panel, &OverlayPanel::translucencyChecked, content,
        [content](bool shown) { content->display().setTranslucencyShown(shown); });
    window = panel;
    panel->setClickThrough(isClickThrough.get());

    QList<QRect> screens;
    for (const QScreen *screen : QGuiApplication::screens())
        screens.append(screen->availableGeometry());
    const QScreen *primary = QGuiApplication::primaryScreen();
    const QRect stored = overlayRect();
    const Placement placement = placeOnScreens(stored, screens, primary ? primary->availableGeometry() : QRect(),
        panel->minimumSizeHint().expandedTo(panel->minimumSize()));
    if (placement.resized)
        SLOG_ERROR(lcApp, "Overlay frame size %dx%d adjusted to %dx%d to fit the screen", stored.width(),
            stored.height(), placement.frame.width(), placement.frame.height());
    if (placement.moved)
        SLOG_ERROR(lcApp, "Overlay frame at %d,%d lies off the screen; shown at %d,%d", stored.x(), stored.y(),
            placement.frame.x(), placement.frame.y());
    if (placement.resized || placement.moved)
        m_placedInstead = placement.frame;
    panel->setGeometry(placement.frame);
    panel->show();
    panel->raise();
    connect(panel, &OverlayPanel::moved, this, &AppDelegate::windowDidMove);
    // The overlay's window may be made anew (a change of click-through does that): the windows kept above
    // it are pointed at the new one.
    connect(panel, &OverlayPanel::mappedOnScreen, this, &AppDelegate::keepOwnWindowsAbove);
    qApp->installEventFilter(this);
    connect(panel, &OverlayPanel::liveResizeEnded, this, &AppDelegate::windowDidEndLiveResize);
    // A window manager moving the overlay tells us only when the move ends; the menu button follows the
    // whole time the user holds the overlay.
    connect(panel, &OverlayPanel::heldByUser, this, [this] {
        m_overlayHeld = true;
        startControlFollow();
    });
    connect(panel, &OverlayPanel::releasedByUser, this, [this] {
        m_overlayHeld = false;
        if (m_controlFollow.isActive())
            m_controlFollowStop.start();
    });

    setupControlWindow();
    SLOG_INFO(
        lcApp, "Overlay window ready size %fx%f", double(placement.frame.width()), double(placement.frame.height()));
}

void AppDelegate::persistFrame()
{
    if (!window)
        return;
    const QRect frame = window->geometry();
    // Shown elsewhere only to fit this screen: the stored frame stays for a screen that holds it.
    if (!m_placedInstead.isNull()) {
        if (frame == m_placedInstead)
            return;
        m_placedInstead = QRect();
    }
    // A Wayland window never learns where it is (it reads 0,0): the stored place is kept for a session
    // that can use it, and only the size is written.
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        overlayFrameX = frame.x();
        overlayFrameY = frame.y();
    }
    SLOG_DEBUG(lcApp, "Persisting frame origin %f,%f size %fx%f", overlayFrameX, overlayFrameY, double(frame.width()),
        double(frame.height()));
    overlayFrameW = frame.width();
    overlayFrameH = frame.height();
    defaults->setValue(keyX, overlayFrameX);
    defaults->setValue(keyY, overlayFrameY);
    defaults->setValue(keyW, overlayFrameW);
    defaults->setValue(keyH, overlayFrameH);
}

// Sonorel's own windows open above the always-on-top overlay and take their clicks. Where a window manager
// stacks the overlay, each is made transient for it: window managers keep a transient above its parent, in
// the parent's layer. Through XWayland the overlay places itself outside any window manager's stacking, so
// there it steps aside, with its button, while one of them overlaps it.
bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::Move:
    case QEvent::Resize:
        break;
    default:
        return false;
    }
    if (!isOwnWindow(watched))
        return false;
    QPointer<AppDelegate> self(this);
    if (DesktopWindowHints::throughXWayland()) {
        // Once the event has taken effect.
        QTimer::singleShot(0, this, &AppDelegate::updateStepAside);
    } else if (event->type() == QEvent::Show) {
        // Show comes before the window is mapped, and mapping rewrites the relation.
        auto *own = static_cast<QWidget *>(watched);
        QTimer::singleShot(0, own, [self, own] {
            if (self)
                self->keepAbove(own);
        });
    }
    return false;
}

bool AppDelegate::isOwnWindow(const QObject *object) const
{
    if (!object->isWidgetType())
        return false;
    const auto *widget = static_cast<const QWidget *>(object);
    const Qt::WindowType type = widget->windowType();
    return widget->isWindow() && (type == Qt::Window || type == Qt::Dialog) && widget != window
        && widget != controlWindow;
}

void AppDelegate::keepAbove(QWidget *own)
{
    if (!window || !window->isVisible() || !own->isVisible() || DesktopWindowHints::throughXWayland())
        return;
    DesktopWindowHints::setTransientFor(own, window);
    own->raise();
}

void AppDelegate::keepOwnWindowsAbove()
{
    if (DesktopWindowHints::throughXWayland())
        return;
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget *own : windows) {
        if (isOwnWindow(own))
            keepAbove(own);
    }
}

void AppDelegate::updateStepAside()
{
    if (!window || !controlWindow)
        return;
    const QRect overlay = window->geometry();
    const auto windows = QApplication::topLevelWidgets();
    const bool overlapped = std::any_of(windows.begin(), windows.end(), [&](const QWidget *own) {
        return isOwnWindow(own) && own->isVisible() && own->frameGeometry().intersects(overlay);
    });
    if (overlapped && window->isVisible()) {
        SLOG_DEBUG(lcApp, "Overlay steps aside for one of Sonorel's windows");
        m_steppedAside = true;
        window->hide();
        controlWindow->hide();
    } else if (!overlapped && std::exchange(m_steppedAside, false)) {
        window->show();
        window->raise();
        updateControlWindowVisibility();
    }
}

void AppDelegate::toggleClickThrough()
{
    isClickThrough = !isClickThrough.get();
    SLOG_INFO(lcApp, "Toggle click through new state %{bool}d", isClickThrough.get());
}

bool AppDelegate::overlayVisible() const
{
    return window && (window->isVisible() || m_steppedAside);
}

void AppDelegate::toggleOverlayVisibility()
{
    if (!window)
        return;
    if (std::exchange(m_steppedAside, false)) {
        // Out of the way already: it stays hidden when the window in front of it goes.
    } else if (window->isVisible()) {
        window->hide();
    } else {
        window->show();
        window->raise();
    }
    SLOG_INFO(lcApp, "Overlay visibility %{bool}d", window->isVisible());
    updateControlWindowVisibility();
}

void AppDelegate::showOverlay()
{
    if (!window)
        return;
    if (!window->isVisible()) {
        toggleOverlayVisibility();
    } else {
        window->raise();
        updateControlWindowVisibility();
    }
}

void AppDelegate::windowDidMove()
{
    persistFrame();
    startControlFollow();
}

void AppDelegate::windowDidEndLiveResize()
{
    persistFrame();
    positionControlWindow();
    stopControlFollow();
}

void AppDelegate::setupControlWindow()
{
    if (controlWindow || !window)
        return;
    auto *panel = new ControlPanel(*this);
    panel->setGeometry(window->geometry());
    controlWindow = panel;
    controlHost = &panel->button();
    positionControlWindow();
    updateControlWindowVisibility();
}

void AppDelegate::positionControlWindow()
{
    if (!window || !controlWindow)
        return;
    QSize size(controlSide, controlSide);
    if (controlHost) {
        controlHost->adjustSize();
        size = controlHost->sizeHint();
    }
    // While the user holds the overlay, the window manager may move it without telling Qt; otherwise
    // Qt's frame is the settled one (the X server's may be mid-way through mapping).
    const QRect overlay = m_overlayHeld ? window->frameOnScreen() : window->geometry();
    const QScreen *screen = QGuiApplication::screenAt(overlay.center());
    if (!screen)
        screen = window->screen();
    controlWindow->setGeometry(controlFrame(overlay, size, screen ? screen->availableGeometry() : QRect()));
    Q_EMIT controlWindowPositioned();
}

void AppDelegate::updateControlWindowVisibility()
{
    if (window && window->isVisible()) {
        positionControlWindow();
        controlWindow->show();
        controlWindow->raise();
    } else if (controlWindow) {
        controlWindow->hide();
    }
}

void AppDelegate::startControlFollow()
{
    // Each move pushes the end further; while the user holds the overlay, there is no end yet.
    if (m_overlayHeld)
        m_controlFollowStop.stop();
    else
        m_controlFollowStop.start();
    if (!m_controlFollow.isActive()) {
        m_controlFollow.start();
        positionControlWindow();
    }
}

void AppDelegate::stopControlFollow()
{
    m_controlFollowStop.stop();
    if (!m_controlFollow.isActive())
        return;
    m_controlFollow.stop();
    positionControlWindow();
}

AudioSource AppDelegate::audioSource() const
{
    return m_settings.audioSource();
}

void AppDelegate::setAudioSource(const AudioSource &source)
{
    m_settings.setAudioSource(source);
}

std::shared_ptr<void> AppDelegate::watchAudioSources(AudioCaptureService::ContentHandler handler)
{
    return viewModel ? viewModel->audioCapture().watchContent(std::move(handler)) : nullptr;
}

// Text on screen is a sentence under way at least, which a save finishes first.
bool AppDelegate::hasTranscript() const
{
    return viewModel && (!viewModel->transcript().isEmpty() || !viewModel->captionText.get().isEmpty());
}

void AppDelegate::saveTranscript()
{
    if (!hasTranscript())
        return;
    const QString txt = tr("Text (*.txt)"), srt = tr("SubRip subtitles (*.srt)"), vtt = tr("WebVTT subtitles (*.vtt)");
    // Without a documents folder, the name alone: the dialog starts in the current folder.
    const QString documents = UserFolders::documents();
    const QString suggested = (documents.isEmpty() ? QString() : documents + u'/')
        + tr("Transcript %1.txt").arg(viewModel->transcript().startTime().toString(QStringLiteral("yyyy-MM-dd HH.mm")));
    QString filter = txt;
    QString fileName = QFileDialog::getSaveFileName(
        nullptr, tr("Save Transcript"), suggested, QStringList { txt, srt, vtt }.join(QStringLiteral(";;")), &filter);
    if (fileName.isEmpty())
        return;
    // A name without one of the three extensions takes the chosen kind's.
    if (!TranscriptWriter::formatForFile(fileName)
        || TranscriptWriter::formatForFile(fileName) == TranscriptWriter::Format::Json)
        fileName += filter == srt ? QStringLiteral(".srt")
            : filter == vtt       ? QStringLiteral(".vtt")
                                  : QStringLiteral(".txt");
    // The sentence under way is finished first, so that the file holds what is on screen.
    viewModel->finishSentence([self = QPointer<AppDelegate>(this), fileName] {
        if (!self || !self->viewModel)
            return;
        if (const auto error = self->viewModel->transcript().saveAs(fileName)) {
            SLOG_ERROR(lcApp, "Transcript not saved %s", *error);
            QMessageBox box(QMessageBox::Warning, tr("Save Transcript"), *error, QMessageBox::Ok);
            box.exec();
        }
    });
}

void AppDelegate::showSettings()
{
    SettingsWindowManager::shared().setSourceWatcher(
        [self = QPointer<AppDelegate>(this)](AudioCaptureService::ContentHandler handler) -> std::shared_ptr<void> {
            return self ? self->watchAudioSources(std::move(handler)) : nullptr;
        });
    SettingsWindowManager::shared().show();
}

void AppDelegate::showAbout()
{
    AboutWindowManager::shared().show();
}

void AppDelegate::sendFeedback()
{
    MakerLinks::sendFeedback();
}

void AppDelegate::followOnX()
{
    MakerLinks::followOnX();
}

void AppDelegate::followOnYouTube()
{
    MakerLinks::followOnYouTube();
}

void AppDelegate::checkForUpdates()
{
    if (m_updateCheck)
        m_updateCheck();
    else
        SLOG_ERROR(lcApp, "No update check is installed");
}

// The sentence under way is kept before Sonorel ends (within a bound); asked again, it ends at once.
void AppDelegate::quit()
{
    if (viewModel && !std::exchange(m_quitting, true)) {
        viewModel->stop([] { QCoreApplication::quit(); });
        return;
    }
    QCoreApplication::quit();
}
