#include "app/singleinstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace
{

// Unique per test run, so parallel runs and the real program never meet.
QString uniqueName()
{
    return QStringLiteral("vellori-test-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

QString socketPath(const QString& name)
{
    QLocalServer probe;
    if (!probe.listen(name))
        return {};
    return probe.fullServerName();
}

// What a crashed run leaves behind: a socket file that nobody accepts on any more.
bool leaveDeadSocket(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::size_t(native.size()) >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, native.constData(), std::size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 &&
                       ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                       ::listen(fd, 1) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound && QFileInfo::exists(path);
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void laterStartsActivateTheFirst_data()
    {
        QTest::addColumn<int>("laterStarts");
        QTest::newRow("one") << 1;
        QTest::newRow("three") << 3;
    }

    void laterStartsActivateTheFirst()
    {
        QFETCH(int, laterStarts);
        const QString name = uniqueName();
        SingleInstance first(name);
        int activations = 0;
        first.onActivate = [&] { ++activations; };
        QVERIFY(first.claim());

        for (int i = 0; i < laterStarts; ++i) {
            SingleInstance later(name);
            later.onActivate = [] { QFAIL("a later start must not be activated"); };
            QVERIFY(!later.claim());
        }
        QTRY_COMPARE(activations, laterStarts);
        QTest::qWait(50);
        QCOMPARE(activations, laterStarts);
    }

    void leftoversDoNotBlockTheStart_data()
    {
        QTest::addColumn<bool>("socket");
        QTest::newRow("socket of a crashed run") << true;
        QTest::newRow("plain file") << false;
    }

    void leftoversDoNotBlockTheStart()
    {
        QFETCH(bool, socket);
        const QString name = uniqueName();
        const QString path = socketPath(name);
        QVERIFY(!path.isEmpty());
        QVERIFY(!QFileInfo::exists(path));
        if (socket) {
            QVERIFY(leaveDeadSocket(path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        SingleInstance instance(name);
        int activations = 0;
        instance.onActivate = [&] { ++activations; };
        QElapsedTimer clock;
        clock.start();
        QVERIFY(instance.claim());
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));

        // It really listens now: the next start finds it.
        SingleInstance later(name);
        QVERIFY(!later.claim());
        QTRY_COMPARE(activations, 1);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
