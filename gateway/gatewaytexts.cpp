#include "gatewaytexts.h"

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

} // namespace GatewayTexts
