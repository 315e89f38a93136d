#include "app/ManagedWindow.h"

#include "settings/AppSettings.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QStyle>

ManagedWindow::ManagedWindow(Description description, QSettings *store, QObject *parent)
    : QObject(parent), m_description(std::move(description)), m_store(store)
{
    if (!m_store) {
        m_ownStore = AppSettings::openStore(AppSettings::userFileName());
        m_store = m_ownStore.get();
    }
}

ManagedWindow::~ManagedWindow()
{
    delete m_window.data();
}

void ManagedWindow::show()
{
    if (!m_window) {
        auto *window = new QWidget(
            nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
        window->setWindowTitle(m_description.title);
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->setAttribute(Qt::WA_QuitOnClose, false);
        QWidget *content = m_description.makeContent();
        content->setParent(window);
        content->adjustSize();
        window->setFixedSize(content->sizeHint().expandedTo(content->minimumSize()).expandedTo(content->size()));
        content->move(0, 0);
        content->resize(window->size());

        // Centred first; a frame saved under the window's name wins over it.
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            window->setGeometry(
                QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window->size(), screen->availableGeometry()));
        const QByteArray saved = m_store->value(m_description.autosaveName).toByteArray();
        if (!saved.isEmpty())
            window->restoreGeometry(saved);
        window->installEventFilter(this);
        m_window = window;
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

bool ManagedWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Hide:
            if (m_window->isVisible() || event->type() == QEvent::Hide)
                saveFrame();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void ManagedWindow::saveFrame()
{
    m_store->setValue(m_description.autosaveName, m_window->saveGeometry());
}
