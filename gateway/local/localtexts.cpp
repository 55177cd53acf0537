#include "localtexts.h"

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

QString arrivalCountOutOfRange(qint64 count, qint64 most)
{
    return u"短信条数 %1 不在 1 到 %2 之间，没有短信到达"_s.arg(QString::number(count),
                                                                QString::number(most));
}

QString forwardedText(const QString &sender, const QString &text)
{
    return u"【转自%1】%2"_s.arg(sender, text);
}

} // namespace LocalTexts
