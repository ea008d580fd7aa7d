#include "hotkeys/hotkeybackend.h"
#include "hotkeys/nullhotkeybackend.h"

#include <QGuiApplication>
#include <QTest>

class TestHotKeyBackend : public QObject
{
    Q_OBJECT

private slots:
    // The offscreen platform offers the X11 interface too, but without a connection; the null
    // backend grabs nothing and says so.
    void offscreenGetsTheNullBackend()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
        const std::unique_ptr<HotKeyBackend> backend = createHotKeyBackend();
        QVERIFY(dynamic_cast<NullHotKeyBackend*>(backend.get()));
        QVERIFY(!backend->registerHotKey(HotKeyIDs::pen, functionKeyCode(8)));
        QVERIFY(!backend->givesKeys());
    }
};

QTEST_MAIN(TestHotKeyBackend)
#include "tst_hotkeybackend.moc"
