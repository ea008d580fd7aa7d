#include "app/singleinstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <pwd.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

// Another local user, made by the test command; root can hand files to it.
uid_t otherUser()
{
    const passwd* user = ::getpwnam("vellori-tb");
    return user ? user->pw_uid : 0;
}

bool giveAway(const QString& path)
{
    return ::lchown(QFile::encodeName(path).constData(), otherUser(), gid_t(-1)) == 0;
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The test command runs as root in CI; elsewhere files cannot be handed to another user.
        if (::geteuid() != 0)
            QSKIP("needs root");
    }

    // XDG_RUNTIME_DIR is used only when it is private; else a private cache folder, never one
    // someone else made. The name is the display's, escaped, or a digest when too long.
    void socketPath_data()
    {
        QTest::addColumn<QString>("runtime");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("wayland");
        QTest::addColumn<QString>("name"); // a pattern, under "run" or "cache/vellori"
        // Cached: open to others, someone else's, a symlink to a private one, relative, unset.
        const auto row = [](const char* tag, const char* runtime, const QString& display,
                            const char* wayland, const char* name) {
            QTest::newRow(tag) << QString(runtime) << display << QString(wayland) << QString(name);
        };
        row("private, screen 0", "private", ":7.0", "", "run/vellori-x11-%3A7");
        row("Wayland first, escaped", "private", ":7", "/a/b_1",
            "run/vellori-wayland-%2Fa%2Fb%5F1");
        row("too long", "private", QString(60, ':'), "", "run/vellori-[0-9a-f]{32}");
        for (const char* runtime : {"open", "foreign", "symlink", "relative", ""})
            row(*runtime ? runtime : "unset", runtime, ":7", "", "cache/vellori/vellori-x11-%3A7");
    }

    void socketPath()
    {
        QFETCH(QString, runtime);
        QFETCH(QString, display);
        QFETCH(QString, wayland);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString folder = dir.filePath("run");
        QVERIFY(QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QString given = folder;
        if (runtime == "open")
            QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ExeOther));
        else if (runtime == "foreign")
            QVERIFY(giveAway(folder));
        else if (runtime == "symlink")
            QVERIFY(QFile::link(folder, given = dir.filePath("link")));
        else if (runtime == "relative")
            given = "run";
        QProcessEnvironment env;
        env.insert("XDG_CACHE_HOME", dir.filePath("cache"));
        env.insert("DISPLAY", display);
        env.insert("WAYLAND_DISPLAY", wayland);
        if (!runtime.isEmpty())
            env.insert("XDG_RUNTIME_DIR", given);
        const QString path = SingleInstance::socketPath(env);
        const auto pattern = QRegularExpression::escape(dir.path() + '/') + name;
        QVERIFY2(QRegularExpression("^" + pattern + "$").match(path).hasMatch(), qPrintable(path));
        QCOMPARE_LE(QFile::encodeName(path).size(), 107);
        QCOMPARE(QFile::permissions(QFileInfo(path).path()) & 0x0077, 0);
        if (name.startsWith("cache")) {
            QVERIFY(giveAway(QFileInfo(path).path()));
            QCOMPARE(SingleInstance::socketPath(env), QString());
        }
    }

    // Whatever someone else has listening at the socket's name, the first start runs at once and
    // never talks to it; a later start hands over its action.
    void laterStartHandsOverItsAction()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath("instance");
        QLocalServer decoy; // moved away before close() can remove it
        QVERIFY(decoy.listen(dir.filePath("decoy")) &&
                QFile::rename(decoy.fullServerName(), name) && giveAway(name));
        SingleInstance first(name), later(name);
        QList<InstanceAction> received;
        first.onAction = [&](InstanceAction action) { received << action; };
        later.onAction = [](InstanceAction) { QFAIL("a later start must not act"); };
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(first.claim(InstanceAction::Show), SingleInstance::Claim::Primary);
        QCOMPARE_LT(clock.elapsed(), 500);
        QVERIFY(!decoy.waitForNewConnection(0));
        first.listen();
        // The answer comes from this thread's event loop, so the claim waits in another.
        std::future<SingleInstance::Claim> claim =
            std::async(std::launch::async, [&] { return later.claim(InstanceAction::Pen); });
        QVERIFY(QTest::qWaitFor([&] { return claim.wait_for(0s) == std::future_status::ready; }));
        QCOMPARE(claim.get(), SingleInstance::Claim::Delivered);
        QTRY_COMPARE(received, QList<InstanceAction>{InstanceAction::Pen});
    }

    // Holding the lock without listening, or listening without answering, is no answer.
    void silentInstanceIsNoAnswer()
    {
        QTemporaryDir dir;
        SingleInstance starting(dir.filePath("starting"));
        QCOMPARE(starting.claim(InstanceAction::Show), SingleInstance::Claim::Primary);
        QLocalServer deaf;
        QVERIFY(deaf.listen(dir.filePath("deaf")));
        for (const char* silent : {"starting", "deaf"}) {
            SingleInstance later(dir.filePath(silent));
            QCOMPARE(later.claim(InstanceAction::Pen, 100, 100), SingleInstance::Claim::NoAnswer);
        }
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
