#pragma once

#include "base/Subscription.h"

#include <QWidget>

#include <functional>

class AppSettings;
class CaptionDisplayView;
class CaptionViewModel;

// The overlay's content: the caption display at no less than 320 by 120, on a clear background. A change
// of the controller's click-through flag (not its first value) is passed to the window's owner.
class CaptionContainerView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionContainerView)

public:
    static constexpr int minimumWidth = 320;
    static constexpr int minimumHeight = 120;

    CaptionContainerView(CaptionViewModel &viewModel, AppSettings &settings, std::function<void()> toggleClickThrough,
        QWidget *parent = nullptr);
    ~CaptionContainerView() override;

    CaptionDisplayView &display() const { return *m_display; }

private:
    CaptionDisplayView *m_display;
    std::function<void()> m_toggleClickThrough;
    Cancellables cancellables;
};
