// Checks the X server that scripts/test.sh prepares for the X11 tests. When one
// of those tests fails, this one says whether the code or the desktop is at fault.

#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

#include <xcb/xcb.h>

#include <algorithm>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template<typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* connection()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_screen_t* rootScreen(xcb_connection_t* c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data;
}

xcb_atom_t atom(xcb_connection_t* c, const QByteArray& name)
{
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr));
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The single WINDOW value of `property` on `window`, or XCB_WINDOW_NONE.
xcb_window_t windowProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property)
{
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, property, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!r || r->type != XCB_ATOM_WINDOW || r->format != 32 || xcb_get_property_value_length(r.get()) < 4)
        return XCB_WINDOW_NONE;
    return *static_cast<xcb_window_t*>(xcb_get_property_value(r.get()));
}

bool windowExists(xcb_connection_t* c, xcb_window_t window)
{
    Reply<xcb_get_window_attributes_reply_t> r(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    return r != nullptr;
}

} // namespace

class TestX11Environment : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void screens_data();
    void screens();
    void windowManager();
    void selectionOwners_data();
    void selectionOwners();
    void extensions_data();
    void extensions();
    void argbVisual();
};

void TestX11Environment::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QVERIFY2(connection(), "no xcb connection");
    QVERIFY(!xcb_connection_has_error(connection()));
}

void TestX11Environment::screens_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("left") << 0 << QRect(0, 0, 960, 1080);
    QTest::newRow("right") << 1 << QRect(960, 0, 960, 1080);
}

void TestX11Environment::screens()
{
    QFETCH(int, index);
    QFETCH(QRect, geometry);

    QList<QScreen*> screens = QGuiApplication::screens();
    QCOMPARE(screens.size(), 2);
    std::sort(screens.begin(), screens.end(),
              [](QScreen* a, QScreen* b) { return a->geometry().x() < b->geometry().x(); });
    QCOMPARE(screens.at(index)->geometry(), geometry);
    QCOMPARE(screens.at(index)->devicePixelRatio(), 1.0);
}

void TestX11Environment::windowManager()
{
    xcb_connection_t* c = connection();
    const xcb_atom_t check = atom(c, "_NET_SUPPORTING_WM_CHECK");
    const xcb_window_t child = windowProperty(c, rootScreen(c)->root, check);
    QVERIFY2(child != XCB_WINDOW_NONE, "root has no _NET_SUPPORTING_WM_CHECK");
    // A window manager that died leaves the root property behind; only a live
    // one keeps the child window that points back at itself.
    QVERIFY2(windowExists(c, child), "_NET_SUPPORTING_WM_CHECK names a window that is gone");
    QCOMPARE(windowProperty(c, child, check), child);
}

void TestX11Environment::selectionOwners_data()
{
    QTest::addColumn<QByteArray>("selection");
    QTest::newRow("compositor") << QByteArrayLiteral("_NET_WM_CM_S0");
    QTest::newRow("tray host") << QByteArrayLiteral("_NET_SYSTEM_TRAY_S0");
    QTest::newRow("window manager") << QByteArrayLiteral("WM_S0");
}

void TestX11Environment::selectionOwners()
{
    QFETCH(QByteArray, selection);
    xcb_connection_t* c = connection();
    Reply<xcb_get_selection_owner_reply_t> r(xcb_get_selection_owner_reply(
        c, xcb_get_selection_owner(c, atom(c, selection)), nullptr));
    QVERIFY(r);
    QVERIFY2(r->owner != XCB_WINDOW_NONE, qPrintable(selection + " has no owner"));
    QVERIFY(windowExists(c, r->owner));
}

void TestX11Environment::extensions_data()
{
    QTest::addColumn<QByteArray>("name");
    // Synthetic key and button events for the global hot key and overlay tests.
    QTest::newRow("XTEST") << QByteArrayLiteral("XTEST");
    QTest::newRow("RANDR") << QByteArrayLiteral("RANDR");
    QTest::newRow("Composite") << QByteArrayLiteral("Composite");
    QTest::newRow("MIT-SHM") << QByteArrayLiteral("MIT-SHM");
}

void TestX11Environment::extensions()
{
    QFETCH(QByteArray, name);
    xcb_connection_t* c = connection();
    Reply<xcb_query_extension_reply_t> r(xcb_query_extension_reply(
        c, xcb_query_extension(c, uint16_t(name.size()), name.constData()), nullptr));
    QVERIFY(r);
    QVERIFY2(r->present, qPrintable(name + " is missing"));
}

void TestX11Environment::argbVisual()
{
    // A translucent overlay needs a 32-bit TrueColor visual on the root screen.
    bool found = false;
    for (auto d = xcb_screen_allowed_depths_iterator(rootScreen(connection())); d.rem && !found;
         xcb_depth_next(&d)) {
        if (d.data->depth != 32)
            continue;
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            found = found || v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR;
    }
    QVERIFY(found);
}

QTEST_MAIN(TestX11Environment)
#include "tst_x11environment.moc"
