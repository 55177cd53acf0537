#include "gateway/remote/remotetexts.h"

#include <QHash>

using namespace Qt::StringLiterals;

// In Chinese, as the local component's: these reach the console window. The service's
// own English message (the API's) is shown only for a refusal this component does not
// know by its code.
namespace RemoteTexts {

namespace {

QString seconds(int ms)
{
    return QString::number(double(ms) / 1000.0, 'g', 3);
}

} // namespace

QString noSettings(const QString &file)
{
    return u"远程网关尚未设置：%1 中没有网关服务的地址（url）"_s.arg(file);
}

QString badUrl(const QString &url)
{
    return u"远程网关的服务地址“%1”不是 http 或 https 地址"_s.arg(url);
}

QString plainHttpOffLoopback(const QString &host)
{
    return u"远程网关不会以明文把令牌发送到 %1：请使用 https"_s.arg(host);
}

QString unreadableToken(const QString &file, const QString &why)
{
    return u"无法读取远程网关的令牌文件 %1：%2"_s.arg(file, why);
}

QString tokenFileOpen(const QString &file)
{
    return u"远程网关的令牌文件 %1 可被其他用户读取，请将其权限设为 0600"_s.arg(file);
}

QString unreadableCa(const QString &file)
{
    return u"无法从远程网关的 CA 文件 %1 读取证书"_s.arg(file);
}

QString badTimeout(const QString &key)
{
    return u"远程网关的设置 %1 必须是 1 到 600000 之间的毫秒数"_s.arg(key);
}

QString busy()
{
    return u"另一个对网关服务的调用尚未结束"_s;
}

QString closedDuringCall()
{
    return u"调用期间网关已被关闭"_s;
}

QString connectTimeout(const QString &url, int ms)
{
    return u"%2 秒内未能连接到网关服务 %1"_s.arg(url, seconds(ms));
}

QString callTimeout(const QString &url, int ms)
{
    return u"网关服务 %1 在 %2 秒内没有答复"_s.arg(url, seconds(ms));
}

QString refused(const QString &url)
{
    return u"网关服务 %1 拒绝了连接（服务是否在运行？）"_s.arg(url);
}

QString tlsFailed(const QString &url, const QString &why)
{
    return u"与网关服务 %1 的 TLS 连接失败：%2"_s.arg(url, why);
}

QString transportFailed(const QString &url, const QString &why)
{
    return u"对网关服务 %1 的调用失败：%2"_s.arg(url, why);
}

QString httpFailed(const QString &url, int status, const QString &code, const QString &message)
{
    // What each refusal of the service means to the console's user.
    static const QHash<QString, QString> meanings = {
        { u"unauthorized"_s, u"令牌无效，需要有效的令牌"_s },
        { u"forbidden"_s, u"该令牌无权进行此操作"_s },
        { u"too_many_failures"_s, u"失败次数过多，请稍后重试"_s },
        { u"store_unavailable"_s, u"网关服务的存储暂时无法使用，操作未执行"_s },
        { u"stopping"_s, u"网关服务正在停止，操作未执行"_s },
        { u"key_reused"_s, u"同一请求键已用于另一个请求"_s },
        { u"idempotency_key"_s, u"请求键缺失或无效"_s },
        { u"malformed_json"_s, u"网关服务无法读取请求"_s },
        { u"invalid_field"_s, u"请求中有无效的字段"_s },
        { u"content_too_large"_s, u"请求过大"_s },
        { u"unsupported_media_type"_s, u"请求的格式不被接受"_s },
        { u"method_not_allowed"_s, u"网关服务不接受这种请求方式"_s },
        { u"not_found"_s, u"网关服务没有这个操作"_s },
    };
    return u"网关服务 %1 答复 %2：%3"_s.arg(url).arg(status).arg(meanings.value(code, message));
}

QString malformedAnswer(const QString &url)
{
    return u"网关服务 %1 的答复无法读取"_s.arg(url);
}

QString answerTooLarge(const QString &url)
{
    return u"网关服务 %1 的答复超过了本组件接受的大小"_s.arg(url);
}

QString answerInChunks(const QString &url)
{
    return u"网关服务 %1 分块发送了答复而未给出长度；本组件只读取完整的答复"_s.arg(url);
}

} // namespace RemoteTexts
