#include "install/launchpath.h"
#include "support/testutil.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace TestUtil;

class LaunchPathTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    QString root() const { return temp.path() + QStringLiteral("/clients/ivra-demo/1.2.3"); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(writeFile(root() + "/bin/client.exe", "exe"));
        QVERIFY(writeFile(root() + "/client", "exe"));
        QVERIFY(QDir().mkpath(root() + "/folder"));
    }

    void resolves_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("relative");
        QTest::newRow("backslashes") << "bin\\client.exe"
                                     << "bin/client.exe";
        QTest::newRow("forward slashes") << "bin/client.exe"
                                         << "bin/client.exe";
        QTest::newRow("surrounding spaces") << "  bin/client.exe "
                                            << "bin/client.exe";
        QTest::newRow("doubled slash") << "bin//client.exe"
                                       << "bin/client.exe";
        QTest::newRow("top level") << "client"
                                   << "client";
    }
    void resolves()
    {
        QFETCH(QString, path);
        QFETCH(QString, relative);
        QString error = QStringLiteral("untouched");
        QCOMPARE(resolveLaunchPath(root(), path, &error), root() + "/" + relative);
        QCOMPARE(error, QStringLiteral("untouched"));
    }

    void refuses_data()
    {
        QTest::addColumn<QString>("installRoot");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        const QString r = QStringLiteral("<root>");
        QTest::newRow("blank root") << "  "
                                    << "bin/client.exe"
                                    << "Client launch path is not configured.";
        QTest::newRow("blank path") << r << " "
                                    << "Client launch path is not configured.";
        QTest::newRow("absolute") << r << "/bin/client.exe"
                                  << "Client launch path must be relative: /bin/client.exe.";
        QTest::newRow("absolute backslash")
            << r << "\\bin\\client.exe"
            << "Client launch path must be relative: \\bin\\client.exe.";
        QTest::newRow("drive relative") << r << "C:client.exe"
                                        << "Client launch path must be relative: C:client.exe.";
        QTest::newRow("stream") << r << "client.exe:stream"
                                << "Client launch path must be relative: client.exe:stream.";
        QTest::newRow("spaces kept in message") << r << " /x "
                                                << "Client launch path must be relative:  /x .";
        QTest::newRow("parent") << r << "bin/../client"
                                << "Client launch path is unsafe: bin/../client.";
        QTest::newRow("dot first") << r << "./client"
                                   << "Client launch path is unsafe: ./client.";
        QTest::newRow("dot inside") << r << "bin/./client.exe"
                                    << "Client launch path is unsafe: bin/./client.exe.";
        QTest::newRow("missing") << r << "bin/none.exe"
                                 << "Client executable was not found: <root>/bin/none.exe.";
        QTest::newRow("folder") << r << "folder"
                                << "Client executable was not found: <root>/folder.";
        QTest::newRow("file-system root") << "/"
                                          << "bin/sh"
                                          << "Client launch path escapes install root: bin/sh.";
    }
    void refuses()
    {
        QFETCH(QString, installRoot);
        QFETCH(QString, path);
        QFETCH(QString, message);
        installRoot.replace(QStringLiteral("<root>"), root());
        message.replace(QStringLiteral("<root>"), root());
        QString error;
        QCOMPARE(resolveLaunchPath(installRoot, path, &error), QString());
        QCOMPARE(error, message);
        QCOMPARE(resolveLaunchPath(installRoot, path, nullptr), QString());
    }

    void namesWithDotsAreOrdinary()
    {
        QVERIFY(writeFile(root() + "/.../a..b", "x"));
        QCOMPARE(resolveLaunchPath(root(), ".../a..b"), root() + "/.../a..b");
    }
};

QTEST_GUILESS_MAIN(LaunchPathTest)
#include "tst_launchpath.moc"
