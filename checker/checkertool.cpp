#include "checker/checkertool.h"

#include "checker/checkertexts.h"
#include "checker/contractchecker.h"
#include "gateway/gatewayloader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString RowTag = u"ROW"_s;
constexpr qsizetype MaxWhy = 400;
constexpr int DefaultTimeoutSeconds = 60;

bool isBidiControl(char16_t c)
{
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E)
        || (c >= 0x2066 && c <= 0x2069);
}

// A field of a child's report as it travels: percent-encoded UTF-8, so it holds no tab
// and no line break, and comes back exactly as it was.
QString encoded(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toPercentEncoding());
}

QString decoded(const QString &text)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text.toLatin1()));
}

// One line of a child's report. A long description (a component may quote a 1 MB
// input back) is cut, so the report stays small.
QString rowLine(const CheckRow &row)
{
    QString why = row.why;
    if (why.size() > MaxWhy)
        why = why.left(MaxWhy) + u"…"_s;
    return RowTag + u'\t' + encoded(row.name) + u'\t'
        + (row.passed ? CheckerTexts::passed() : CheckerTexts::failed()) + u'\t' + encoded(why);
}

QList<CheckRow> parseRows(const QString &output)
{
    QList<CheckRow> rows;
    const QStringList lines = output.split(u'\n');
    for (const QString &line : lines) {
        const QStringList fields = line.split(u'\t');
        if (fields.size() != 4 || fields.at(0) != RowTag)
            continue;
        rows.append({ decoded(fields.at(1)), fields.at(2) == CheckerTexts::passed(),
                      decoded(fields.at(3)) });
    }
    return rows;
}

struct Settings {
    QString pluginFile; // empty: the loader's pick
    QString classId; // empty with a plugin file: any class
    int timeoutSeconds = DefaultTimeoutSeconds;
    QString child; // the group to run in this process, for a child
};

// Runs one group in a child process and returns its rows, with a failed row of the
// group's own when the child crashed, hung or reported nothing.
QList<CheckRow> runChild(const Settings &settings, const QString &group)
{
    QProcess child;
    QStringList arguments
        = { u"--child"_s, group, u"--timeout"_s, QString::number(settings.timeoutSeconds) };
    if (!settings.classId.isEmpty())
        arguments << u"--class-id"_s << settings.classId;
    arguments << u"--"_s << settings.pluginFile;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments(arguments);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start();
    const QString name = ContractChecker::rowName(group);
    if (!child.waitForStarted())
        return { { name, false, CheckerTexts::childNoResult(group, child.errorString()) } };
    const bool finished = child.waitForFinished(settings.timeoutSeconds * 1000);
    if (!finished) {
        child.kill();
        child.waitForFinished();
    }
    QList<CheckRow> rows = parseRows(QString::fromUtf8(child.readAllStandardOutput()));
    if (!finished)
        rows.append({ name, false, CheckerTexts::childTimedOut(group, settings.timeoutSeconds) });
    else if (child.exitStatus() == QProcess::CrashExit)
        rows.append({ name, false, CheckerTexts::childCrashed(group, int(rows.size())) });
    else if (rows.isEmpty())
        rows.append({ name, false,
                      CheckerTexts::childNoResult(
                          group, QString::fromUtf8(child.readAllStandardError()).trimmed()) });
    return rows;
}

void printTable(const QList<CheckRow> &rows, QTextStream &out)
{
    qsizetype width = CheckerTexts::columnCheck().size();
    for (const CheckRow &row : rows)
        width = std::max(width, CheckerTool::escaped(row.name).size());
    const qsizetype resultWidth = CheckerTexts::columnResult().size();
    out << CheckerTexts::columnCheck().leftJustified(width) << u"  "_s
        << CheckerTexts::columnResult().leftJustified(resultWidth) << u"  "_s
        << CheckerTexts::columnWhy() << u'\n';
    int passedCount = 0;
    for (const CheckRow &row : rows) {
        passedCount += row.passed ? 1 : 0;
        out << CheckerTool::escaped(row.name).leftJustified(width) << u"  "_s
            << (row.passed ? CheckerTexts::passed() : CheckerTexts::failed())
                   .leftJustified(resultWidth)
            << u"  "_s << CheckerTool::escaped(row.why) << u'\n';
    }
    out << CheckerTexts::summary(passedCount, int(rows.size()) - passedCount) << u'\n';
}

int runChecks(const Settings &settings, QTextStream &out)
{
    QList<CheckRow> rows;
    Settings resolved = settings;
    if (resolved.pluginFile.isEmpty()) {
        const Status located = GatewayLoader().locate(resolved.classId, resolved.pluginFile);
        if (located.failed())
            rows.append({ CheckerTexts::checkLoad(), false, located.description() });
    }
    bool loaded = rows.isEmpty();
    for (const QString &group : ContractChecker::groups()) {
        if (!loaded) {
            if (group != u"load")
                rows.append({ ContractChecker::rowName(group), false, CheckerTexts::notRun() });
            continue;
        }
        const QList<CheckRow> groupRows = runChild(resolved, group);
        rows += groupRows;
        if (group == u"load")
            loaded = std::ranges::all_of(groupRows, &CheckRow::passed);
    }
    printTable(rows, out);
    out.flush();
    return std::ranges::all_of(rows, &CheckRow::passed) ? CheckerTool::AllPassed
                                                        : CheckerTool::SomeFailed;
}

int runAsChild(const Settings &settings, QTextStream &out)
{
    ContractChecker checker(settings.pluginFile, settings.classId);
    checker.runGroup(settings.child, [&out](const CheckRow &row) {
        out << rowLine(row) << u'\n';
        out.flush(); // a crash later keeps this row
    });
    return CheckerTool::AllPassed;
}

} // namespace

namespace CheckerTool {

QString escaped(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += text[i];
            out += text[i + 1];
            ++i;
            continue;
        }
        switch (c) {
        case u'\\':
            out += u"\\\\"_s;
            continue;
        case u'\t':
            out += u"\\t"_s;
            continue;
        case u'\n':
            out += u"\\n"_s;
            continue;
        case u'\r':
            out += u"\\r"_s;
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
            out += u"\\x"_s + QString::number(c, 16).toUpper().rightJustified(2, u'0');
        else if (c == 0x2028 || c == 0x2029 || isBidiControl(c) || QChar::isSurrogate(c))
            out += u"\\u"_s + QString::number(c, 16).toUpper().rightJustified(4, u'0');
        else
            out += text[i];
    }
    return out;
}

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList { u"h"_s, u"help"_s });
    const QCommandLineOption version(u"version"_s);
    const QCommandLineOption classId(u"class-id"_s, QString(), u"ID"_s);
    const QCommandLineOption timeout(u"timeout"_s, QString(), u"SECONDS"_s);
    QCommandLineOption child(u"child"_s, QString(), u"GROUP"_s);
    child.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({ help, version, classId, timeout, child });
    parser.addPositionalArgument(u"PLUGIN"_s, QString());

    const auto usage = [&](const QString &message) {
        err << message << u'\n' << CheckerTexts::usageHint() << u'\n';
        err.flush();
        return UsageError;
    };
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    for (const QCommandLineOption *option :
         std::initializer_list<const QCommandLineOption *> { &classId, &timeout, &child }) {
        if (parser.values(*option).size() > 1)
            return usage(CheckerTexts::optionTwice(option->names().first()));
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        out << (parser.isSet(help) ? CheckerTexts::help() : CheckerTexts::version());
        out.flush();
        return AllPassed;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return usage(CheckerTexts::tooManyFiles());

    Settings settings;
    if (parser.isSet(timeout)) {
        bool ok = false;
        settings.timeoutSeconds = parser.value(timeout).toInt(&ok);
        if (!ok || settings.timeoutSeconds < 1 || settings.timeoutSeconds > 3600)
            return usage(CheckerTexts::badTimeout(parser.value(timeout)));
    }
    if (!files.isEmpty())
        settings.pluginFile = QFileInfo(files.first()).absoluteFilePath();
    settings.classId = parser.value(classId);
    if (settings.classId.isEmpty() && settings.pluginFile.isEmpty())
        settings.classId = QString::fromUtf16(GatewayIds::SmsGatewayClassId);
    settings.child = parser.value(child);
    if (!settings.child.isEmpty())
        return runAsChild(settings, out);
    return runChecks(settings, out);
}

} // namespace CheckerTool
