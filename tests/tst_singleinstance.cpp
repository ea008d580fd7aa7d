#include "app/singleinstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
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
        QVERIFY2(otherUser() != 0, "needs the user vellori-tb that the test command makes");
    }

    // Rows: what XDG_RUNTIME_DIR is; "" when the socket belongs in the private cache folder.
    void socketFolder_data()
    {
        QTest::addColumn<QString>("runtime");
        QTest::addColumn<bool>("used");
        QTest::newRow("private") << "private" << true;
        QTest::newRow("open to others") << "open" << false;
        QTest::newRow("someone else's") << "foreign" << false;
        QTest::newRow("symlink to a private one") << "symlink" << false;
        QTest::newRow("relative") << "relative" << false;
        QTest::newRow("unset") << "" << false;
    }

    void socketFolder()
    {
        QFETCH(QString, runtime);
        QFETCH(bool, used);
        QTemporaryDir dir;
        const QString folder = dir.filePath("run");
        QVERIFY(QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QString given = folder;
        if (runtime == "open")
            QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ExeOther));
        else if (runtime == "foreign")
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), otherUser(), gid_t(-1)), 0);
        else if (runtime == "symlink")
            QVERIFY(QFile::link(folder, given = dir.filePath("link")));
        else if (runtime == "relative")
            given = "run";
        QProcessEnvironment env;
        env.insert("XDG_CACHE_HOME", dir.filePath("cache"));
        env.insert("DISPLAY", ":7");
        if (!runtime.isEmpty())
            env.insert("XDG_RUNTIME_DIR", given);
        const QString path = SingleInstance::socketPath(env);
        QCOMPARE(path, (used ? given : dir.filePath("cache/vellori")) + "/vellori-x11-%3A7");
        QCOMPARE(QFile::permissions(QFileInfo(path).path()) & 0x0077, 0);

        if (used)
            return;
        // A cache folder someone else made is no fallback.
        QCOMPARE(
            ::chown(QFile::encodeName(QFileInfo(path).path()).constData(), otherUser(), gid_t(-1)),
            0);
        QCOMPARE(SingleInstance::socketPath(env), QString());
    }

    void socketPerDisplay_data()
    {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("wayland");
        QTest::addColumn<QString>("name");
        QTest::newRow("X11") << ":1"
                             << ""
                             << "vellori-x11-%3A1";
        QTest::newRow("X11, screen 0") << ":1.0"
                                       << ""
                                       << "vellori-x11-%3A1";
        QTest::newRow("X11, remote") << "host:1"
                                     << ""
                                     << "vellori-x11-host%3A1";
        QTest::newRow("X11, other display") << ":10"
                                            << ""
                                            << "vellori-x11-%3A10";
        QTest::newRow("Wayland") << ""
                                 << "wayland-1"
                                 << "vellori-wayland-wayland-1";
        QTest::newRow("Wayland, X11 too") << ":1"
                                          << "wayland-1"
                                          << "vellori-wayland-wayland-1";
        QTest::newRow("Wayland path") << ""
                                      << "/a/b_1"
                                      << "vellori-wayland-%2Fa%2Fb%5F1";
    }

    void socketPerDisplay()
    {
        QFETCH(QString, display);
        QFETCH(QString, wayland);
        QFETCH(QString, name);
        QTemporaryDir dir;
        QProcessEnvironment env;
        env.insert("XDG_RUNTIME_DIR", dir.path());
        env.insert("DISPLAY", display);
        env.insert("WAYLAND_DISPLAY", wayland);
        QCOMPARE(SingleInstance::socketPath(env), dir.filePath(name));
    }

    // Whatever a crash or someone else left at the socket's name, the first start runs at once
    // and never talks to it.
    void laterStartsHandOverTheirAction_data()
    {
        QTest::addColumn<QString>("leftover");
        QTest::newRow("nothing") << "";
        QTest::newRow("socket of a crashed run") << "dead";
        QTest::newRow("plain file") << "file";
        QTest::newRow("someone else's live socket") << "foreign";
    }

    void laterStartsHandOverTheirAction()
    {
        QFETCH(QString, leftover);
        QTemporaryDir dir;
        const QString name = dir.filePath("instance");
        QLocalServer decoy;
        if (!leftover.isEmpty() && leftover != "file") {
            // Moved away before close() can remove it.
            QVERIFY(decoy.listen(dir.filePath("decoy")));
            QVERIFY(QFile::rename(decoy.fullServerName(), name));
            if (leftover == "dead")
                decoy.close();
            else
                QCOMPARE(::lchown(QFile::encodeName(name).constData(), otherUser(), gid_t(-1)), 0);
        } else if (leftover == "file") {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        SingleInstance first(name);
        QList<InstanceAction> received;
        first.onAction = [&](InstanceAction action) { received << action; };
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(first.claim(InstanceAction::Show), SingleInstance::Claim::Primary);
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!decoy.waitForNewConnection(0));
        first.listen();

        const QList<InstanceAction> sent{InstanceAction::Pen, InstanceAction::Show,
                                         InstanceAction::Quit};
        for (InstanceAction action : sent) {
            SingleInstance later(name);
            later.onAction = [](InstanceAction) { QFAIL("a later start must not act"); };
            QCOMPARE(claimWhileServing(later, action), SingleInstance::Claim::Delivered);
        }
        QTRY_COMPARE(received, sent);

        // Holding the lock without listening, or listening without answering, is no answer.
        SingleInstance starting(dir.filePath("starting"));
        QCOMPARE(starting.claim(InstanceAction::Show), SingleInstance::Claim::Primary);
        QLocalServer deaf;
        QVERIFY(deaf.listen(dir.filePath("deaf")));
        for (const char* silent : {"starting", "deaf"}) {
            SingleInstance later(dir.filePath(silent));
            QCOMPARE(later.claim(InstanceAction::Pen, 100, 100), SingleInstance::Claim::NoAnswer);
        }
    }

    // Refused with an answer where the request was complete, and never acted on; the channel
    // keeps working.
    void refusesAnythingElse_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("answered");
        QTest::newRow("garbage") << QByteArray("\0\xff\n", 3) << true;
        QTest::newRow("unknown action") << QByteArray("vellori/1 paint\n") << true;
        QTest::newRow("newer version") << QByteArray("vellori/2 pen\n") << true;
        QTest::newRow("two requests") << QByteArray("vellori/1 pen\nvellori/1 pen\n") << true;
        QTest::newRow("endless") << QByteArray(4096, 'v') << true;
        QTest::newRow("truncated") << QByteArray("vellori/1 pe") << false;
    }

    void refusesAnythingElse()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, answered);
        QTemporaryDir dir;
        SingleInstance first(dir.filePath("instance"));
        QList<InstanceAction> received;
        first.onAction = [&](InstanceAction action) { received << action; };
        QCOMPARE(first.claim(InstanceAction::Show), SingleInstance::Claim::Primary);
        first.listen();

        QLocalSocket peer;
        peer.connectToServer(dir.filePath("instance"));
        QVERIFY(peer.waitForConnected(1000));
        peer.write(bytes);
        QVERIFY(peer.waitForBytesWritten(1000));
        if (answered) {
            QTRY_COMPARE(peer.state(), QLocalSocket::UnconnectedState);
            QCOMPARE(peer.readAll(), QByteArray("vellori/1 refused\n"));
        } else {
            peer.disconnectFromServer();
        }
        SingleInstance later(dir.filePath("instance"));
        QCOMPARE(claimWhileServing(later, InstanceAction::Settings),
                 SingleInstance::Claim::Delivered);
        QTRY_COMPARE(received, QList<InstanceAction>{InstanceAction::Settings});
    }

private:
    // The answer comes from this thread's event loop, so the claim waits in another.
    static SingleInstance::Claim claimWhileServing(SingleInstance& later, InstanceAction action)
    {
        std::future<SingleInstance::Claim> claim =
            std::async(std::launch::async, [&] { return later.claim(action); });
        if (!QTest::qWaitFor([&] { return claim.wait_for(0s) == std::future_status::ready; }))
            return SingleInstance::Claim::NoAnswer;
        return claim.get();
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
