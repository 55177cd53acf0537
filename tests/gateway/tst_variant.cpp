#include "gateway/variant.h"

#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

class TestVariant : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tableReadsItsCells();
    void tableRejectsCellsOutside_data();
    void tableRejectsCellsOutside();
    void readingAKindThatIsNotThere_data();
    void readingAKindThatIsNotThere();
    void tableSizes_data();
    void tableSizes();
    void aTableReadOutOutlivesTheVariant();
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

    TextTable table(3, 3);
    const Status asTable = value.toTable(table);
    QCOMPARE(asTable.isOk(), readsAsTable);
    QCOMPARE(table.rows(), readsAsTable ? 1 : 3); // a failure leaves the caller's table
    if (!readsAsTable)
        QCOMPARE(asTable.code(), Status::TypeMismatch);
}

void TestVariant::tableSizes_data()
{
    QTest::addColumn<qsizetype>("rows");
    QTest::addColumn<qsizetype>("columns");
    QTest::addColumn<bool>("accepted");

    const qsizetype huge = std::numeric_limits<qsizetype>::max();
    QTest::newRow("a batch of ten") << qsizetype(10) << qsizetype(4) << true;
    QTest::newRow("no rows") << qsizetype(0) << qsizetype(4) << true;
    QTest::newRow("negative rows") << qsizetype(-1) << qsizetype(4) << false;
    QTest::newRow("negative columns") << qsizetype(4) << qsizetype(-1) << false;
    QTest::newRow("one cell over the limit") << qsizetype(16777217) << qsizetype(1) << false;
    QTest::newRow("product over the limit") << qsizetype(4096) << qsizetype(4097) << false;
    QTest::newRow("product overflows") << huge << qsizetype(2) << false;
    QTest::newRow("square of 2^32 overflows")
        << qsizetype(4294967296) << qsizetype(4294967296) << false;
    QTest::newRow("many rows, no columns") << huge << qsizetype(0) << true;
}

void TestVariant::tableSizes()
{
    QFETCH(qsizetype, rows);
    QFETCH(qsizetype, columns);
    QFETCH(bool, accepted);

    TextTable table(1, 1);
    const Status status = TextTable::make(rows, columns, table);
    QCOMPARE(status.isOk(), accepted);
    if (accepted) {
        QCOMPARE(table.rows(), rows);
        QCOMPARE(table.columns(), columns);
    } else {
        QCOMPARE(status.code(), Status::InvalidArgument);
        QVERIFY2(status.description().contains(u"拒绝创建"_s), qPrintable(status.description()));
        QCOMPARE(table.rows(), 1); // left as it was
        // The constructor, refused the same size, gives the empty table.
        QCOMPARE(TextTable(rows, columns), TextTable());
    }
}

void TestVariant::aTableReadOutOutlivesTheVariant()
{
    TextTable written(1, 4);
    written.set(0, 2, u"内容"_s);
    Variant messages(written);

    TextTable read;
    QVERIFY(messages.toTable(read).isOk());
    messages = Variant(u"replaced"_s);

    QString field;
    QVERIFY(read.at(0, 2, field).isOk());
    QCOMPARE(field, u"内容"_s);
}

QTEST_GUILESS_MAIN(TestVariant)
#include "tst_variant.moc"
