#pragma once

#include <QString>

// Every fixed text of the console, in one place. The notices end in the full-width
// exclamation mark, the balance prefix in the full-width colon; the listing labels and
// the forwarding prefix use the ASCII colon.
namespace ConsoleTexts {
using namespace Qt::StringLiterals;

inline const QString NoticeTitle = u"Brindlet"_s;

// The captions of the command buttons (Console::commands()).
inline const QString RegisterButton = u"注册"_s; // Command1
inline const QString DeregisterButton = u"注销"_s; // Command2
inline const QString QueryBalanceButton = u"查询余额"_s; // Command3
inline const QString SendMessageButton = u"发送短信"_s; // Command4
inline const QString RechargeButton = u"帐户充值"_s; // Command5
inline const QString ScheduledMessageButton = u"定时短信"_s; // Command6
inline const QString ReceiveMessagesButton = u"接收短信"_s; // Command7
inline const QString ApplyForwardingButton = u"申请转发"_s; // Command8
inline const QString CancelForwardingButton = u"取消转发"_s; // Command9
inline const QString GetForwardingButton = u"获取转发"_s; // Command10
inline const QString ApplyAutoReplyButton = u"申请自动回复"_s; // Command11
inline const QString CancelAutoReplyButton = u"取消自动回复"_s; // Command12
inline const QString GetAutoReplyButton = u"获取自动回复"_s; // Command13
inline const QString ChangePasswordButton = u"更改密码"_s; // Command14
inline const QString ReceiveMessagesNetButton = u"接收短信(网络版)"_s; // Command15

inline const QString RegisterSucceeded = u"注册成功！"_s;
inline const QString RegisterFailed = u"注册失败！"_s;
inline const QString DeregisterSucceeded = u"注销成功！"_s;
inline const QString DeregisterFailed = u"注销失败！"_s;
inline const QString ChangePasswordSucceeded = u"更改成功！"_s;
inline const QString ChangePasswordFailed = u"更改失败！"_s;

inline const QString BalancePrefix = u"余额数："_s;
inline const QString RechargeSucceeded = u"充值成功！"_s;
inline const QString RechargeFailed = u"充值失败！"_s;

inline const QString SendMessageText = u"VB测试短信发送!"_s;
inline const QString ScheduledMessageText = u"使用SDK发送定时短信"_s;
inline const QString SendSucceeded = u"发送成功！"_s;
inline const QString SendFailed = u"发送失败！"_s;
// The send time as the gateway receives it: the simplified-Chinese default
// date-and-time text, whatever the machine's own locale.
inline const QString SendTimeFormat = u"yyyy/M/d H:mm:ss"_s;

inline const QString ReceiveHeader = u"接收短信"_s;
inline const QString TotalLabel = u"总数:"_s;
inline const QString CurrentLabel = u"当前数:"_s;
inline const QString ServiceNumberLabel = u"特服号:"_s;
inline const QString SenderLabel = u"发送号码:"_s;
inline const QString ContentLabel = u"发送内容:"_s;
inline const QString SentTimeLabel = u"发送时间:"_s;
inline const QString LineBreak = u"\r\n"_s;
QString receiveStopped(int calls);

inline const QString ForwardingSucceeded = u"设置成功！"_s;
inline const QString ForwardingFailed = u"设置失败！"_s;
inline const QString ForwardingPrefix = u"获取转发的电话为:"_s;

inline const QString AutoReplyText = u"SDK申请转发内容。"_s;
inline const QString AutoReplySucceeded = u"申请回复成功！"_s;
inline const QString AutoReplyFailed = u"申请回复失败！"_s;
inline const QString CancelAutoReplySucceeded = u"取消自动回复成功！"_s;
inline const QString CancelAutoReplyFailed = u"取消失败！"_s;

// Register's fixed sample particulars.
inline const QString SampleProvince = u"北京"_s;
inline const QString SampleCity = u"北京"_s;
inline const QString SampleTrade = u"计算机软件"_s;
inline const QString SampleCompany = u"示例公司"_s;
inline const QString SampleContact = u"示例人"_s;
inline const QString SampleTelephone = u"010-12345678"_s;
inline const QString SampleEmail = u"sample@example.com"_s;
inline const QString SampleFax = u"010-87654321"_s;
inline const QString SampleAddress = u"北京市中关村"_s;
inline const QString SamplePostcode = u"100086"_s;

// The error report: "错误 <decimal> (0x<hex>)：<description>".
QString errorReport(qint32 code, const QString &description);
} // namespace ConsoleTexts
