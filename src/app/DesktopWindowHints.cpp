#include "app/DesktopWindowHints.h"

#include "base/Log.h"

#include <QGuiApplication>
#include <QWidget>

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace DesktopWindowHints {

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t *x11Connection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The X window of a top-level widget, when there is an X connection to ask about it.
std::optional<xcb_window_t> x11Window(const QWidget *window)
{
    if (!x11Connection() || !window || !window->isWindow() || !window->internalWinId())
        return std::nullopt;
    return static_cast<xcb_window_t>(window->internalWinId());
}

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

xcb_window_t rootOf(xcb_connection_t *connection)
{
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

bool isMapped(xcb_connection_t *connection, xcb_window_t window)
{
    const Reply<xcb_get_window_attributes_reply_t> reply(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr));
    return reply && reply->map_state != XCB_MAP_STATE_UNMAPPED;
}

// A request about a mapped window goes to the window manager as a client message on the root window.
void messageWindowManager(
    xcb_connection_t *connection, xcb_window_t window, xcb_atom_t type, std::initializer_list<quint32> data)
{
    xcb_client_message_event_t message {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = type;
    int i = 0;
    for (quint32 value : data)
        message.data.data32[i++] = value;
    xcb_send_event(connection, 0, rootOf(connection),
        XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
        reinterpret_cast<const char *>(&message));
}

} // namespace

void showOnAllDesktops(QWidget *window)
{
    const auto id = x11Window(window);
    if (!id)
        return;
    xcb_connection_t *connection = x11Connection();
    const xcb_atom_t desktop = atom(connection, "_NET_WM_DESKTOP");
    if (desktop == XCB_ATOM_NONE)
        return;
    // 0xFFFFFFFF means "all desktops" in the EWMH. A mapped window asks the window manager by message.
    const quint32 allDesktops = 0xFFFFFFFFu;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, *id, desktop, XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    messageWindowManager(connection, *id, desktop, { allDesktops, 1 }); // 1: from a normal application
    xcb_flush(connection);
}

void skipTaskbarAndPager(QWidget *window)
{
    const auto id = x11Window(window);
    if (!id)
        return;
    xcb_connection_t *connection = x11Connection();
    const xcb_atom_t state = atom(connection, "_NET_WM_STATE");
    const xcb_atom_t skip[]
        = { atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"), atom(connection, "_NET_WM_STATE_SKIP_PAGER") };
    if (isMapped(connection, *id)) {
        messageWindowManager(connection, *id, state, { 1, skip[0], skip[1], 1 }); // 1: add; from an application
    } else {
        // Before mapping, the state is a property the window manager reads; the states Qt keeps there stay.
        const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, *id, state, XCB_ATOM_ATOM, 0, 64), nullptr));
        std::vector<xcb_atom_t> atoms;
        if (reply && reply->format == 32) {
            const auto *first = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply.get()));
            atoms.assign(first, first + xcb_get_property_value_length(reply.get()) / 4);
        }
        for (xcb_atom_t a : skip) {
            if (std::find(atoms.begin(), atoms.end(), a) == atoms.end())
                atoms.push_back(a);
        }
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, *id, state, XCB_ATOM_ATOM, 32,
            std::uint32_t(atoms.size()), atoms.data());
    }
    xcb_flush(connection);
}

void passInputThrough(QWidget *window, bool through)
{
    const auto id = x11Window(window);
    if (!id)
        return;
    xcb_connection_t *connection = x11Connection();
    const xcb_query_extension_reply_t *shape = xcb_get_extension_data(connection, &xcb_shape_id);
    if (!shape || !shape->present)
        return;
    // The window and its ancestors below the root: the frames a window manager has put around it.
    for (xcb_window_t current = *id;;) {
        if (through)
            xcb_shape_rectangles(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, current,
                0, 0, 0, nullptr);
        else
            xcb_shape_mask(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, current, 0, 0, XCB_PIXMAP_NONE);
        const Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(connection, xcb_query_tree(connection, current), nullptr));
        if (!tree || tree->parent == XCB_WINDOW_NONE || tree->parent == tree->root)
            break;
        current = tree->parent;
    }
    xcb_flush(connection);
}

void setTransientFor(QWidget *window, const QWidget *parent)
{
    const auto id = x11Window(window);
    if (!id)
        return;
    xcb_connection_t *connection = x11Connection();
    const auto parentId = x11Window(parent);
    if (parentId)
        xcb_change_property(
            connection, XCB_PROP_MODE_REPLACE, *id, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1, &*parentId);
    else
        xcb_delete_property(connection, *id, XCB_ATOM_WM_TRANSIENT_FOR);
    xcb_flush(connection);
}

std::optional<QPoint> originOnScreen(const QWidget *window)
{
    const auto id = x11Window(window);
    if (!id)
        return std::nullopt;
    xcb_connection_t *connection = x11Connection();
    const Reply<xcb_translate_coordinates_reply_t> reply(xcb_translate_coordinates_reply(
        connection, xcb_translate_coordinates(connection, *id, rootOf(connection), 0, 0), nullptr));
    if (!reply)
        return std::nullopt;
    // Qt's coordinates are device-independent; the X server's are pixels.
    const qreal ratio = window->devicePixelRatioF();
    return QPoint(qRound(reply->dst_x / ratio), qRound(reply->dst_y / ratio));
}

std::optional<bool> primaryButtonDown()
{
    xcb_connection_t *connection = x11Connection();
    if (!connection)
        return std::nullopt;
    const Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, rootOf(connection)), nullptr));
    if (!reply)
        return std::nullopt;
    return (reply->mask & XCB_BUTTON_MASK_1) != 0;
}

bool compositorRunning()
{
    xcb_connection_t *connection = x11Connection();
    if (!connection)
        return false;
    // The default screen's number; Qt opens the display named by $DISPLAY.
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    const int screen = dot > display.lastIndexOf(':') ? display.mid(dot + 1).toInt() : 0;
    const xcb_atom_t selection = atom(connection, QByteArray("_NET_WM_CM_S" + QByteArray::number(screen)).constData());
    if (selection == XCB_ATOM_NONE)
        return false;
    const Reply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    return reply && reply->owner != XCB_WINDOW_NONE;
}

bool translucencyShown()
{
    return !x11Connection() || compositorRunning();
}

bool x11DisplayReachable(const QByteArray &display)
{
    xcb_connection_t *connection = xcb_connect(display.constData(), nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

namespace {
bool chosenXWayland = false;
}

bool chooseXWaylandInWaylandSession()
{
    const bool waylandSession
        = !qgetenv("WAYLAND_DISPLAY").isEmpty() || qgetenv("XDG_SESSION_TYPE").trimmed() == "wayland";
    if (!waylandSession)
        return false;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty()) {
        if (!platform.startsWith("xcb"))
            SLOG_INFO(lcApp, "QT_QPA_PLATFORM is %s in a Wayland session: the overlay cannot be placed or kept on top",
                QString::fromLocal8Bit(platform));
        chosenXWayland = platform.startsWith("xcb");
        return chosenXWayland;
    }
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty() || !x11DisplayReachable(display)) {
        SLOG_INFO(lcApp,
            "No X server (XWayland) answers in this Wayland session: the overlay cannot be placed or "
            "kept on top");
        return false;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    SLOG_INFO(lcApp, "Wayland session: running through XWayland (xcb) on display %s", QString::fromLocal8Bit(display));
    chosenXWayland = true;
    return true;
}

bool throughXWayland()
{
    return chosenXWayland;
}

} // namespace DesktopWindowHints
