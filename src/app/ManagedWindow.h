#pragma once

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>

class QSettings;

// A titled, closable, fixed-size window that is created on first use, only hidden when closed, and
// remembers its frame under a name in the settings file. The About and settings windows are two of these.
class ManagedWindow final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ManagedWindow)

public:
    struct Description {
        QString title;
        QString autosaveName;
        std::function<QWidget *()> makeContent;
    };

    // `store` null: the user's settings file.
    ManagedWindow(Description description, QSettings *store, QObject *parent = nullptr);
    ~ManagedWindow() override;

    // Creates the window on first use, otherwise brings back the same one; raises and activates it.
    void show();
    QWidget *window() const { return m_window; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void saveFrame();

    Description m_description;
    QSettings *m_store;
    std::unique_ptr<QSettings> m_ownStore;
    QPointer<QWidget> m_window;
};
