#include "base/buildidentity.h"
#include "release/clientrelease.h"
#include "release/fieldreaders.h"
#include "release/gatewayrelease.h"
#include "release/version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The value of a data column without declaring a local for it.
#define FETCHED(Type, name) (*static_cast<Type *>(QTest::qData(#name, ::qMetaTypeId<Type>())))

namespace {
QString formatError(const QString &text)
{
    return QStringLiteral("Version '%1' must use numeric x.y.z format.").arg(text);
}

// Reads a JSON object literal written in a test table.
QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

const char kGatewayFields[] = R"({"product":"IVRA Gateway","edition":"demo","channel":"stable",
    "latestVersion":"2026.1024.1","minimumVersion":"2026.1024.0",
    "installerUrl":"https://r.example/setup.exe","installerSha256":"ABC"})";

const char kClientFields[] =
    "{\"product\":\"ivra-demo\",\"channel\":\"stable\",\"latestVersion\":\"1.2.3\","
    "\"minimumVersion\":\"1.0.0\",\"artifact\":{\"url\":\"https://r.example/"
    "c.zip\",\"sha256\":\"ff\",\"sizeBytes\":10},"
    "\"launch\":{\"exePath\":\"bin/client\",\"args\":[\"-a\"]}}";

QByteArray withField(const char *base, const QString &path, const QJsonValue &value)
{
    QJsonObject root = object(base);
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() == 1) {
        if (value.isUndefined())
            root.remove(path);
        else
            root.insert(path, value);
    } else {
        QJsonObject inner = root.value(parts.at(0)).toObject();
        if (value.isUndefined())
            inner.remove(parts.at(1));
        else
            inner.insert(parts.at(1), value);
        root.insert(parts.at(0), inner);
    }
    return QJsonDocument(root).toJson();
}
} // namespace

class ReleaseTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void acceptedVersions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<int>("patch");
        QTest::newRow("plain") << "1.2.3" << 1 << 2 << 3;
        QTest::newRow("surrounding spaces") << "  1.2.3 " << 1 << 2 << 3;
        QTest::newRow("trailing newline") << "1.2.3\n" << 1 << 2 << 3;
        QTest::newRow("leading zeros") << "01.002.0003" << 1 << 2 << 3;
        QTest::newRow("build version") << "2026.1024.1" << 2026 << 1024 << 1;
        QTest::newRow("largest component") << "2147483647.0.0" << 2147483647 << 0 << 0;
    }
    void acceptedVersions()
    {
        QFETCH(QString, text);
        const ReleaseVersion version = parseReleaseVersion(text);
        QVERIFY(isValid(version));
        QCOMPARE(version.error, QString());
        QCOMPARE(version.major, FETCHED(int, major));
        QCOMPARE(version.minor, FETCHED(int, minor));
        QCOMPARE(version.patch, FETCHED(int, patch));
    }

    void rejectedVersions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("two components") << "1.2";
        QTest::newRow("two components with spaces kept in message") << " 1.2 ";
        QTest::newRow("four components") << "1.2.3.4";
        QTest::newRow("leading letter") << "v1.2.3";
        QTest::newRow("suffix") << "1.2.3-beta";
        QTest::newRow("plus sign") << "+1.2.3";
        QTest::newRow("minus sign") << "-1.2.3";
        QTest::newRow("empty component") << "1..3";
        QTest::newRow("inner space") << "1. 2.3";
        QTest::newRow("empty") << "";
        QTest::newRow("only spaces") << "   ";
        QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0661.2.3");
        QTest::newRow("letters") << "2026.1024.x";
        // A component that does not fit 32 bits must not turn into 0 and so
        // into the oldest version of all.
        QTest::newRow("major overflow") << "2147483648.0.0";
        QTest::newRow("minor overflow") << "1.9999999999.0";
        QTest::newRow("patch overflow") << "1.0.99999999999999999999";
        QTest::newRow("huge announced version") << "9999999999.0.0";
    }
    void rejectedVersions()
    {
        QFETCH(QString, text);
        const ReleaseVersion version = parseReleaseVersion(text);
        QVERIFY(!isValid(version));
        QCOMPARE(version.error, formatError(text));
        QCOMPARE(version.major, 0);
        QCOMPARE(version.minor, 0);
        QCOMPARE(version.patch, 0);
    }

    void emptyTextMessage()
    {
        QCOMPARE(parseReleaseVersion(QString()).error,
                 QStringLiteral("Version '' must use numeric x.y.z format."));
        QCOMPARE(parseReleaseVersion(QStringLiteral(" 1.2 ")).error,
                 QStringLiteral("Version ' 1.2 ' must use numeric x.y.z format."));
    }

    void ordering_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        QTest::newRow("numeric not textual") << "2026.999.9"
                                             << "2026.1024.1" << -1;
        QTest::newRow("equal") << "2026.1024.1"
                               << "2026.1024.1" << 0;
        QTest::newRow("leading zeros equal") << "01.002.0003"
                                             << "1.2.3" << 0;
        QTest::newRow("patch above") << "2026.1024.1"
                                     << "2026.1024.0" << 1;
        QTest::newRow("minor below") << "2026.1024.1"
                                     << "2026.1025.0" << -1;
        QTest::newRow("major decides") << "3.0.0"
                                       << "2.99.99" << 1;
    }
    void ordering()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        const ReleaseVersion va = parseReleaseVersion(a);
        const ReleaseVersion vb = parseReleaseVersion(b);
        QCOMPARE(compareReleaseVersions(va, vb), expected);
        QCOMPARE(compareReleaseVersions(vb, va), -expected);
        QCOMPARE(isAtLeast(va, vb), expected >= 0);
        QCOMPARE(isAtLeast(vb, va), expected <= 0);
    }

    void stringReader_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("stored");
        QTest::newRow("absent") << QByteArray(R"({"other":"x"})")
                                << "Missing required field 'product'."
                                << "old";
        QTest::newRow("null is present but not a string")
            << QByteArray(R"({"product":null})") << "Required field 'product' must be a string."
            << "old";
        QTest::newRow("number") << QByteArray(R"({"product":5})")
                                << "Required field 'product' must be a string."
                                << "old";
        QTest::newRow("only spaces")
            << QByteArray(R"({"product":"   "})") << "Required field 'product' must not be empty."
            << "old";
        QTest::newRow("trimmed") << QByteArray(R"({"product":"  ivra \t"})") << ""
                                 << "ivra";
    }
    void stringReader()
    {
        QFETCH(QByteArray, json);
        QString destination = QStringLiteral("old");
        QCOMPARE(readRequiredString(QJsonDocument::fromJson(json).object(),
                                    QStringLiteral("product"), destination),
                 FETCHED(QString, error));
        QCOMPARE(destination, FETCHED(QString, stored));
    }

    void integerReader_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::addColumn<qint64>("stored");
        const QString notInteger = QStringLiteral("Required field 'n' must be an integer.");
        const QString notNonNegative =
            QStringLiteral("Required field 'n' must be a non-negative integer.");
        QTest::newRow("zero") << QByteArray(R"({"n":0})") << "" << qint64(0);
        QTest::newRow("whole with fraction") << QByteArray(R"({"n":5.0})") << "" << qint64(5);
        QTest::newRow("exponent") << QByteArray(R"({"n":1e3})") << "" << qint64(1000);
        QTest::newRow("negative zero") << QByteArray(R"({"n":-0.0})") << "" << qint64(0);
        QTest::newRow("large whole") << QByteArray(R"({"n":1048576.0})") << "" << qint64(1048576);
        QTest::newRow("fraction") << QByteArray(R"({"n":10.5})") << notNonNegative << qint64(-7);
        QTest::newRow("negative") << QByteArray(R"({"n":-1})") << notNonNegative << qint64(-7);
        QTest::newRow("too large") << QByteArray(R"({"n":1e19})") << notNonNegative << qint64(-7);
        QTest::newRow("two to 63")
            << QByteArray(R"({"n":9223372036854775808})") << notNonNegative << qint64(-7);
        QTest::newRow("string of digits")
            << QByteArray(R"({"n":"12"})") << notInteger << qint64(-7);
        QTest::newRow("null") << QByteArray(R"({"n":null})") << notInteger << qint64(-7);
        QTest::newRow("absent") << QByteArray("{}") << "Missing required field 'n'." << qint64(-7);
    }
    void integerReader()
    {
        QFETCH(QByteArray, json);
        qint64 destination = -7;
        QCOMPARE(readRequiredNonNegativeInteger(QJsonDocument::fromJson(json).object(),
                                                QStringLiteral("n"), destination),
                 FETCHED(QString, error));
        QCOMPARE(destination, FETCHED(qint64, stored));
    }

    void objectAndListReaders()
    {
        QJsonObject destination{{"kept", true}};
        QCOMPARE(readRequiredObject(object(R"({"o":[]})"), QStringLiteral("o"), destination),
                 QStringLiteral("Required field 'o' must be an object."));
        QCOMPARE(destination, QJsonObject({{"kept", true}}));
        QCOMPARE(readRequiredObject(object(R"({"o":{"a":1}})"), QStringLiteral("o"), destination),
                 QString());
        QCOMPARE(destination, QJsonObject({{"a", 1}}));

        QStringList list{"previous"};
        QCOMPARE(readRequiredStringList(object(R"({"l":"x"})"), QStringLiteral("l"), list),
                 QStringLiteral("Required field 'l' must be an array."));
        QCOMPARE(readRequiredStringList(object(R"({"l":["a",2,"c"]})"), QStringLiteral("l"), list),
                 QStringLiteral("Required field 'l' must contain only strings."));
        QCOMPARE(list, QStringList{"previous"});
        QCOMPARE(
            readRequiredStringList(object(R"({"l":[" a ","", "b"]})"), QStringLiteral("l"), list),
            QString());
        QCOMPARE(list, (QStringList{" a ", "", "b"}));
        QCOMPARE(readRequiredStringList(object(R"({"l":[]})"), QStringLiteral("l"), list),
                 QString());
        QCOMPARE(list, QStringList());
        QCOMPARE(readRequiredStringList(object("{}"), QStringLiteral("l"), list),
                 QStringLiteral("Missing required field 'l'."));
    }

    void gatewayManifestErrors_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("array root")
            << QByteArray("[1]") << "Gateway release JSON root must be an object.";
        QTest::newRow("missing checksum")
            << withField(kGatewayFields, "installerSha256", QJsonValue::Undefined)
            << "Missing required field 'installerSha256'.";
        QJsonObject twoDefects = object(kGatewayFields);
        twoDefects.remove("edition");
        twoDefects.insert("installerUrl", 5);
        QTest::newRow("first defect wins")
            << QJsonDocument(twoDefects).toJson() << "Missing required field 'edition'.";
        QTest::newRow("upgrade null") << withField(kGatewayFields, "upgrade", QJsonValue::Null)
                                      << "Optional field 'upgrade' must be an object.";
        QTest::newRow("upgrade string") << withField(kGatewayFields, "upgrade", "x")
                                        << "Optional field 'upgrade' must be an object.";
        QTest::newRow("upgrade empty") << withField(kGatewayFields, "upgrade", QJsonObject())
                                       << "Invalid upgrade metadata: Missing required field 'url'.";
        QTest::newRow("upgrade empty full version")
            << withField(kGatewayFields, "upgrade",
                         QJsonObject{{"url", "u"}, {"fullLatestVersion", " "}})
            << "Invalid upgrade metadata: Required field 'fullLatestVersion' must not be empty.";
        QTest::newRow("packages not an object") << withField(kGatewayFields, "packages", "x")
                                                << "Optional field 'packages' must be an object.";
        QTest::newRow("package not an object")
            << withField(kGatewayFields, "packages", QJsonObject{{"linux-x86_64", 1}})
            << "Invalid launcher package metadata: Required field 'linux-x86_64' must be an "
               "object.";
        QTest::newRow("package without size")
            << withField(kGatewayFields, "packages",
                         QJsonObject{{"linux-x86_64", QJsonObject{{"url", "u"}, {"sha256", "s"}}}})
            << "Invalid launcher package metadata: Missing required field 'sizeBytes'.";
    }
    void gatewayManifestErrors()
    {
        QFETCH(QByteArray, body);
        const GatewayReleaseResult result = parseGatewayRelease(body);
        QVERIFY(!isValid(result));
        QCOMPARE(result.error, FETCHED(QString, error));
        QCOMPARE(result.release.product, QString());
        QVERIFY(!result.release.hasUpgrade);
    }

    void gatewayManifestNotJson()
    {
        const GatewayReleaseResult result = parseGatewayRelease("<html>oops</html>");
        QVERIFY(result.error.startsWith(QStringLiteral("Invalid gateway release JSON: ")));
        QVERIFY(result.error.endsWith(QLatin1Char('.')));
        QVERIFY(parseGatewayRelease(QByteArray())
                    .error.startsWith(QStringLiteral("Invalid gateway release JSON: ")));
    }

    void gatewayManifestValues()
    {
        QJsonObject root = object(kGatewayFields);
        root.insert("edition", "  Demo ");
        root.insert("latestVersion", "abc"); // versions are judged by the decision, not here
        root.insert("unknown", QJsonArray{1, 2});
        GatewayReleaseResult result = parseGatewayRelease(QJsonDocument(root).toJson());
        QCOMPARE(result.error, QString());
        QCOMPARE(result.release.edition, QStringLiteral("Demo"));
        QCOMPARE(result.release.latestVersion, QStringLiteral("abc"));
        QCOMPARE(result.release.installerSha256, QStringLiteral("ABC"));
        QVERIFY(!result.release.hasUpgrade);
        QCOMPARE(result.release.upgradeUrl, QString());

        root.insert("upgrade", QJsonObject{{"url", " https://x.example/full "},
                                           {"fullLatestVersion", "3.1.0"}});
        result = parseGatewayRelease(QJsonDocument(root).toJson());
        QVERIFY(isValid(result));
        QVERIFY(result.release.hasUpgrade);
        QCOMPARE(result.release.upgradeUrl, QStringLiteral("https://x.example/full"));
        QCOMPARE(result.release.fullLatestVersion, QStringLiteral("3.1.0"));
        QVERIFY(result.release.packages.isEmpty());

        root.insert("packages",
                    QJsonObject{{"linux-aarch64",
                                 QJsonObject{{"url", " u "}, {"sha256", "AB"}, {"sizeBytes", 7}}}});
        result = parseGatewayRelease(QJsonDocument(root).toJson());
        QCOMPARE(result.error, QString());
        QCOMPARE(result.release.packages.keys(), QStringList{"linux-aarch64"});
        QCOMPARE(result.release.packages.value("linux-aarch64").url, QStringLiteral("u"));
        QCOMPARE(result.release.packages.value("linux-aarch64").sizeBytes, 7);
    }

    void clientManifestErrors_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("array root")
            << QByteArray("[\"x\"]") << "Client release JSON root must be an object.";
        QTest::newRow("missing artifact")
            << withField(kClientFields, "artifact", QJsonValue::Undefined)
            << "Missing required field 'artifact'.";
        QTest::newRow("artifact not object") << withField(kClientFields, "artifact", 1)
                                             << "Required field 'artifact' must be an object.";
        QTest::newRow("artifact without url")
            << withField(kClientFields, "artifact/url", QJsonValue::Undefined)
            << "Invalid artifact metadata: Missing required field 'url'.";
        QTest::newRow("negative size") << withField(kClientFields, "artifact/sizeBytes", -1)
                                       << "Invalid artifact metadata: Required field 'sizeBytes' "
                                          "must be a non-negative integer.";
        QTest::newRow("fractional size") << withField(kClientFields, "artifact/sizeBytes", 10.5)
                                         << "Invalid artifact metadata: Required field 'sizeBytes' "
                                            "must be a non-negative integer.";
        QTest::newRow("size as text")
            << withField(kClientFields, "artifact/sizeBytes", "10")
            << "Invalid artifact metadata: Required field 'sizeBytes' must be an integer.";
        QTest::newRow("missing launch") << withField(kClientFields, "launch", QJsonValue::Undefined)
                                        << "Missing required field 'launch'.";
        QTest::newRow("numeric argument")
            << withField(kClientFields, "launch/args", QJsonArray{"a", 1})
            << "Invalid launch metadata: Required field 'args' must contain only strings.";
        QTest::newRow("blank exe")
            << withField(kClientFields, "launch/exePath", " ")
            << "Invalid launch metadata: Required field 'exePath' must not be empty.";
        QJsonObject twoDefects = object(kClientFields);
        twoDefects.insert("channel", QJsonValue::Null);
        twoDefects.remove("launch");
        QTest::newRow("first defect wins")
            << QJsonDocument(twoDefects).toJson() << "Required field 'channel' must be a string.";
    }
    void clientManifestErrors()
    {
        QFETCH(QByteArray, body);
        const ClientReleaseResult result = parseClientRelease(body);
        QCOMPARE(result.error, FETCHED(QString, error));
        QCOMPARE(result.release.product, QString());
        QCOMPARE(result.release.artifactSizeBytes, qint64(0));
    }

    void clientManifestValues()
    {
        QJsonObject root = object(kClientFields);
        root.insert("edition", "full"); // not a field of this manifest: ignored
        root.insert("latestVersion", " 1.2.3 ");
        QJsonObject artifact = root.value("artifact").toObject();
        artifact.insert("sizeBytes", 1048576.0);
        root.insert("artifact", artifact);
        root.insert("launch", QJsonObject{{"exePath", " bin\\client.exe "},
                                          {"args", QJsonArray{" a ", "", "-x"}}});
        const ClientReleaseResult result = parseClientRelease(QJsonDocument(root).toJson());
        QCOMPARE(result.error, QString());
        QCOMPARE(result.release.latestVersion, QStringLiteral("1.2.3"));
        QCOMPARE(result.release.artifactSizeBytes, qint64(1048576));
        QCOMPARE(result.release.launchExePath, QStringLiteral("bin\\client.exe"));
        QCOMPARE(result.release.launchArgs, (QStringList{" a ", "", "-x"}));
        QVERIFY(parseClientRelease("{").error.startsWith(
            QStringLiteral("Invalid client release JSON: ")));
    }

    void productIdForEdition_data()
    {
        QTest::addColumn<QString>("edition");
        QTest::addColumn<QString>("product");
        QTest::newRow("blanks around") << " Demo "
                                       << "ivra-demo";
        QTest::newRow("upper case") << "DEMO"
                                    << "ivra-demo";
        QTest::newRow("lower case") << "demo"
                                    << "ivra-demo";
        QTest::newRow("full") << "Full"
                              << "ivra-full";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("other") << "beta"
                               << "";
        QTest::newRow("inner blank") << "de mo"
                                     << "";
    }
    void productIdForEdition()
    {
        QFETCH(QString, edition);
        QCOMPARE(clientProductIdForEdition(edition), FETCHED(QString, product));
    }

    void buildIdentity()
    {
        QCOMPARE(GatewayBuildVersion, QStringLiteral("2026.1024.1"));
        QCOMPARE(GatewayBuildEdition, QStringLiteral("demo"));
        QCOMPARE(ProductDisplayName, QStringLiteral("IVRA ENGINE 2.0 Beta"));
        QCOMPARE(buildEdition(), QStringLiteral("demo"));
        QVERIFY(isValid(parseReleaseVersion(GatewayBuildVersion)));
    }
};

QTEST_GUILESS_MAIN(ReleaseTest)
#include "tst_release.moc"
