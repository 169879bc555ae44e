#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QTest>

using namespace TestUtil;

namespace {
// Sends a mouse event with an explicit global position, as the platform would.
bool sendMouse(QWidget *target, QEvent::Type type, QPoint globalPos, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, QPointF(target->mapFromGlobal(globalPos)), QPointF(globalPos), button,
                      buttons, Qt::NoModifier);
    return QApplication::sendEvent(target, &event);
}

QPoint centerOf(QWidget *widget)
{
    return widget->mapToGlobal(widget->rect().center());
}
} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;

private Q_SLOTS:
    void initTestCase()
    {
        // The manifest request never answers, so the window stays in its first step.
        server.route(QStringLiteral("/releases/manifests/gateway-demo.json"), stalledResponse());
        server.installAsProxy();
    }

    void init() { freshDataRoot(); }

    void formObjectsInOrder()
    {
        MainWindow window;
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.windowFlags(), Qt::Window | Qt::FramelessWindowHint);
        QCOMPARE(int(window.windowFlags()), 0x801);
        QCOMPARE(window.size(), QSize(450, 270));
        QCOMPARE(window.windowTitle(), QStringLiteral("IVRA ENGINE 2.0 Beta"));

        QWidget *central = window.centralWidget();
        QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));
        auto *grid = qobject_cast<QGridLayout *>(central->layout());
        QVERIFY(grid);
        QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
        QCOMPARE(grid->spacing(), 0);
        QCOMPARE(grid->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(grid->count(), 2);
        QCOMPARE(grid->itemAt(0)->widget()->objectName(), QStringLiteral("backgroundLabel"));
        QCOMPARE(grid->itemAt(1)->widget()->objectName(), QStringLiteral("contentContainer"));
        for (int i = 0; i < 2; ++i) {
            int row, column, rowSpan, columnSpan;
            grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
            QCOMPARE(QList<int>({row, column, rowSpan, columnSpan}), QList<int>({0, 0, 1, 1}));
        }

        auto *background = window.findChild<QLabel *>(QStringLiteral("backgroundLabel"));
        QCOMPARE(background->sizePolicy().horizontalPolicy(), QSizePolicy::Ignored);
        QCOMPARE(background->sizePolicy().verticalPolicy(), QSizePolicy::Ignored);
        QCOMPARE(background->minimumSize(), QSize(0, 0));
        QCOMPARE(int(background->alignment()), 0x82);
        QCOMPARE(background->text(), QString());

        QWidget *content = window.findChild<QWidget *>(QStringLiteral("contentContainer"));
        QLayout *vertical = content->layout();
        QCOMPARE(vertical->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(vertical->spacing(), 10);
        QCOMPARE(vertical->contentsMargins(), QMargins(10, 10, 10, 10));

        // Walk the layout tree: every item in its place, spacers with their sizes and policies.
        QStringList names;
        std::function<void(QLayout *)> walk = [&](QLayout *layout) {
            for (int i = 0; i < layout->count(); ++i) {
                QLayoutItem *item = layout->itemAt(i);
                if (item->widget())
                    names << item->widget()->objectName();
                else if (item->layout()) {
                    names << item->layout()->objectName();
                    walk(item->layout());
                } else if (QSpacerItem *spacer = item->spacerItem()) {
                    const QSizePolicy policy = spacer->sizePolicy();
                    names << QStringLiteral("spacer %1x%2 %3/%4")
                                 .arg(spacer->sizeHint().width())
                                 .arg(spacer->sizeHint().height())
                                 .arg(policy.horizontalPolicy())
                                 .arg(policy.verticalPolicy());
                }
            }
        };
        walk(vertical);
        const QString h = QStringLiteral("spacer 40x20 %1/%2")
                              .arg(QSizePolicy::Expanding)
                              .arg(QSizePolicy::Minimum);
        const QString v = QStringLiteral("spacer 20x40 %1/%2")
                              .arg(QSizePolicy::Minimum)
                              .arg(QSizePolicy::Expanding);
        QCOMPARE(names, (QStringList{"titleLabel",
                                     "horizontalLayout_2",
                                     "statusLabel",
                                     "offlineLabel",
                                     "progressBar",
                                     "detailLabel",
                                     "horizontalLayout",
                                     "label",
                                     "currentVersionValue",
                                     h,
                                     "horizontalLayout_3",
                                     "label_2",
                                     "requiredVersionValue",
                                     h,
                                     v,
                                     "upgradeLabel",
                                     "buttonLayout",
                                     "launchButton",
                                     "downloadButton",
                                     "pauseButton",
                                     "upgradeButton",
                                     "rememberUpgradeButton",
                                     h,
                                     "optionsButton",
                                     "exitButton"}));
    }

    void formLook()
    {
        MainWindow window;
        const QString s1 =
            QStringLiteral("#centralWidget {\n  border: 1px solid black;\n  border-top-color: "
                           "rgb(44, 44, 44);\n  border-left-color: rgb(44, 44, 44);\n}");
        const QString s2 =
            QStringLiteral("\t\t   border-radius: 4px;\n           background-color: rgba(255, "
                           "255, 255, 10);\n           padding-left: 5px;\n           "
                           "padding-right: 5px;\npadding-top: 0px;\npadding-bottom: 0px;");
        QCOMPARE(s1.size(), 120);
        QCOMPARE(s2.size(), 178);
        QCOMPARE(window.centralWidget()->styleSheet(), s1);
        for (const char *name : {"currentVersionValue", "requiredVersionValue"}) {
            auto *value = window.findChild<QLabel *>(QLatin1String(name));
            QCOMPARE(value->styleSheet(), s2);
            QCOMPARE(value->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
            QCOMPARE(value->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
            QCOMPARE(value->minimumSize(), QSize(30, 0));
            QCOMPARE(value->margin(), 0);
        }
        for (const char *name : {"label", "label_2"}) {
            auto *caption = window.findChild<QLabel *>(QLatin1String(name));
            QCOMPARE(caption->minimumSize(), QSize(120, 0));
            QCOMPARE(caption->margin(), 0);
        }
        auto *title = window.findChild<QLabel *>(QStringLiteral("titleLabel"));
        QCOMPARE(title->font().families(), QStringList{"Roboto Light"});
        QCOMPARE(title->font().pointSize(), 16);
        QVERIFY(title->testAttribute(Qt::WA_SetFont));
        // No other widget has a font of its own.
        for (QWidget *widget : window.findChildren<QWidget *>())
            QVERIFY2(widget == title || !widget->testAttribute(Qt::WA_SetFont),
                     qPrintable(widget->objectName()));
        auto *status = window.findChild<QLabel *>(QStringLiteral("statusLabel"));
        QVERIFY(status->wordWrap());
        QCOMPARE(status->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(status->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
        QVERIFY(window.findChild<QLabel *>(QStringLiteral("upgradeLabel"))->wordWrap());
        QVERIFY(!progressBar(&window)->isTextVisible());
    }

    void constructorReplacesTextsAndHidesWidgets()
    {
        MainWindow window;
        auto text = [&](const char *name) {
            return window.findChild<QLabel *>(QLatin1String(name))->text();
        };
        QCOMPARE(text("titleLabel"), QStringLiteral("IVRA ENGINE 2.0 Beta"));
        QCOMPARE(text("label"), QStringLiteral("Gateway Version"));
        QCOMPARE(text("label_2"), QStringLiteral("Client Version"));
        QCOMPARE(text("currentVersionValue"), QStringLiteral("2026.1024.1"));
        QCOMPARE(text("requiredVersionValue"), QStringLiteral("-"));
        QCOMPARE(text("upgradeLabel"), QStringLiteral("Full IVRA is available."));
        QCOMPARE(button(&window, "downloadButton")->text(), QStringLiteral("Retry"));
        QCOMPARE(button(&window, "launchButton")->text(), QStringLiteral("Launch"));
        QCOMPARE(button(&window, "upgradeButton")->text(), QStringLiteral("Upgrade"));
        QCOMPARE(button(&window, "rememberUpgradeButton")->text(), QStringLiteral("Remember"));
        QCOMPARE(button(&window, "exitButton")->text(), QStringLiteral("Exit"));
        // The first step of the pass replaced the form's placeholder before the window shows.
        QCOMPARE(statusText(&window), QStringLiteral("Checking for updates..."));

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (const char *name : {"label", "currentVersionValue", "label_2", "requiredVersionValue",
                                 "progressBar", "upgradeLabel", "upgradeButton",
                                 "rememberUpgradeButton", "downloadButton", "launchButton"})
            QVERIFY2(!isShown(&window, name), name);
        QVERIFY(!button(&window, "launchButton")->isEnabled());
        QVERIFY(isShown(&window, "exitButton"));
        QVERIFY(isShown(&window, "statusLabel"));
        QCOMPARE(progressBar(&window)->minimum(), 0);
        QCOMPARE(progressBar(&window)->maximum(), 100);
        QCOMPARE(progressBar(&window)->value(), 0);
    }

    void leftDragFromLabelOrEmptySpaceMovesWindow_data()
    {
        QTest::addColumn<QString>("grabbed");
        QTest::newRow("status label") << "statusLabel";
        QTest::newRow("title label") << "titleLabel";
        QTest::newRow("empty space") << "contentContainer";
        QTest::newRow("background") << "backgroundLabel";
    }
    void leftDragFromLabelOrEmptySpaceMovesWindow()
    {
        QFETCH(QString, grabbed);
        MainWindow window;
        window.move(100, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget *target = window.findChild<QWidget *>(grabbed);
        // Empty space of the container: its bottom-left corner, between the rows and the buttons.
        const QPoint start = grabbed == QLatin1String("contentContainer")
                                 ? target->mapToGlobal(QPoint(3, target->height() / 2 + 20))
                                 : centerOf(target);
        const QPoint origin = window.pos();
        sendMouse(target, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
        sendMouse(target, QEvent::MouseMove, start + QPoint(37, -12), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(window.pos(), origin + QPoint(37, -12));
        sendMouse(target, QEvent::MouseMove, start + QPoint(-5, 60), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(window.pos(), origin + QPoint(-5, 60));
        sendMouse(target, QEvent::MouseButtonRelease, start + QPoint(-5, 60), Qt::LeftButton,
                  Qt::NoButton);
        sendMouse(target, QEvent::MouseMove, start + QPoint(80, 80), Qt::NoButton, Qt::NoButton);
        QCOMPARE(window.pos(), origin + QPoint(-5, 60));
    }

    void otherButtonsAndButtonPressesDoNotMove()
    {
        MainWindow window;
        window.move(200, 150);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *status = window.findChild<QLabel *>(QStringLiteral("statusLabel"));
        const QPoint origin = window.pos();
        for (Qt::MouseButton other : {Qt::RightButton, Qt::MiddleButton}) {
            const QPoint start = centerOf(status);
            sendMouse(status, QEvent::MouseButtonPress, start, other, other);
            sendMouse(status, QEvent::MouseMove, start + QPoint(30, 30), Qt::NoButton, other);
            sendMouse(status, QEvent::MouseButtonRelease, start + QPoint(30, 30), other,
                      Qt::NoButton);
            QCOMPARE(window.pos(), origin);
        }
        QPushButton *exit = button(&window, "exitButton");
        connect(exit, &QPushButton::clicked, &window,
                [] { QFAIL("exit must not be clicked by a drag test"); });
        const QPoint start = centerOf(exit);
        sendMouse(exit, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
        sendMouse(exit, QEvent::MouseMove, start + QPoint(40, 40), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(window.pos(), origin);
    }

    void emblemFitsHeightAndRightEdge()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *background = window.findChild<QLabel *>(QStringLiteral("backgroundLabel"));
        QTRY_COMPARE(background->pixmap().height(), 270);
        QCOMPARE(background->pixmap().width(), 270);
        for (const QSize size : {QSize(600, 400), QSize(380, 200), QSize(450, 270)}) {
            window.resize(size);
            QTRY_COMPARE(window.size(), size);
            QCOMPARE(background->pixmap().height(), window.height());
            QCOMPARE(background->geometry(), window.centralWidget()->rect());
            QVERIFY(background->alignment() & Qt::AlignRight);
        }
        // The watermark is faint white: its most opaque pixel has alpha 13.
        const QImage image =
            QPixmap(QStringLiteral(":/images/images/ivra_zaph_splash_square.png")).toImage();
        QCOMPARE(image.size(), QSize(1000, 1000));
        int maxAlpha = 0;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3)
                maxAlpha = qMax(maxAlpha, qAlpha(image.pixel(x, y)));
        QCOMPARE(maxAlpha, 13);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        // The window's icon comes from the same resources, on every platform.
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.windowIcon().pixmap(256).size(), QSize(256, 256));
    }

    // Options follows the data folder: Roll back while a previous version is
    // kept, Undo roll back while its hold lasts, and only the speed limit
    // while a pass runs (here, the first one never ends).
    void optionsMenu()
    {
        const QString data = dataRootPath();
        QVERIFY(QDir().mkpath(data + "/clients/ivra-demo/1.0.0"));
        QVERIFY(
            writeFile(data + "/gateway-settings.json", R"({"downloadLimitBytesPerSecond": 5e6})"));
        const QByteArray state = R"({"clients": {"ivra-demo": {"activeVersion": "1.1.0",
                                     "previousVersion": "1.0.0"HOLD}}})";
        for (const QByteArray &hold :
             {QByteArray(), QByteArray(R"(, "rolledBackFrom": "1.2.0")")}) {
            QVERIFY(
                writeFile(data + "/gateway-state.json", QByteArray(state).replace("HOLD", hold)));
            MainWindow window;
            QMenu *menu = button(&window, "optionsButton")->menu();
            Q_EMIT menu->aboutToShow();
            QStringList items;
            for (const QAction *action : menu->actions())
                items << (action->isEnabled() ? "" : "(off) ") + action->text();
            QCOMPARE(items, (QStringList{"(off) Verify files",
                                         hold.isEmpty() ? "(off) Roll back to 1.0.0"
                                                        : "(off) Undo roll back",
                                         "", "Download speed limit: 5.0 MB/s..."}));
        }
    }

    void exitClosesTheWindow()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(button(&window, "exitButton"), Qt::LeftButton);
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
