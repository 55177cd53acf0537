// docs/api.yaml and the service agree: every documented route answers, every route the
// service serves is documented with its Idempotency-Key rule and its request fields,
// and nothing else answers.

#include "servicerig.h"
#include "wire.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct Documented {
    QString path;
    bool keyed = false;
    QStringList fields;
};

// Reads the parts of the document this test compares, by their fixed indentation.
QHash<QString, Documented> readDocument(QString &error)
{
    QFile file(QStringLiteral(QUILLET_API_DOCUMENT));
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return {};
    }
    static const QRegularExpression pathLine(u"^  (/v1/\\S+):$"_s);
    static const QRegularExpression idLine(u"^      operationId: (\\w+)$"_s);
    static const QRegularExpression schemaLine(u"^    (\\w+)Request:$"_s);
    static const QRegularExpression propertyLine(u"^        (\\w+): "_s);
    QHash<QString, Documented> operations;
    QString path;
    QString id;
    QString schema;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    for (const QString &line : lines) {
        if (const auto m = pathLine.match(line); m.hasMatch()) {
            path = m.captured(1);
            continue;
        }
        if (const auto m = idLine.match(line); m.hasMatch()) {
            id = m.captured(1);
            operations[id].path = path;
            continue;
        }
        if (line.contains(u"#/components/parameters/IdempotencyKey"_s) && !id.isEmpty()) {
            operations[id].keyed = true;
            continue;
        }
        if (const auto m = schemaLine.match(line); m.hasMatch()) {
            schema = m.captured(1);
            continue;
        }
        if (line.startsWith(u"    "_s) && !line.startsWith(u"     "_s))
            schema.clear();
        if (const auto m = propertyLine.match(line); m.hasMatch() && !schema.isEmpty())
            operations[schema].fields.append(m.captured(1));
    }
    return operations;
}

} // namespace

class TestApiDocument : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyServedOperationIsDocumented()
    {
        QString error;
        const QHash<QString, Documented> documented = readDocument(error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(documented.size(), Wire::operations().size());
        for (const Wire::Operation &operation : Wire::operations()) {
            const QString name = operation.name;
            QVERIFY2(documented.contains(name), qPrintable(name));
            const Documented &doc = documented.value(name);
            QCOMPARE(doc.path, Wire::path(operation));
            QCOMPARE(doc.keyed, operation.keyed);
            QStringList fields;
            for (const Wire::Field &field : operation.fields)
                fields.append(field.name);
            QCOMPARE(doc.fields, fields);
        }
    }

    // Against a running service: each documented route asks for a token (it exists),
    // GET is refused, and routes the document does not name are not found.
    void documentedRoutesAnswerOthersDoNot()
    {
        QString error;
        const QHash<QString, Documented> documented = readDocument(error);
        QVERIFY(!documented.isEmpty());
        ServiceRig rig;
        rig.set(u"auth_failure_limit"_s, u"1000"_s);
        QVERIFY2(rig.start(error), qPrintable(error));
        for (const Documented &doc : documented) {
            QCOMPARE(rig.post(doc.path, "{}", {}).status, 401);
            const auto get = rig.raw("GET " + doc.path.toUtf8()
                                         + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                                     5000);
            QCOMPARE(get.status, 405);
        }
        for (const QString &path : { u"/v1/console/issueCards"_s, u"/v1/operator/queryBalance"_s,
                                     u"/v1/console/"_s, u"/"_s, u"/v2/console/queryBalance"_s })
            QCOMPARE(rig.post(path, "{}", {}).status, 404);
    }
};

QTEST_GUILESS_MAIN(TestApiDocument)
#include "tst_apidocument.moc"
