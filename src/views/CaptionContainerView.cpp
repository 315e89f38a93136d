#include "views/CaptionContainerView.h"

#include "captioning/CaptionViewModel.h"
#include "views/CaptionDisplayView.h"

#include <QVBoxLayout>

#include <optional>

CaptionContainerView::CaptionContainerView(
    CaptionViewModel &viewModel, AppSettings &settings, std::function<void()> toggleClickThrough, QWidget *parent)
    : QWidget(parent), m_display(new CaptionDisplayView(viewModel, settings, this)),
      m_toggleClickThrough(std::move(toggleClickThrough))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setMinimumSize(minimumWidth, minimumHeight);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_display);

    // The subscription hands over the current value first; only a different value later is a change
    // (a store of the same value is not).
    auto last = std::make_shared<std::optional<bool>>();
    cancellables.push_back(viewModel.clickThrough.subscribe([this, last](const bool &value) {
        const std::optional<bool> previous = std::exchange(*last, value);
        if (previous && *previous != value && m_toggleClickThrough)
            m_toggleClickThrough();
    }));
}

CaptionContainerView::~CaptionContainerView() = default;
