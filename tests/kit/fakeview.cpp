#include "tests/kit/fakeview.h"

#include "tests/kit/fakegateway.h"

using namespace Qt::StringLiterals;

FakeView::FakeView(GatewayScript *script)
    : m_script(script)
{
}

void FakeView::showNotice(const QString &text)
{
    notices.append(text);
    if (m_script)
        m_script->trace.append(u"notice:"_s + text);
}

void FakeView::setOutputText(const QString &text)
{
    outputs.append(text);
    pane = text;
    if (m_script)
        m_script->trace.append(u"output:"_s + text);
}

void FakeView::reportError(const Status &status)
{
    errors.append(status);
    if (m_script)
        m_script->trace.append(u"error:"_s + QString::number(status.code()));
}
