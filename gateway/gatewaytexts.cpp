#include "gateway/gatewaytexts.h"

using namespace Qt::StringLiterals;

namespace GatewayTexts {

QString textKind()
{
    return u"文本"_s;
}

QString tableKind()
{
    return u"二维表"_s;
}

QString typeMismatch(const QString &expectedKind)
{
    return u"类型不匹配：此处需要%1"_s.arg(expectedKind);
}

QString subscriptOutOfRange(qsizetype row, qsizetype column, qsizetype rows, qsizetype columns)
{
    return u"下标越界：读取第 %1 行第 %2 列，表只有 %3 行 %4 列（从 0 开始计数）"_s.arg(row)
        .arg(column)
        .arg(rows)
        .arg(columns);
}

QString tableSizeRefused(qsizetype rows, qsizetype columns, qsizetype maxCells)
{
    return u"拒绝创建 %1 行 %2 列的表：行列数不能为负，单元格总数不能超过 %3"_s.arg(rows)
        .arg(columns)
        .arg(maxCells);
}

QString notInstalled(const QString &classId, const QStringList &folders,
                     const QStringList &unreadable)
{
    QString text = u"没有安装短信网关组件（类标识 %1）。查找过的文件夹：%2"_s.arg(
        classId, folders.isEmpty() ? u"（无）"_s : folders.join(u"；"_s));
    if (!unreadable.isEmpty())
        text += u"。无法读取的插件：%1"_s.arg(unreadable.join(u"；"_s));
    return text;
}

QString loadFailed(const QString &file, const QString &reason)
{
    return u"无法加载短信网关组件 %1：%2"_s.arg(file, reason);
}

QString notAComponent(const QString &file)
{
    return u"%1 声明了短信网关组件，却没有提供网关组件接口"_s.arg(file);
}

QString creationFailed(const QString &file, const QString &reason)
{
    return u"短信网关组件 %1 未能创建实例：%2"_s.arg(file, reason);
}

QString noInstance()
{
    return u"组件报告成功，却没有给出实例"_s;
}

QString doesNotDeclare(const QString &file, const QString &classId)
{
    if (classId.isEmpty())
        return u"%1 不是短信网关组件：它没有声明网关客户端接口"_s.arg(file);
    return u"%1 没有声明类标识为 %2 的短信网关组件"_s.arg(file, classId);
}

QString passedOver(const QStringList &files)
{
    return u"。声明同一类标识、未被选用的组件：%1"_s.arg(files.join(u"；"_s));
}

QString settingsUnreadable(const QString &settingsFile)
{
    return u"无法读取组件设置 %1：文件格式不对"_s.arg(settingsFile);
}

QString settingNamesMissing(const QString &settingsFile, const QString &classId,
                            const QString &named, const QStringList &folders)
{
    return u"组件设置 %1 为类标识 %2 指定的组件「%3」不存在。查找过的文件夹：%4"_s.arg(
        settingsFile, classId, named, folders.isEmpty() ? u"（无）"_s : folders.join(u"；"_s));
}

} // namespace GatewayTexts
