#include "screenshot/selectionview.h"
#include "testsupport.h"

#include <QTest>

using namespace TestSupport;

class TestSelectionView : public QObject
{
    Q_OBJECT

    std::unique_ptr<SelectionView> m_view;
    QList<QRectF> m_completed;

private slots:
    void init()
    {
        m_completed.clear();
        m_view = std::make_unique<SelectionView>();
        m_view->resize(800, 600);
        m_view->onComplete = [this](const QRectF& r) { m_completed << r; };
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }

    void drags_data()
    {
        QTest::addColumn<QLine>("drag");
        QTest::addColumn<QRectF>("reported"); // empty: the selection stays open
        QTest::newRow("3 wide") << QLine(50, 50, 53, 150) << QRectF();
        QTest::newRow("exactly 4x4") << QLine(50, 50, 54, 54) << QRectF(50, 50, 4, 4);
        QTest::newRow("up and left") << QLine(300, 200, 100, 50) << QRectF(100, 50, 200, 150);
        QTest::newRow("past the edge") << QLine(700, 500, 900, 650) << QRectF(700, 500, 200, 150);
    }

    void drags()
    {
        QFETCH(QLine, drag);
        QFETCH(QRectF, reported);
        drawStroke(m_view.get(), {drag.p1(), drag.p2()});
        if (reported.isEmpty()) {
            QVERIFY(m_completed.isEmpty());
            // Still open: a fresh drag completes.
            drawStroke(m_view.get(), {QPointF(10, 10), QPointF(30, 30)});
            reported = QRectF(10, 10, 20, 20);
        }
        QCOMPARE(m_completed, QList<QRectF>{reported});
    }

    void paintsDimmingRectangleAndHint()
    {
        drag(m_view.get(), QPointF(150, 150)); // a move without a press selects nothing
        QCOMPARE(m_view->selectionRect(), QRectF());
        press(m_view.get(), QPointF(100, 200));
        drag(m_view.get(), QPointF(300, 400));
        const QImage image = m_view->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        // Dimmed outside, lighter inside, opaque white outline on the edge.
        QCOMPARE(QColor::fromRgba(image.pixel(10, 500)), QColor(0, 0, 0, 77));
        QVERIFY(qAlpha(image.pixel(200, 300)) > 77 && qRed(image.pixel(200, 300)) > 0);
        QCOMPARE(image.pixel(100, 300), qRgba(255, 255, 255, 255));
        // The hint: white text on the centre line, 28 px down.
        bool white = false;
        for (int i = 0; i < 200 * 22; ++i)
            white =
                white || QColor::fromRgba(image.pixel(300 + i % 200, 28 + i / 200)).value() > 200;
        QVERIFY(white);
    }
};

QTEST_MAIN(TestSelectionView)
#include "tst_selectionview.moc"
