#include "tooltexts.h"

using namespace Qt::StringLiterals;

namespace ToolTexts {

QString help()
{
    return u"用法：quillet-gateway [--store 路径] 命令 [选项]\n"
           u"\n"
           u"本地短信网关的运营工具。默认使用当前用户的存储文件"
           u"（用户数据文件夹下的 quillet-gateway/gateway.sqlite3）。\n"
           u"\n"
           u"命令：\n"
           u"  card issue --value 元 [--count 张数]\n"
           u"      发行充值卡，打印卡号、密码和面值。面值最多两位小数，张数 1 到 100，默认 1。\n"
           u"  mo --from 手机号 --to 帐户 [--ext 扩展码] 短信内容\n"
           u"      模拟手机向帐户的特服号发送一条短信。帐户可写注册号码或特服号；\n"
           u"      内容以 - 开头时，在它前面写 --。\n"
           u"  handset 手机号\n"
           u"      列出该手机收到的短信。\n"
           u"  accounts\n"
           u"      列出所有帐户（不显示密码）。\n"
           u"\n"
           u"选项：\n"
           u"  --store 路径   使用另一个存储文件\n"
           u"  -h, --help     显示本帮助\n"
           u"\n"
           u"退出码：0 成功，1 失败，2 用法错误。\n"_s;
}

QString usageHint()
{
    return u"用 quillet-gateway --help 查看用法。"_s;
}

QString noCommand()
{
    return u"没有给出命令。"_s;
}

QString unknownCommand(const QString &command)
{
    return u"未知命令：%1"_s.arg(command);
}

QString unknownOptions(const QStringList &names)
{
    return u"未知选项：%1"_s.arg(names.join(u"、"_s));
}

QString badOptionUse(const QString &detail)
{
    return u"选项用法有误（%1）"_s.arg(detail);
}

QString optionNotForCommand(const QString &option, const QString &command)
{
    return u"命令 %1 不接受选项 --%2"_s.arg(command, option);
}

QString missingOption(const QString &option)
{
    return u"缺少选项 --%1"_s.arg(option);
}

QString extraArguments(const QStringList &arguments)
{
    return u"多余的参数：%1"_s.arg(arguments.join(u' '));
}

QString missingArgument(const QString &what)
{
    return u"缺少%1"_s.arg(what);
}

QString badValue(const QString &text, const QString &maxYuan)
{
    return u"面值“%1”无效：应为大于 0、不超过 %2 的金额（元），最多两位小数"_s.arg(text, maxYuan);
}

QString badCount(const QString &text, int max)
{
    return u"张数“%1”无效：应为 1 到 %2 之间的整数"_s.arg(text).arg(max);
}

QString badPhone(const QString &text)
{
    return u"手机号“%1”无效：应为 3 到 20 位数字，前面可带 +"_s.arg(text);
}

QString badExtension(const QString &text)
{
    return u"扩展码“%1”无效：应为 1 到 6 位数字"_s.arg(text);
}

QString badText()
{
    return u"短信内容无效：不能为空，也不能超过 255 条短信的长度"_s;
}

QString unknownAccount(const QString &to)
{
    return u"没有注册号码或特服号为 %1 的帐户"_s.arg(to);
}

QString noStorePath()
{
    return u"--store 需要一个路径"_s;
}

QString cardHeader()
{
    return u"卡号\t密码\t面值（元）"_s;
}

QString cardLine(const QString &number, const QString &password, const QString &yuan)
{
    return u"%1\t%2\t%3"_s.arg(number, password, yuan);
}

QString cardsIssued(qsizetype count)
{
    return u"已发行 %1 张充值卡。密码只显示这一次，请妥善保管。"_s.arg(count);
}

QString moArrived(const QString &accountNo, const QString &serviceNumber)
{
    return u"短信已送达帐户 %1（特服号 %2），等待接收。"_s.arg(accountNo, serviceNumber);
}

QString forwardDelivered(const QString &phone)
{
    return u"已转发到 %1，已扣费。"_s.arg(phone);
}

QString forwardNotSentBalance(const QString &phone)
{
    return u"未能转发到 %1：余额不足。"_s.arg(phone);
}

QString forwardNotSentTooLong(const QString &phone)
{
    return u"未能转发到 %1：加上来源后内容过长。"_s.arg(phone);
}

QString replyDelivered(const QString &phone)
{
    return u"已向 %1 发送自动回复，已扣费。"_s.arg(phone);
}

QString replyNotSentBalance(const QString &phone)
{
    return u"未能向 %1 发送自动回复：余额不足。"_s.arg(phone);
}

QString replyNotSentTooLong(const QString &phone)
{
    return u"未能向 %1 发送自动回复：内容过长。"_s.arg(phone);
}

QString handsetEmpty(const QString &phone)
{
    return u"手机 %1 没有收到短信。"_s.arg(phone);
}

QString handsetHeader(const QString &phone, qsizetype count)
{
    return u"手机 %1 收到 %2 条短信：\n时间\t发送方\t内容"_s.arg(phone).arg(count);
}

QString handsetLine(const QString &time, const QString &from, const QString &text)
{
    return u"%1\t%2\t%3"_s.arg(time, from, text);
}

QString noAccounts()
{
    return u"还没有帐户。"_s;
}

QString accountsHeader()
{
    return u"帐户\t特服号\t手机\t余额（元）\t状态\t转发到\t自动回复\t待接收短信"_s;
}

QString accountLine(const QString &number, const QString &serviceNumber, const QString &mobile,
                    const QString &yuan, bool signedOn, const QString &forwarding,
                    const QString &autoReply, qint64 waiting)
{
    const QString none = u"（无）"_s;
    return QStringList { number,
                         serviceNumber,
                         mobile.isEmpty() ? none : mobile,
                         yuan,
                         signedOn ? u"已登录"_s : u"已注销"_s,
                         forwarding.isEmpty() ? none : forwarding,
                         autoReply.isEmpty() ? none : autoReply,
                         QString::number(waiting) }
        .join(u'\t');
}

} // namespace ToolTexts
