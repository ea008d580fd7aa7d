#include "screenshot/selectionview.h"

#include <QApplication>
#include <QTest>

namespace
{

struct Outcome {
    QList<QRectF> completed;
    int cancelled = 0;
};

void dragTo(QWidget& view, QPoint from, QPoint to)
{
    QTest::mousePress(&view, Qt::LeftButton, {}, from);
    QMouseEvent move(QEvent::MouseMove, to, view.mapToGlobal(to), Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(&view, &move);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
}

} // namespace

class TestSelectionView : public QObject
{
    Q_OBJECT

    std::unique_ptr<SelectionView> m_view;
    Outcome m_outcome;

private slots:
    void init()
    {
        m_outcome = {};
        m_view = std::make_unique<SelectionView>();
        m_view->resize(800, 600);
        m_view->onComplete = [this](const QRectF& r) { m_outcome.completed << r; };
        m_view->onCancel = [this] { ++m_outcome.cancelled; };
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }

    void drags_data()
    {
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QRectF>("reported"); // empty: the selection stays open
        QTest::newRow("click") << QPoint(50, 50) << QPoint(50, 50) << QRectF();
        QTest::newRow("3 wide") << QPoint(50, 50) << QPoint(53, 150) << QRectF();
        QTest::newRow("exactly 4x4") << QPoint(50, 50) << QPoint(54, 54) << QRectF(50, 50, 4, 4);
        QTest::newRow("upward and left")
            << QPoint(300, 200) << QPoint(100, 50) << QRectF(100, 50, 200, 150);
        QTest::newRow("past the edge unclipped")
            << QPoint(700, 500) << QPoint(900, 650) << QRectF(700, 500, 200, 150);
    }

    void drags()
    {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(QRectF, reported);
        dragTo(*m_view, from, to);
        if (reported.isEmpty()) {
            QVERIFY(m_outcome.completed.isEmpty());
            QCOMPARE(m_view->selectionRect(), QRectF());
            // Still open: a fresh drag completes.
            dragTo(*m_view, QPoint(10, 10), QPoint(30, 30));
            QCOMPARE(m_outcome.completed, QList<QRectF>{QRectF(10, 10, 20, 20)});
        } else {
            QCOMPARE(m_outcome.completed, QList<QRectF>{reported});
        }
        QCOMPARE(m_outcome.cancelled, 0);
    }

    void moveWithoutPressChangesNothing()
    {
        QMouseEvent move(QEvent::MouseMove, QPoint(100, 100), QPoint(100, 100), Qt::NoButton,
                         Qt::LeftButton, {});
        QApplication::sendEvent(m_view.get(), &move);
        QCOMPARE(m_view->selectionRect(), QRectF());
    }

    void cancelling_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("rightClick");
        QTest::addColumn<int>("cancels");
        QTest::newRow("escape") << int(Qt::Key_Escape) << false << 1;
        QTest::newRow("other key") << int(Qt::Key_A) << false << 0;
        QTest::newRow("right click") << 0 << true << 1;
    }

    void cancelling()
    {
        QFETCH(int, key);
        QFETCH(bool, rightClick);
        QFETCH(int, cancels);
        // In the middle of a drag.
        QTest::mousePress(m_view.get(), Qt::LeftButton, {}, QPoint(10, 10));
        if (rightClick) {
            QTest::mouseClick(m_view.get(), Qt::RightButton, {}, QPoint(20, 20));
        } else {
            QKeyEvent press(QEvent::KeyPress, key, {});
            QApplication::sendEvent(m_view.get(), &press);
            QCOMPARE(press.isAccepted(), cancels == 1);
        }
        QCOMPARE(m_outcome.cancelled, cancels);
    }

    void paintsDimmingRectangleAndHint()
    {
        QTest::mousePress(m_view.get(), Qt::LeftButton, {}, QPoint(100, 200));
        QMouseEvent move(QEvent::MouseMove, QPoint(300, 400), QPoint(300, 400), Qt::NoButton,
                         Qt::LeftButton, {});
        QApplication::sendEvent(m_view.get(), &move);
        const QImage image = m_view->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(QColor::fromRgba(image.pixel(10, 500)), QColor(0, 0, 0, 77));
        // Lighter inside, opaque white outline on the edge.
        QVERIFY(qAlpha(image.pixel(200, 300)) > 77 && qRed(image.pixel(200, 300)) > 0);
        QCOMPARE(image.pixel(100, 300), qRgba(255, 255, 255, 255));
        // The hint: white text on the centre line, starting 28 px down, on no other rows above.
        const auto whiteIn = [&](int top, int bottom) {
            for (int y = top; y < bottom; ++y)
                for (int x = 300; x < 500; ++x)
                    if (qRed(image.pixel(x, y)) > 200 && qAlpha(image.pixel(x, y)) > 200)
                        return true;
            return false;
        };
        QVERIFY(!whiteIn(0, 27));
        QVERIFY(whiteIn(28, 50));
    }
};

QTEST_MAIN(TestSelectionView)
#include "tst_selectionview.moc"
