#include "variant.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestVariant : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tableReadsItsCells();
    void tableRejectsCellsOutside_data();
    void tableRejectsCellsOutside();
    void readingAKindThatIsNotThere_data();
    void readingAKindThatIsNotThere();
};

void TestVariant::tableReadsItsCells()
{
    TextTable table(2, 4);
    table.set(1, 3, u"最后"_s);
    QString text = u"stale"_s;
    QVERIFY(table.at(1, 3, text).isOk());
    QCOMPARE(text, u"最后"_s);
    QVERIFY(table.at(0, 0, text).isOk());
    QCOMPARE(text, QString());
}

void TestVariant::tableRejectsCellsOutside_data()
{
    QTest::addColumn<qsizetype>("rows");
    QTest::addColumn<qsizetype>("columns");
    QTest::addColumn<qsizetype>("row");
    QTest::addColumn<qsizetype>("column");

    QTest::newRow("row one past the end")
        << qsizetype(2) << qsizetype(4) << qsizetype(2) << qsizetype(0);
    QTest::newRow("column one past the end")
        << qsizetype(2) << qsizetype(4) << qsizetype(0) << qsizetype(4);
    QTest::newRow("negative row") << qsizetype(2) << qsizetype(4) << qsizetype(-1) << qsizetype(0);
    QTest::newRow("negative column")
        << qsizetype(2) << qsizetype(4) << qsizetype(0) << qsizetype(-1);
    QTest::newRow("empty table") << qsizetype(0) << qsizetype(0) << qsizetype(0) << qsizetype(0);
    QTest::newRow("negative size is empty")
        << qsizetype(-3) << qsizetype(4) << qsizetype(0) << qsizetype(0);
}

void TestVariant::tableRejectsCellsOutside()
{
    QFETCH(qsizetype, rows);
    QFETCH(qsizetype, columns);
    QFETCH(qsizetype, row);
    QFETCH(qsizetype, column);

    TextTable table(rows, columns);
    QVERIFY(!table.set(row, column, u"ignored"_s));
    QString text = u"kept"_s;
    const Status status = table.at(row, column, text);
    QCOMPARE(status.code(), Status::SubscriptOutOfRange);
    QVERIFY(status.description().contains(u"下标越界"_s));
    QCOMPARE(text, u"kept"_s);
}

void TestVariant::readingAKindThatIsNotThere_data()
{
    QTest::addColumn<Variant>("value");
    QTest::addColumn<bool>("readsAsText");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("readsAsTable");

    QTest::newRow("null") << Variant() << true << QString() << false;
    QTest::newRow("text") << Variant(u"12"_s) << true << u"12"_s << false;
    QTest::newRow("empty text") << Variant(QString()) << true << QString() << false;
    QTest::newRow("table") << Variant(TextTable(1, 4)) << false << QString() << true;
}

void TestVariant::readingAKindThatIsNotThere()
{
    QFETCH(Variant, value);
    QFETCH(bool, readsAsText);
    QFETCH(QString, text);
    QFETCH(bool, readsAsTable);

    QString read = u"unchanged"_s;
    const Status asText = value.toText(read);
    QCOMPARE(asText.isOk(), readsAsText);
    QCOMPARE(read, readsAsText ? text : u"unchanged"_s);
    if (!readsAsText)
        QCOMPARE(asText.code(), Status::TypeMismatch);

    const TextTable *table = nullptr;
    const Status asTable = value.toTable(table);
    QCOMPARE(asTable.isOk(), readsAsTable);
    QCOMPARE(table != nullptr, readsAsTable);
    if (!readsAsTable)
        QCOMPARE(asTable.code(), Status::TypeMismatch);
}

QTEST_GUILESS_MAIN(TestVariant)
#include "tst_variant.moc"
