// Fuzz target: the operator tool's argument parser, OperatorTool::parse.
//
// The input is the argument vector after the program name, its arguments separated by
// NUL bytes, exactly as the system could hand them over. Checked: every input gives
// either a command or a usage error, never both; an argument that is not UTF-8 is a
// usage error; the text and the byte forms of the parser agree; a usage error shows
// no raw control character; every value in a command passed its check; a command
// written back in canonical form (--option=value words, "--" before the positional
// words) parses to the same command.

#include "fuzz/fuzzinput.h"
#include "gateway/local/inputrules.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/storelocation.h"
#include "tools/controlescape.h"
#include "tools/operatortool.h"
#include "tools/tooltexts.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QStringDecoder>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

const QByteArray Program = "quillet-gateway";

// Well-formed UTF-8 (RFC 3629): no overlong form, no surrogate, nothing past U+10FFFF.
bool isUtf8(const QByteArray &bytes)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes[i]) : uchar(0); };
    const auto isTail = [](uchar b) { return b >= 0x80 && b <= 0xbf; };
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar lead = byte(i);
        int tails = 0;
        uchar low = 0x80;
        uchar high = 0xbf;
        if (lead <= 0x7f) {
            tails = 0;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            tails = 1;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            tails = 2;
            low = lead == 0xe0 ? 0xa0 : 0x80;
            high = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            tails = 3;
            low = lead == 0xf0 ? 0x90 : 0x80;
            high = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (tails > 0 && (i + 1 >= bytes.size() || byte(i + 1) < low || byte(i + 1) > high))
            return false;
        for (int t = 2; t <= tails; ++t) {
            if (i + t >= bytes.size() || !isTail(byte(i + t)))
                return false;
        }
        i += 1 + tails;
    }
    return true;
}

// The text of a UTF-8 argument, a byte order mark at its start kept as a character.
QString decoded(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

// C0, DEL, C1, the line and paragraph separators, the bidi controls, lone surrogates.
bool hasRawControl(const QString &text)
{
    if (!QStringView(text).isValidUtf16())
        return true;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029 || u == 0x061c
            || u == 0x200e || u == 0x200f || (u >= 0x202a && u <= 0x202e)
            || (u >= 0x2066 && u <= 0x2069))
            return true;
    }
    return false;
}

QString described(const QByteArrayList &argv)
{
    QStringList shown;
    for (const QByteArray &argument : argv)
        shown.append(escapeControls(QString::fromUtf8(argument)) + u" [0x"_s
                     + QString::fromLatin1(argument.toHex()) + u']');
    return shown.join(u" | "_s);
}

QByteArray option(const QString &name, const QString &value)
{
    return (u"--"_s + name + u'=' + value).toUtf8();
}

QByteArrayList canonical(const ToolCommand &command)
{
    using namespace ToolTexts;
    QByteArrayList argv { Program };
    if (command.storePath)
        argv.append(option(StoreOption, *command.storePath));
    if (command.server) {
        argv.append(option(ServerOption, command.server->url));
        argv.append(option(TokenFileOption, command.server->tokenFile));
        if (!command.server->caFile.isEmpty())
            argv.append(option(CaFileOption, command.server->caFile));
    }
    QStringList positional;
    if (std::holds_alternative<HelpCommand>(command.action)) {
        argv.append((u"--"_s + HelpOption).toUtf8());
    } else if (std::holds_alternative<VersionCommand>(command.action)) {
        argv.append((u"--"_s + VersionOption).toUtf8());
    } else if (const auto *backup = std::get_if<BackupCommand>(&command.action)) {
        positional = { BackupWord, backup->file };
    } else if (const auto *card = std::get_if<CardIssueCommand>(&command.action)) {
        argv.append(option(ValueOption, LocalGateway::formatYuan(card->valueFen)));
        argv.append(option(CountOption, QString::number(card->count)));
        positional = { CardWord, IssueWord };
    } else if (const auto *mo = std::get_if<MoCommand>(&command.action)) {
        argv.append(option(FromOption, mo->from));
        argv.append(option(ToOption, mo->to));
        if (!mo->extension.isEmpty())
            argv.append(option(ExtOption, mo->extension));
        if (mo->count)
            argv.append(option(CountOption, QString::number(*mo->count)));
        positional = { MoWord, mo->text };
    } else if (const auto *handset = std::get_if<HandsetCommand>(&command.action)) {
        positional = { HandsetWord, handset->phone };
    } else if (const auto *messages = std::get_if<MessagesCommand>(&command.action)) {
        const Operator::MessageFilter &filter = messages->filter;
        if (!filter.accountNo.isEmpty())
            argv.append(option(AccountOption, filter.accountNo));
        if (!filter.state.isEmpty())
            argv.append(option(StateOption, filter.state));
        if (filter.sinceMs)
            argv.append(option(SinceOption,
                               QDateTime::fromMSecsSinceEpoch(*filter.sinceMs, Qt::UTC)
                                   .toString(Qt::ISODateWithMs)));
        positional = { MessagesWord };
    } else if (std::holds_alternative<LinksCommand>(command.action)) {
        positional = { LinksWord };
    } else if (const auto *unmatched = std::get_if<UnmatchedCommand>(&command.action)) {
        positional = { UnmatchedWord };
        if (unmatched->clearThroughId) {
            argv.append(option(ThroughOption, QString::number(*unmatched->clearThroughId)));
            positional.append(ClearWord);
        }
    } else if (std::holds_alternative<InitCommand>(command.action)) {
        positional = { InitWord };
    } else {
        positional = { AccountsWord };
    }
    if (!positional.isEmpty())
        argv.append("--");
    for (const QString &word : std::as_const(positional))
        argv.append(word.toUtf8());
    return argv;
}

bool sameCommand(const ToolCommand &a, const ToolCommand &b)
{
    if (a.storePath != b.storePath || a.action.index() != b.action.index()
        || a.server.has_value() != b.server.has_value())
        return false;
    if (a.server
        && (a.server->url != b.server->url || a.server->tokenFile != b.server->tokenFile
            || a.server->caFile != b.server->caFile))
        return false;
    if (const auto *card = std::get_if<CardIssueCommand>(&a.action)) {
        const auto &other = std::get<CardIssueCommand>(b.action);
        return card->valueFen == other.valueFen && card->count == other.count;
    }
    if (const auto *mo = std::get_if<MoCommand>(&a.action)) {
        const auto &other = std::get<MoCommand>(b.action);
        return mo->from == other.from && mo->to == other.to && mo->extension == other.extension
            && mo->text == other.text && mo->count == other.count;
    }
    if (const auto *handset = std::get_if<HandsetCommand>(&a.action))
        return handset->phone == std::get<HandsetCommand>(b.action).phone;
    if (const auto *backup = std::get_if<BackupCommand>(&a.action))
        return backup->file == std::get<BackupCommand>(b.action).file;
    if (const auto *messages = std::get_if<MessagesCommand>(&a.action)) {
        const auto &other = std::get<MessagesCommand>(b.action).filter;
        return messages->filter.accountNo == other.accountNo
            && messages->filter.state == other.state && messages->filter.sinceMs == other.sinceMs;
    }
    if (const auto *unmatched = std::get_if<UnmatchedCommand>(&a.action))
        return unmatched->clearThroughId == std::get<UnmatchedCommand>(b.action).clearThroughId;
    return true;
}

void checkValues(const ToolCommand &command, const QString &input)
{
    if (command.storePath) {
        // A PostgreSQL URL names a database, and may leave every part to libpq's
        // defaults ("postgresql://").
        StoreLocation location;
        require(StoreLocation::parse(*command.storePath, location).isOk(),
                "a store is a file or a URL the store understands", input);
        const QString last = location.path.section(u'/', -1);
        require(location.engine != StoreLocation::Engine::Sqlite
                    || (!last.isEmpty() && last != u"."_s && last != u".."_s),
                "a store file's path names a file, not a folder", input);
    }
    if (const auto *card = std::get_if<CardIssueCommand>(&command.action)) {
        require(card->valueFen > 0 && card->valueFen <= LocalGateway::MaxCardValueFen,
                "a card value is above 0 and at most the largest card", input);
        require(card->count >= 1 && card->count <= LocalGateway::MaxCardsPerIssue,
                "a card count is 1 to the most cards per issue", input);
    } else if (const auto *mo = std::get_if<MoCommand>(&command.action)) {
        require(InputRules::isPhone(mo->from), "a message comes from a phone", input);
        require(mo->extension.isEmpty() || InputRules::isExtension(mo->extension),
                "an extension code is digits", input);
        require(InputRules::isMessageText(mo->text), "a message text passed its check", input);
        require(!mo->count || (*mo->count >= 1 && *mo->count <= LocalGateway::MaxBulkArrivals),
                "an arrival count is 1 to the most arrivals at once", input);
    } else if (const auto *handset = std::get_if<HandsetCommand>(&command.action)) {
        require(InputRules::isPhone(handset->phone), "a handset is a phone", input);
    } else if (const auto *backup = std::get_if<BackupCommand>(&command.action)) {
        require(!backup->file.isEmpty(), "a backup goes into a named file", input);
    } else if (const auto *messages = std::get_if<MessagesCommand>(&command.action)) {
        const Operator::MessageFilter &filter = messages->filter;
        require(filter.accountNo.isEmpty() || InputRules::isAccountNumber(filter.accountNo),
                "messages are narrowed to an account number", input);
        require(filter.state.isEmpty() || Operator::messageStates().contains(filter.state),
                "messages are narrowed to a state there is", input);
        require(!filter.sinceMs
                    || (*filter.sinceMs >= 0 && *filter.sinceMs <= Operator::LatestTimeMs),
                "messages are narrowed to a time from 1970 to 9999", input);
    } else if (const auto *unmatched = std::get_if<UnmatchedCommand>(&command.action)) {
        require(!unmatched->clearThroughId || *unmatched->clearThroughId >= 1,
                "unmatched entries are cleared through an id there can be", input);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArrayList argv { Program };
    if (!bytes.isEmpty())
        argv += bytes.split('\0');
    const QString input = described(argv);

    const ParseResult result = OperatorTool::parse(argv);
    require(result.command.has_value() != !result.usageError.isEmpty(),
            "a command or a usage error, never both", input);

    const bool allUtf8 = std::all_of(argv.begin(), argv.end(), isUtf8);
    if (!allUtf8) {
        require(!result.command, "an argument that is not UTF-8 is a usage error", input);
    } else {
        QStringList arguments;
        for (const QByteArray &argument : argv)
            arguments.append(decoded(argument));
        const ParseResult fromText = OperatorTool::parse(arguments);
        require(fromText.usageError == result.usageError
                    && fromText.command.has_value() == result.command.has_value()
                    && (!result.command || sameCommand(*fromText.command, *result.command)),
                "the text and the byte forms of the parser agree", input);
    }

    if (!result.command) {
        require(!hasRawControl(result.usageError), "a usage error shows no raw control character",
                input + u" gave "_s + escapeControls(result.usageError));
        return 0;
    }
    checkValues(*result.command, input);
    const QByteArrayList again = canonical(*result.command);
    const ParseResult reparsed = OperatorTool::parse(again);
    require(reparsed.command && sameCommand(*reparsed.command, *result.command),
            "a command written back in canonical form parses to itself",
            input + u" written back as "_s + described(again) + u" gave "_s
                + escapeControls(reparsed.usageError));
    return 0;
}
