// docs/api.yaml and the operation table agree both ways: every documented route answers,
// every route the service serves is documented with its Idempotency-Key rule, its request
// fields and its answer's fields (of their kinds, and a listing's entries too), and
// nothing else answers. The metrics are the one documented route beside the operations.
// Every refusal's code word is documented, and no other.

#include "protocol/calls.h"
#include "protocol/wire.h"
#include "service/applicationroutes.h"
#include "service/servicetexts.h"
#include "tests/service/servicerig.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct Documented {
    QString path;
    QString method; // as the document writes it: get, post, delete
    bool keyed = false;
    QStringList fields;
    QString answer; // the schema of the 200 answer
};

// A schema's properties in order, each with the text that gives its type, and the
// properties of the objects in an array property's items.
struct Schema {
    QString text; // every line of it
    QStringList properties;
    QStringList types;
    QHash<QString, QStringList> items;
};

struct Document {
    QHash<QString, Documented> operations;
    QHash<QString, Schema> schemas;
};

// Reads the parts of the document this test compares, by their fixed indentation.
Document readDocument(QString &error)
{
    QFile file(QStringLiteral(QUILLET_API_DOCUMENT));
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return {};
    }
    static const QRegularExpression pathLine(u"^  (/\\S+):$"_s);
    static const QRegularExpression idLine(u"^      operationId: (\\w+)$"_s);
    static const QRegularExpression methodLine(u"^    (get|post|put|delete):$"_s);
    static const QRegularExpression answerLine(u"^              schema: \\{ \\$ref: "
                                               u"'#/components/schemas/(\\w+)' \\}$"_s);
    static const QRegularExpression schemaLine(u"^    (\\w+):$"_s);
    static const QRegularExpression propertyLine(u"^        (\\w+):(.*)$"_s);
    static const QRegularExpression itemLine(u"^              (\\w+): "_s);
    Document document;
    QString path;
    QString method;
    QString id;
    QString schema;
    QString property;
    bool answers = false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    for (const QString &line : lines) {
        if (const auto m = pathLine.match(line); m.hasMatch()) {
            path = m.captured(1);
            continue;
        }
        if (const auto m = methodLine.match(line); m.hasMatch() && !path.isEmpty())
            method = m.captured(1);
        if (const auto m = idLine.match(line); m.hasMatch()) {
            id = m.captured(1);
            document.operations[id].path = path;
            document.operations[id].method = method;
            answers = false;
            continue;
        }
        if (line.contains(u"#/components/parameters/IdempotencyKey"_s) && !id.isEmpty()) {
            document.operations[id].keyed = true;
            continue;
        }
        if (line == u"        '200':"_s) {
            answers = true;
            continue;
        }
        if (const auto m = answerLine.match(line); m.hasMatch() && answers && !id.isEmpty()) {
            document.operations[id].answer = m.captured(1);
            answers = false;
            continue;
        }
        if (line == u"components:"_s)
            id.clear();
        if (const auto m = schemaLine.match(line); m.hasMatch()) {
            schema = m.captured(1);
            continue;
        }
        if (line.startsWith(u"    "_s) && !line.startsWith(u"     "_s))
            schema.clear();
        if (schema.isEmpty())
            continue;
        document.schemas[schema].text += line + u'\n';
        if (const auto m = propertyLine.match(line); m.hasMatch()) {
            property = m.captured(1);
            document.schemas[schema].properties.append(property);
            document.schemas[schema].types.append(m.captured(2).trimmed());
        } else if (const auto item = itemLine.match(line); item.hasMatch()) {
            document.schemas[schema].items[property].append(item.captured(1));
        }
    }
    // A request's schema is named after its operation.
    for (auto it = document.operations.begin(); it != document.operations.end(); ++it)
        it->fields = document.schemas.value(it.key() + u"Request"_s).properties;
    return document;
}

// How the document writes a field of this kind, in the part that matters.
QString documentedAs(const Wire::Field &field)
{
    switch (field.kind) {
    case Wire::FieldKind::Text:
        return u"type: string"_s;
    case Wire::FieldKind::Integer:
        return u"type: integer"_s;
    case Wire::FieldKind::Bool16:
        return u"schemas/Bool16"_s;
    case Wire::FieldKind::Variant:
        return u"schemas/Variant"_s;
    case Wire::FieldKind::Boolean:
        return u"type: boolean"_s;
    case Wire::FieldKind::Name:
        return u"enum"_s;
    case Wire::FieldKind::Time:
        return u"date-time"_s;
    case Wire::FieldKind::Texts:
        return u"items: { type: string }"_s;
    case Wire::FieldKind::Records:
        return QString(); // an array, its items on the lines below
    }
    return {};
}

} // namespace

class TestApiDocument : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyServedOperationIsDocumented()
    {
        QString error;
        const Document document = readDocument(error);
        QHash<QString, Documented> documented = document.operations;
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(documented.take(u"metrics"_s).path, u"/metrics"_s);
        // An application's routes: each with its path, its method and its key rule.
        for (const ApplicationRoutes::Route &route : ApplicationRoutes::routes()) {
            const QString name = route.name;
            QVERIFY2(documented.contains(name), qPrintable(name));
            const Documented doc = documented.take(name);
            QCOMPARE(doc.path, QString(route.path));
            QCOMPARE(doc.method.toUpper().toLatin1(), route.method.toByteArray());
            QCOMPARE(doc.keyed, route.keyed);
        }
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

            // The answer: its Status, then what the call answers, of the kinds it has.
            const Schema answer = document.schemas.value(doc.answer);
            QStringList answered { u"status"_s };
            for (const Wire::Field &field : operation.answer)
                answered.append(field.name);
            QCOMPARE(answer.properties, answered);
            for (const Wire::Field &field : operation.answer) {
                QString type = answer.types.value(answer.properties.indexOf(field.name));
                // A reference to a schema of its own reads as that schema.
                static const QRegularExpression reference(u"schemas/(\\w+)'"_s);
                if (const auto m = reference.match(type); m.hasMatch())
                    type += document.schemas.value(m.captured(1)).text;
                QVERIFY2(type.contains(documentedAs(field)),
                         qPrintable(u"%1.%2: %3"_s.arg(name, field.name, type)));
                if (field.kind == Wire::FieldKind::Name) {
                    static const QRegularExpression values(u"enum: \\[([^\\]]*)\\]"_s);
                    QStringList names;
                    for (const QLatin1StringView value : *field.names)
                        names.append(value);
                    QCOMPARE(values.match(type).captured(1).split(u", "_s), names);
                }
                if (field.kind != Wire::FieldKind::Records)
                    continue;
                QStringList entries;
                for (const Wire::Field &entry : *field.record)
                    entries.append(entry.name);
                QCOMPARE(answer.items.value(field.name), entries);
            }
        }
    }

    // Every code word a refusal answers with is documented, and nothing else.
    void everyRefusalIsDocumented()
    {
        QString error;
        const Document document = readDocument(error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        static const QRegularExpression codes(u"code:[^\\]]*enum: \\[([^\\]]*)\\]"_s);
        const QString listed = codes.match(document.schemas.value(u"Error"_s).text).captured(1);
        QStringList documented = listed.split(QRegularExpression(u"[,\\s]+"_s), Qt::SkipEmptyParts);
        documented.sort();
        QStringList refusals;
        for (int i = 0; i < int(ServiceTexts::Refusal::Count); ++i)
            refusals.append(ServiceTexts::refusalOf(ServiceTexts::Refusal(i)).code);
        refusals.sort();
        refusals.removeDuplicates();
        QCOMPARE(documented, refusals);
    }

    // Against a running service: each documented route asks for a token (it exists),
    // the other method is refused, and routes the document does not name are not found.
    void documentedRoutesAnswerOthersDoNot()
    {
        QString error;
        const QHash<QString, Documented> documented = readDocument(error).operations;
        QVERIFY(!documented.isEmpty());
        ServiceRig rig;
        rig.set(u"auth_failure_limit"_s, u"1000"_s);
        QVERIFY2(rig.start(error), qPrintable(error));
        for (const Documented &doc : documented) {
            if (doc.path.startsWith(u"/v1/"_s) && !doc.path.startsWith(u"/v1/console/"_s)
                && !doc.path.startsWith(u"/v1/operator/"_s)) {
                // An application's route: its own method asks for a token, PATCH is no
                // method of any.
                const QString path = QString(doc.path).replace(u"{id}"_s, u"1"_s);
                QCOMPARE(rig.request(doc.method.toUpper().toLatin1(), path, {}, {}).status, 401);
                QCOMPARE(rig.request("PATCH", path, {}, {}).status, 405);
                continue;
            }
            const bool metrics = doc.path == u"/metrics"_s;
            QCOMPARE(rig.post(doc.path, "{}", {}).status, metrics ? 405 : 401);
            const auto get = rig.raw("GET " + doc.path.toUtf8()
                                         + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                                     5000);
            QCOMPARE(get.status, metrics ? 401 : 405);
        }
        for (const QString &path : { u"/v1/console/issueCards"_s, u"/v1/operator/queryBalance"_s,
                                     u"/v1/console/"_s, u"/"_s, u"/v2/console/queryBalance"_s })
            QCOMPARE(rig.post(path, "{}", {}).status, 404);
    }
};

QTEST_GUILESS_MAIN(TestApiDocument)
#include "tst_apidocument.moc"
