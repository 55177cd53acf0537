#include "gateway/local/localtexts.h"

using namespace Qt::StringLiterals;

namespace LocalTexts {

QString storeFailed(const QString &file, const QString &reason)
{
    return u"本地短信网关的存储文件 %1 无法使用：%2"_s.arg(file, reason);
}

QString noDataFolder()
{
    return u"系统没有提供用户数据文件夹"_s;
}

QString cannotCreateFolder(const QString &folder, const QString &why)
{
    return u"无法创建文件夹 %1（%2）"_s.arg(folder, why);
}

QString notAFolder(const QString &folder)
{
    return u"%1 已存在，但不是文件夹"_s.arg(folder);
}

QString cannotCreateFile(const QString &why)
{
    return u"无法创建文件（%1）"_s.arg(why);
}

QString notAFile()
{
    return u"该路径已存在，但不是普通文件"_s;
}

QString cannotReadFile(const QString &why)
{
    return u"无法读取文件（%1）"_s.arg(why);
}

QString cannotOpen(const QString &why)
{
    return u"无法打开数据库（%1）"_s.arg(why);
}

QString notSqlite()
{
    return u"这不是 SQLite 数据库文件，或者文件头已损坏；文件未作任何改动"_s;
}

QString notAQuilletStore()
{
    return u"这是一个 SQLite 数据库，但不是 Quillet 短信网关的存储；文件未作任何改动"_s;
}

QString corrupt(const QString &detail)
{
    return u"数据库已损坏（完整性检查：%1）；文件未作任何改动，请从备份恢复"_s.arg(detail);
}

QString newerSchema(int found, int supported)
{
    return u"存储的结构版本为 %1，高于本程序支持的版本 %2，请使用更新版本的程序；文件未作任何改动"_s
        .arg(found)
        .arg(supported);
}

QString badSchemaVersion(const QString &found)
{
    return u"存储的结构版本记录无效（%1）；文件未作任何改动"_s.arg(found);
}

QString diskFull()
{
    return u"磁盘已满，操作未执行，数据未改变"_s;
}

QString busy()
{
    return u"存储正被其他程序长时间占用，操作未执行，请稍后重试"_s;
}

QString accessDenied(const QString &detail)
{
    return u"没有读写权限（%1）"_s.arg(detail);
}

QString databaseError(const QString &detail)
{
    return u"数据库错误，操作未执行（%1）"_s.arg(detail);
}

QString hashingFailed()
{
    return u"内存不足，无法计算密码摘要，操作未执行"_s;
}

QString randomFailed()
{
    return u"无法取得随机数，操作未执行"_s;
}

QString badCursor()
{
    return u"列表的续取位置无效"_s;
}

QString badSystemId(const QString &systemId)
{
    return u"SMPP 系统标识“%1”无效：应为 1 到 15 个可打印的 ASCII 字符，不含空格"_s.arg(systemId);
}

QString notADeliveryState(const QString &given)
{
    return u"回调事件的投递状态“%1”无效：只能为空（未送达的全部）或 dead"_s.arg(given);
}

QString unknownMessageState(const QString &state, const QStringList &states)
{
    return u"短信状态“%1”无效，应为以下之一：%2"_s.arg(state, states.join(u"、"_s));
}

QString badAccountNumber(const QString &text)
{
    return u"帐户“%1”无效：应为 XXX-XXX-XXX-XXXXX 的形式，X 为数字或大写字母"_s.arg(text);
}

QString timeOutOfRange(qint64 ms)
{
    return u"时间 %1（自 1970 年起的毫秒数）不在 1970 年到 9999 年之间"_s.arg(ms);
}

QString arrivalCountOutOfRange(qint64 count, qint64 most)
{
    return u"短信条数 %1 不在 1 到 %2 之间，没有短信到达"_s.arg(QString::number(count),
                                                                QString::number(most));
}

QString forwardedText(const QString &sender, const QString &text)
{
    return u"【转自%1】%2"_s.arg(sender, text);
}

QString waitingPart(int part, int total, int reference)
{
    return u"part %1/%2 of reference %3, never completed"_s.arg(part).arg(total).arg(reference);
}

QString notSentInTime()
{
    return u"not handed to an SMSC within its validity"_s;
}

QString noSmscId(int part)
{
    return u"part %1 taken without a message id"_s.arg(part);
}

QString smscIdHeldBy(int part, qint64 message)
{
    return u"part %1 taken with the message id of message %2"_s.arg(part).arg(message);
}

QString badStoreUrl(const QString &url, const QString &why)
{
    return u"存储地址“%1”无效：%2"_s.arg(url, why);
}

QString inSetting(const QString &setting, const QString &description)
{
    return u"%1：%2"_s.arg(setting, description);
}

QString passwordInStoreUrl()
{
    return u"存储地址中不能包含密码（它会留在设置文件、环境变量或命令行里）；"
           u"请把密码写进 libpq 的密码文件（PGPASSFILE，默认 ~/.pgpass）"
           u"或服务文件（PGSERVICEFILE，地址中用 service=名称）"_s;
}

QString emptyStoreUrl()
{
    return u"地址为空"_s;
}

QString unknownStoreScheme(const QString &scheme)
{
    return u"不支持的存储地址类型“%1:”，只能是 sqlite:路径 或 postgresql://"_s.arg(scheme);
}

QString noSqlitePath()
{
    return u"sqlite: 后面缺少文件路径"_s;
}

QString postgresqlNeedsSlashes()
{
    return u"PostgreSQL 地址应写成 postgresql://用户@主机:端口/数据库"_s;
}

QString urlSyntax()
{
    return u"格式错误，应写成 postgresql://用户@主机:端口/数据库?参数=值"_s;
}

QString urlFragment()
{
    return u"地址中不能有“#”片段"_s;
}

QString badPort(const QString &port)
{
    return u"端口“%1”不在 1 到 65535 之间"_s.arg(port);
}

QString badDatabaseName(const QString &name)
{
    return u"数据库名“%1”中不能有“/”"_s.arg(name);
}

QString controlCharacter()
{
    return u"地址中不能有控制字符"_s;
}

QString repeatedParameter(const QString &name)
{
    return u"参数 %1 出现了不止一次"_s.arg(name);
}

QString badSslmode(const QString &value, const QStringList &allowed)
{
    return u"sslmode“%1”无效，可用的值：%2"_s.arg(value, allowed.join(u"、"_s));
}

QString badServiceName(const QString &value)
{
    return u"服务名“%1”无效（只能由字母、数字、“_”“.”“-”组成，最多 63 个字符）"_s.arg(value);
}

QString badConnectTimeout(const QString &value, int most)
{
    return u"connect_timeout“%1”应是 1 到 %2 之间的秒数"_s.arg(value).arg(most);
}

QString unknownParameter(const QString &name, const QStringList &known)
{
    return u"不认识的参数“%1”，可用的参数：%2"_s.arg(name, known.join(u"、"_s));
}

QString unreadableSettings(const QString &file)
{
    return u"设置文件 %1 无法读取或格式错误"_s.arg(file);
}

QString databaseFailed(const QString &database, const QString &reason)
{
    return u"本地短信网关的数据库 %1 无法使用：%2"_s.arg(database, reason);
}

QString serverUnreachable(const QString &detail)
{
    return u"无法连接数据库服务器，或连接已中断（%1）；操作未完成的部分已由服务器撤销，"
           u"下次调用时会重新连接"_s.arg(detail);
}

QString noPostgresqlDriver()
{
    return u"缺少 Qt 的 PostgreSQL 驱动（Debian 软件包 libqt6sql6-psql）"_s;
}

QString notAQuilletSchema()
{
    return u"数据库中已有名为 quillet 的模式，但它不是 Quillet 短信网关的存储；未作任何改动"_s;
}

QString nulInText()
{
    return u"文本中含有空字符（U+0000），PostgreSQL 存储无法保存它；操作未执行，数据未改变"_s;
}

} // namespace LocalTexts
