#include "tooltexts.h"

using namespace Qt::StringLiterals;

namespace ToolTexts {

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

QString unknownAccount(const QString &to)
{
    return u"没有注册号码或特服号为 %1 的帐户"_s.arg(to);
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

QString accountLine(const QString &number, const QString &serviceNumber, const QString &mobile,
                    const QString &yuan, bool signedOn, const QString &forwarding,
                    const QString &autoReply, qint64 waiting)
{
    return QStringList { number,
                         serviceNumber,
                         mobile.isEmpty() ? NoValue : mobile,
                         yuan,
                         signedOn ? SignedOn : SignedOff,
                         forwarding.isEmpty() ? NoValue : forwarding,
                         autoReply.isEmpty() ? NoValue : autoReply,
                         QString::number(waiting) }
        .join(u'\t');
}

} // namespace ToolTexts
