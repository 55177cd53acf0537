#include "tools/tooltexts.h"

#include "tools/controlescape.h"

#include <QDateTime>

// Every value quoted here comes from outside and is shown escaped. Texts with several
// values fill them in one pass, so a value that looks like "%1" is shown as it is.
namespace ToolTexts {

namespace {

QString shown(const QString &value)
{
    return escapeControls(value);
}

// An outside value, or NoEntry when there is none.
QString shownOrNone(const QString &value)
{
    return value.isEmpty() ? NoEntry : escapeControls(value);
}

QString shown(const QStringList &values, const QString &separator)
{
    QStringList escaped;
    escaped.reserve(values.size());
    for (const QString &value : values)
        escaped.append(escapeControls(value));
    return escaped.join(separator);
}

} // namespace

QString unknownCommand(const QString &command)
{
    return u"未知命令：%1"_s.arg(shown(command));
}

QString unknownOptions(const QStringList &names)
{
    return u"未知选项：%1"_s.arg(shown(names, u"、"_s));
}

QString singleDashOption(const QString &argument)
{
    return u"未知选项：%1（长选项以两个减号开头）"_s.arg(shown(argument));
}

QString repeatedOption(const QString &option)
{
    return u"选项 --%1 只能给一次"_s.arg(option);
}

QString badOptionUse(const QString &detail)
{
    return u"选项用法有误（%1）"_s.arg(shown(detail));
}

QString optionNotForCommand(const QString &option, const QString &command)
{
    return u"命令 %1 不接受选项 --%2"_s.arg(command, option);
}

QString optionsExclusive(const QString &option, const QString &other)
{
    return u"选项 --%1 不能与 --%2 同用"_s.arg(option, other);
}

QString optionNeeds(const QString &option, const QString &needed)
{
    return u"选项 --%1 须与 --%2 一同给出"_s.arg(option, needed);
}

QString emptyOptionValue(const QString &option)
{
    return u"--%1 需要一个值"_s.arg(option);
}

QString missingOption(const QString &option)
{
    return u"缺少选项 --%1"_s.arg(option);
}

QString extraArguments(const QStringList &arguments)
{
    return u"多余的参数：%1"_s.arg(shown(arguments, u" "_s));
}

QString missingArgument(const QString &what)
{
    return u"缺少%1"_s.arg(what);
}

QString notUtf8(qsizetype position)
{
    return u"第 %1 个参数不是有效的 UTF-8 文本"_s.arg(position);
}

QString badValue(const QString &text, const QString &maxYuan)
{
    return u"面值“%1”无效：应为大于 0、不超过 %2 的金额（元），最多两位小数"_s.arg(shown(text),
                                                                                   maxYuan);
}

QString badCount(const QString &text, qint64 max)
{
    return u"张数“%1”无效：应为 1 到 %2 之间的整数"_s.arg(shown(text), QString::number(max));
}

QString badArrivalCount(const QString &text, qint64 max)
{
    return u"条数“%1”无效：应为 1 到 %2 之间的整数"_s.arg(shown(text), QString::number(max));
}

QString badPhone(const QString &text)
{
    return u"手机号“%1”无效：应为 3 到 20 位数字，前面可带 +"_s.arg(shown(text));
}

QString badExtension(const QString &text)
{
    return u"扩展码“%1”无效：应为 1 到 6 位数字"_s.arg(shown(text));
}

QString badAccount(const QString &text)
{
    return u"帐户“%1”无效：应为 XXX-XXX-XXX-XXXXX 的形式，X 为数字或大写字母"_s.arg(shown(text));
}

QString badState(const QString &text, const QStringList &states)
{
    return u"状态“%1”无效：应为 %2 之一"_s.arg(shown(text), states.join(u"、"_s));
}

QString badEntryId(const QString &text)
{
    return u"编号“%1”无效：应为 unmatched 列表第一列的正整数"_s.arg(shown(text));
}

QString badTime(const QString &text)
{
    return u"时间“%1”无效：应为 1970 年到 9999 年间的 ISO 8601 时间（如 2026-03-01T08:00:00Z）"
           u"或 yyyy/M/d H:mm:ss"_s.arg(shown(text));
}

QString storePathIsFolder(const QString &path)
{
    return u"--store 的路径“%1”指向文件夹，应为存储文件的路径"_s.arg(shown(path));
}

QString storeReady(const QString &store)
{
    return u"存储已就绪：%1"_s.arg(shown(store));
}

QString version()
{
    return u"quillet-gateway %1"_s.arg(QStringLiteral(QUILLET_VERSION));
}

QString backedUp(const QString &store, const QString &file)
{
    return u"存储 %1 已备份到 %2。"_s.arg(shown(store), shown(file));
}

// These three reach the operator as a failure Status, which failure() escapes.
QString backupFailed(const QString &file, const QString &why)
{
    return u"备份失败（%1）：%2"_s.arg(file, why);
}

QString backupExists(const QString &file)
{
    return u"%1 已存在：备份不会覆盖已有的文件"_s.arg(file);
}

QString noStoreToBackUp(const QString &store)
{
    return u"没有可备份的存储：%1 不存在"_s.arg(store);
}

QString backupNeedsPgDump(const QString &store)
{
    return u"%1 是 PostgreSQL 数据库：请用 pg_dump 备份"_s.arg(shown(store));
}

QString storeFolderMissing(const QString &folder)
{
    return u"文件夹 %1 不存在：--store 不会创建文件夹，请先创建它"_s.arg(shown(folder));
}

QString unknownAccount(const QString &to)
{
    return u"没有注册号码或特服号为 %1 的帐户"_s.arg(shown(to));
}

QString failure(const QString &description)
{
    return shown(description);
}

QString outputFailed(const QString &why)
{
    return u"无法写出到标准输出（%1）"_s.arg(shown(why));
}

QString cardsIssuedNotShown(const QString &why)
{
    return u"无法写出充值卡清单（%1）。服务已经发行了这些充值卡，但它们的卡号和密码没有写出。"_s
        .arg(shown(why));
}

QString malformedAnswer(const QString &server)
{
    return u"网关服务 %1 的回答无法识别"_s.arg(shown(server));
}

QString arrivalsRefusedPartWay(qint64 arrived)
{
    return u"到达 %1 条之后，网关不再接受这条短信"_s.arg(arrived);
}

QString cardsNotIssued(const QString &why)
{
    return u"无法写出充值卡清单（%1），没有发行任何充值卡。"_s.arg(shown(why));
}

QString cardLine(const QString &number, const QString &password, const QString &yuan)
{
    return u"%1\t%2\t%3"_s.arg(shown(number), shown(password), yuan);
}

QString cardsIssued(qsizetype count)
{
    return u"已发行 %1 张充值卡。密码只显示这一次，请妥善保管。"_s.arg(count);
}

QString moArrived(const QString &accountNo, const QString &serviceNumber)
{
    return u"短信已送达帐户 %1（特服号 %2），等待接收。"_s.arg(shown(accountNo),
                                                               shown(serviceNumber));
}

QString forwardDelivered(const QString &phone)
{
    return u"已转发到 %1，已扣费。"_s.arg(shown(phone));
}

QString forwardNotSentBalance(const QString &phone)
{
    return u"未能转发到 %1：余额不足。"_s.arg(shown(phone));
}

QString forwardNotSentTooLong(const QString &phone)
{
    return u"未能转发到 %1：加上来源后内容过长。"_s.arg(shown(phone));
}

QString replyDelivered(const QString &phone)
{
    return u"已向 %1 发送自动回复，已扣费。"_s.arg(shown(phone));
}

QString replyNotSentBalance(const QString &phone)
{
    return u"未能向 %1 发送自动回复：余额不足。"_s.arg(shown(phone));
}

QString replyNotSentTooLong(const QString &phone)
{
    return u"未能向 %1 发送自动回复：内容过长。"_s.arg(shown(phone));
}

QString moArrivedMany(qint64 count, const QString &accountNo, const QString &serviceNumber)
{
    return u"%1 条短信已送达帐户 %2（特服号 %3），等待接收。"_s.arg(
        QString::number(count), shown(accountNo), shown(serviceNumber));
}

QString forwardSummary(const QString &phone, qint64 delivered, qint64 notSent)
{
    return u"转发到 %1：%2 条已转发并扣费，%3 条未能转发。"_s.arg(
        shown(phone), QString::number(delivered), QString::number(notSent));
}

QString replySummary(const QString &phone, qint64 delivered, qint64 notSent)
{
    return u"向 %1 的自动回复：%2 条已发送并扣费，%3 条未能发送。"_s.arg(
        shown(phone), QString::number(delivered), QString::number(notSent));
}

QString handsetEmpty(const QString &phone)
{
    return u"手机 %1 没有收到短信。"_s.arg(shown(phone));
}

QString handsetHeader(const QString &phone, qsizetype count)
{
    return u"手机 %1 收到 %2 条短信：\n时间\t发送方\t内容"_s.arg(shown(phone),
                                                                 QString::number(count));
}

QString handsetLine(const QString &time, const QString &from, const QString &text)
{
    return u"%1\t%2\t%3"_s.arg(time, shown(from), shown(text));
}

QString accountLine(const QString &number, const QString &serviceNumber, const QString &mobile,
                    const QString &yuan, bool signedOn, const QString &forwarding,
                    const QString &autoReply, qint64 waiting)
{
    return QStringList { shown(number),
                         shown(serviceNumber),
                         mobile.isEmpty() ? NoValue : shown(mobile),
                         yuan,
                         signedOn ? SignedOn : SignedOff,
                         forwarding.isEmpty() ? NoValue : shown(forwarding),
                         autoReply.isEmpty() ? NoValue : shown(autoReply),
                         QString::number(waiting) }
        .join(u'\t');
}

QString listingTime(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC).toString(Qt::ISODate);
}

QString messagesHeader(qint64 count)
{
    return u"共 %1 条短信：\n编号\t提交时间\t帐户\t手机\t状态\t线路\t短信中心编号\t尝试次数\t原因\t内容"_s
        .arg(count);
}

QString messageLine(qint64 id, qint64 submittedAtMs, const QString &accountNo, const QString &phone,
                    const QString &state, const QString &link, const QStringList &smscIds,
                    int tries, const QString &reason, const QString &text)
{
    return QStringList { QString::number(id),
                         listingTime(submittedAtMs),
                         shown(accountNo),
                         shown(phone),
                         shown(state),
                         shownOrNone(link),
                         smscIds.isEmpty() ? NoEntry : shown(smscIds, u","_s),
                         QString::number(tries),
                         shownOrNone(reason),
                         shown(text) }
        .join(u'\t');
}

QString linkLine(const QString &link, const QString &state, const QString &standingIn,
                 std::optional<qint64> boundSinceMs, qint64 outstanding, qint64 sent,
                 qint64 received, const QString &process, qint64 updatedAtMs,
                 const QString &lastError)
{
    return QStringList { shown(link),
                         shown(state),
                         shownOrNone(standingIn),
                         boundSinceMs ? listingTime(*boundSinceMs) : NoEntry,
                         QString::number(outstanding),
                         QString::number(sent),
                         QString::number(received),
                         shown(process),
                         listingTime(updatedAtMs),
                         shownOrNone(lastError) }
        .join(u'\t');
}

QString unmatchedLine(qint64 id, qint64 atMs, const QString &link, const QString &kind,
                      const QString &source, const QString &destination, const QString &smscId,
                      const QString &state, const QString &text)
{
    return QStringList { QString::number(id), listingTime(atMs),  shown(link),
                         shown(kind),         shown(source),      shown(destination),
                         shownOrNone(smscId), shownOrNone(state), shown(text) }
        .join(u'\t');
}

QString callbackEventLine(qint64 id, qint64 atMs, const QString &accountNo, const QString &type,
                          qint64 subject, const QString &state, const QString &delivery,
                          qint64 attempts, const QString &lastError, const QString &url)
{
    return QStringList { QString::number(id), listingTime(atMs),         shown(accountNo),
                         shown(type),         QString::number(subject),  shownOrNone(state),
                         shown(delivery),     QString::number(attempts), shownOrNone(lastError),
                         shownOrNone(url) }
        .join(u'\t');
}

QString callbacksReplayed(qint64 count)
{
    return u"已安排重新发送 %1 个回调事件。"_s.arg(count);
}

QString replayNeedsOne()
{
    return u"callbacks replay 需要一个事件编号（callbacks 列表的第一列）或 --all，二者取其一"_s;
}

QString tokensNeedServer()
{
    return u"令牌是网关服务的，不在存储里：请用 --server 和运营令牌文件，"
           u"或在服务所在的主机上用 quillet-gatewayd --config 文件 token ..."_s;
}

QString badTokenName()
{
    return u"--name 需要 1 到 64 个可打印字符"_s;
}

QString badRole()
{
    return u"--role 只能为 console、operator 或 application"_s;
}

QString applicationNeedsAccount()
{
    return u"application 令牌需要 --account，写它所属帐户的注册号码"_s;
}

QString accountOnlyForApplication()
{
    return u"--account 只用于 application 令牌"_s;
}

QString tokenIssued(const QString &name, const QString &role)
{
    return u"已发行令牌“%1”（%2）。令牌只显示这一次："_s.arg(shown(name), role);
}

QString tokenRevoked(const QString &name)
{
    return u"已吊销令牌“%1”。"_s.arg(shown(name));
}

QString tokenNameTaken(const QString &name)
{
    return u"已有一个有效的令牌名为“%1”，请先吊销它"_s.arg(shown(name));
}

QString noSuchToken(const QString &name)
{
    return u"没有名为“%1”的有效令牌"_s.arg(shown(name));
}

QString noSuchTokenAccount(const QString &accountNo)
{
    return u"没有帐户 %1"_s.arg(shown(accountNo));
}

QString roleNotRemote(const QString &role)
{
    return u"网关服务不通过网络发行 %1 令牌，只发行 application 令牌；"
           u"请在服务所在的主机上用 quillet-gatewayd --config 文件 token issue 发行"_s.arg(
               shown(role));
}

QString notAnApplicationToken(const QString &name)
{
    return u"令牌“%1”不是 application 令牌，不能通过网络吊销；"
           u"请在服务所在的主机上用 quillet-gatewayd --config 文件 token revoke 吊销"_s.arg(
               shown(name));
}

QString tokenLine(const QString &name, const QString &role, const QString &accountNo,
                  qint64 issuedAtMs, std::optional<qint64> revokedAtMs)
{
    const QString state = revokedAtMs ? u"revoked "_s + listingTime(*revokedAtMs) : u"active"_s;
    return u"%1\t%2\t%3\t%4\t%5"_s.arg(shown(name), shown(role), shownOrNone(accountNo),
                                       listingTime(issuedAtMs), state);
}

QString unmatchedCleared(qint64 count)
{
    return u"已删除 %1 条对应不上的记录。"_s.arg(count);
}

QString smppCredentialsLine(const QString &systemId, const QString &password)
{
    return QStringList { shown(systemId), shown(password) }.join(u'\t');
}

QString smppSystemIdTaken(const QString &systemId)
{
    return u"系统标识“%1”已属于另一个帐户"_s.arg(shown(systemId));
}

QString smppNothingToRevoke(const QString &accountNo)
{
    return u"帐户 %1 没有 SMPP 凭据。"_s.arg(shown(accountNo));
}

QString smppRevoked(const QString &accountNo)
{
    return u"已撤销帐户 %1 的 SMPP 凭据，并结束了用它们绑定的连接。"_s.arg(shown(accountNo));
}

QString badSystemId(const QString &systemId)
{
    return u"系统标识“%1”无效：应为 1 到 15 个可打印的 ASCII 字符，不含空格"_s.arg(shown(systemId));
}

QString smppNeedsWord()
{
    return u"smpp 后面须写 set、revoke 或 binds"_s;
}

QString smppBindLine(qint64 id, const QString &accountNo, const QString &systemId,
                     const QString &mode, const QString &address, qint64 sinceMs, qint64 submitted,
                     qint64 receipts, qint64 arrivals, const QString &process)
{
    return QStringList { QString::number(id),
                         shown(accountNo),
                         shownOrNone(systemId),
                         shown(mode),
                         shown(address),
                         listingTime(sinceMs),
                         QString::number(submitted),
                         QString::number(receipts),
                         QString::number(arrivals),
                         shown(process) }
        .join(u'\t');
}

} // namespace ToolTexts
