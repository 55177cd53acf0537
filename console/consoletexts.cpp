#include "console/consoletexts.h"

namespace ConsoleTexts {

QString receiveStopped(int calls)
{
    return u"已调用接收 %1 次，本次到此停止；再按一次可继续接收"_s.arg(calls);
}

QString errorReport(qint32 code, const QString &description)
{
    const QString hex
        = QString::number(static_cast<quint32>(code), 16).toUpper().rightJustified(8, u'0');
    return u"错误 %1（0x%2）：%3"_s.arg(code).arg(hex, description);
}

} // namespace ConsoleTexts
