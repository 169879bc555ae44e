// The window built without its compiled-in image: it must work all the same.
#include "support/testserver.h"
#include "support/testutil.h"
#include "ui/mainwindow.h"

#include <QLabel>
#include <QTest>

class WindowWithoutImageTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowWorksWithoutBackground()
    {
        TestServer server;
        server.route(QStringLiteral("/releases/manifests/gateway-demo.json"), stalledResponse());
        server.installAsProxy();
        QVERIFY(QPixmap(QStringLiteral(":/images/images/ivra_zaph_splash_square.png")).isNull());
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(500, 300);
        QTRY_COMPARE(window.size(), QSize(500, 300));
        auto *background = window.findChild<QLabel *>(QStringLiteral("backgroundLabel"));
        QVERIFY(background->pixmap().isNull());
        QCOMPARE(TestUtil::statusText(&window), QStringLiteral("Checking for updates..."));
        QVERIFY(TestUtil::isShown(&window, "exitButton"));
    }
};

QTEST_MAIN(WindowWithoutImageTest)
#include "tst_window_noimage.moc"
