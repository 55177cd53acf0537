#include "protocol/wire.h"

#include <QJsonArray>
#include <QSet>

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

#include <cmath>

using namespace Qt::StringLiterals;

namespace Wire {

namespace {

using enum FieldKind;

} // namespace

bool isIntegral(const QJsonValue &value, double low, double high)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    return std::isfinite(d) && d == std::trunc(d) && d >= low && d <= high;
}

bool isWholeNumber(const QJsonValue &value)
{
    const double d = value.toDouble();
    return value.isDouble() && std::isfinite(d) && d == std::trunc(d);
}

qint64 toWholeNumber(const QJsonValue &value)
{
    constexpr double Beyond = 9223372036854775808.0; // 2^63, the first past qint64
    const double d = value.toDouble();
    if (d >= Beyond)
        return std::numeric_limits<qint64>::max();
    if (d < -Beyond)
        return std::numeric_limits<qint64>::min();
    return qint64(d);
}

namespace {

QString kindName(FieldKind kind)
{
    switch (kind) {
    case Text:
        return u"a text"_s;
    case Integer:
        return u"an integer"_s;
    case Bool16:
        return u"an integer from -32768 to 32767"_s;
    case Variant:
        return u"null, a text or a table"_s;
    case Boolean:
    case Name:
    case Time:
    case Texts:
    case Records:
        break; // only in answers
    }
    return {};
}

bool fieldAcceptable(FieldKind kind, const QJsonValue &value)
{
    switch (kind) {
    case Text:
        return value.isString() && isWellFormed(value.toString());
    case Integer:
        return isWholeNumber(value);
    case Bool16:
        return isIntegral(value, -32768.0, 32767.0);
    case Variant: {
        ::Variant parsed;
        return fromJson(value, parsed);
    }
    case Boolean:
    case Name:
    case Time:
    case Texts:
    case Records:
        break; // only in answers
    }
    return false;
}

// The escape after a backslash, as the text it stands for; false for none of JSON's.
bool unescape(QByteArrayView text, qsizetype &i, QString &out)
{
    const char c = text.at(i);
    switch (c) {
    case '"':
    case '\\':
    case '/':
        out.append(QLatin1Char(c));
        return true;
    case 'b':
        out.append(u'\b');
        return true;
    case 'f':
        out.append(u'\f');
        return true;
    case 'n':
        out.append(u'\n');
        return true;
    case 'r':
        out.append(u'\r');
        return true;
    case 't':
        out.append(u'\t');
        return true;
    case 'u': {
        if (i + 4 >= text.size())
            return false;
        const QByteArrayView digits = text.sliced(i + 1, 4);
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char d) { return std::isxdigit(uchar(d)); }))
            return false;
        out.append(QChar(char16_t(digits.toUInt(nullptr, 16))));
        i += 4;
        return true;
    }
    default:
        return false;
    }
}

} // namespace

const Operation *find(QLatin1StringView name)
{
    const auto it
        = std::find_if(operations().cbegin(), operations().cend(),
                       [&](const Operation &operation) { return operation.name == name; });
    return it == operations().cend() ? nullptr : &*it;
}

QString path(const Operation &operation)
{
    return u"/v1/"_s + roleName(operation.role) + u'/' + operation.name;
}

const Operation *findByPath(const QString &requestPath)
{
    const auto it
        = std::find_if(operations().cbegin(), operations().cend(),
                       [&](const Operation &operation) { return path(operation) == requestPath; });
    return it == operations().cend() ? nullptr : &*it;
}

QString roleName(Role role)
{
    switch (role) {
    case Role::Console:
        return u"console"_s;
    case Role::Operator:
        return u"operator"_s;
    case Role::Application:
        break;
    }
    return u"application"_s;
}

bool isWellFormed(const QString &text)
{
    return QStringView(text).isValidUtf16();
}

bool isAcceptableKey(const QString &key)
{
    if (key.size() < MinKeyLength || key.size() > MaxKeyLength)
        return false;
    return std::all_of(key.cbegin(), key.cend(),
                       [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7f; });
}

QString bearerToken(QByteArrayView authorization)
{
    constexpr QByteArrayView scheme("bearer");
    const QByteArrayView value = authorization.trimmed();
    if (value.size() <= scheme.size()
        || value.first(scheme.size()).compare(scheme, Qt::CaseInsensitive) != 0
        || (value.at(scheme.size()) != ' ' && value.at(scheme.size()) != '\t'))
        return {};
    return QString::fromLatin1(value.sliced(scheme.size()).trimmed());
}

JsonFault scanJson(QByteArrayView text)
{
    // One entry per open object or array: an object's keys so far, and whether a key
    // comes next.
    struct Level {
        bool object = false;
        bool keyNext = false;
        QSet<QString> keys;
    };
    std::vector<Level> levels;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        switch (text.at(i)) {
        case '{':
            levels.push_back({ true, true, {} });
            break;
        case '[':
            levels.push_back({ false, false, {} });
            break;
        case '}':
        case ']':
            if (!levels.empty())
                levels.pop_back();
            break;
        case ',':
            if (!levels.empty() && levels.back().object)
                levels.back().keyNext = true;
            break;
        case '"': {
            const bool isKey = !levels.empty() && levels.back().object && levels.back().keyNext;
            QString key;
            qsizetype run = i + 1;
            for (++i;; ++i) {
                if (i >= size)
                    return JsonFault::None; // unterminated: the parser's to refuse
                const uchar c = uchar(text.at(i));
                if (c < 0x20)
                    return JsonFault::RawControl;
                if (c == '"')
                    break;
                if (c != '\\')
                    continue;
                if (i + 1 >= size)
                    return JsonFault::None;
                if (!isKey) {
                    ++i; // what a backslash escapes is never a quote that ends the text
                    continue;
                }
                key.append(QString::fromUtf8(text.sliced(run, i - run)));
                ++i;
                if (!unescape(text, i, key))
                    return JsonFault::None;
                run = i + 1;
            }
            if (isKey) {
                key.append(QString::fromUtf8(text.sliced(run, i - run)));
                Level &level = levels.back();
                if (level.keys.contains(key))
                    return JsonFault::DuplicateKey;
                level.keys.insert(key);
                level.keyNext = false;
            }
            break;
        }
        default:
            break;
        }
    }
    return JsonFault::None;
}

QJsonValue toJson(const ::Variant &value)
{
    switch (value.kind()) {
    case ::Variant::Kind::Null:
        return QJsonValue::Null;
    case ::Variant::Kind::Text: {
        QString text;
        (void)value.toText(text);
        return text;
    }
    case ::Variant::Kind::Table: {
        TextTable table;
        (void)value.toTable(table);
        QJsonArray cells;
        for (qsizetype row = 0; row < table.rows(); ++row) {
            for (qsizetype column = 0; column < table.columns(); ++column) {
                QString cell;
                (void)table.at(row, column, cell);
                cells.append(cell);
            }
        }
        return QJsonObject { { u"rows"_s, double(table.rows()) },
                             { u"columns"_s, double(table.columns()) },
                             { u"cells"_s, cells } };
    }
    }
    return QJsonValue::Null;
}

bool fromJson(const QJsonValue &json, ::Variant &value)
{
    if (json.isNull()) {
        value = ::Variant();
        return true;
    }
    if (json.isString()) {
        if (!isWellFormed(json.toString()))
            return false;
        value = ::Variant(json.toString());
        return true;
    }
    if (!json.isObject())
        return false;
    const QJsonObject object = json.toObject();
    if (object.size() != 3 || !object.value(u"cells"_s).isArray())
        return false;
    const double maxSide = double(MaxTableCells);
    if (!isIntegral(object.value(u"rows"_s), 0, maxSide)
        || !isIntegral(object.value(u"columns"_s), 0, maxSide))
        return false;
    const auto rows = qsizetype(object.value(u"rows"_s).toDouble());
    const auto columns = qsizetype(object.value(u"columns"_s).toDouble());
    const QJsonArray cells = object.value(u"cells"_s).toArray();
    if (rows * columns > MaxTableCells || cells.size() != rows * columns)
        return false;
    TextTable table(rows, columns);
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (!cells.at(i).isString() || !isWellFormed(cells.at(i).toString()))
            return false;
        table.set(i / columns, i % columns, cells.at(i).toString());
    }
    value = ::Variant(std::move(table));
    return true;
}

QString validate(const Operation &operation, const QJsonObject &body)
{
    for (auto it = body.begin(); it != body.end(); ++it) {
        const auto field = std::find_if(operation.fields.cbegin(), operation.fields.cend(),
                                        [&](const Field &f) { return f.name == it.key(); });
        if (field == operation.fields.cend())
            return u"unknown field \"%1\""_s.arg(it.key().left(64));
        if (!fieldAcceptable(field->kind, it.value()))
            return u"field \"%1\" must be %2"_s.arg(it.key(), kindName(field->kind));
    }
    return {};
}

QJsonObject statusJson(const Status &status)
{
    return QJsonObject { { u"status"_s,
                           QJsonObject { { u"code"_s, double(status.code()) },
                                         { u"description"_s, status.description() } } } };
}

bool statusFromJson(const QJsonObject &answer, Status &status)
{
    const QJsonObject object = answer.value(u"status"_s).toObject();
    const QJsonValue code = object.value(u"code"_s);
    const QJsonValue description = object.value(u"description"_s);
    if (!isIntegral(code, -2147483648.0, 2147483647.0) || !description.isString())
        return false;
    const auto value = qint32(code.toDouble());
    status = value < 0 ? Status::failure(value, description.toString()) : Status::ok();
    return true;
}

QJsonObject errorJson(const QString &code, const QString &message)
{
    return QJsonObject { { u"error"_s,
                           QJsonObject { { u"code"_s, code }, { u"message"_s, message } } } };
}

} // namespace Wire
