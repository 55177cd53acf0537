#pragma once

#include <QString>

// Every fixed text of the window layer, in one place: the program's identity, the
// window caption and the captions of the controls. The notice title belongs to the
// console (ConsoleTexts::NoticeTitle), since every command's notice carries it.
namespace UiTexts {
using namespace Qt::StringLiterals;

// The program's identity.
inline const QString ApplicationName = u"Quillet"_s;
inline const QString ApplicationVersion = u"1.00"_s;
inline const QString OrganizationName = u"Quillet"_s;
inline const QString OrganizationDomain = u"quillet.org"_s;
// The desktop entry's id (without ".desktop"), so the session matches window and entry.
inline const QString DesktopFileName = u"org.quillet.Quillet"_s;
// Qt's own translations (standard buttons and dialogs) come from this catalogue.
inline const QString QtCatalogue = u"qtbase"_s;
inline const QString CatalogueSeparator = u"_"_s;

inline const QString WindowTitle = u"Quillet"_s;

// Captions of the controls, in the order of the control table.
inline const QString AccountFormatHint = u"SDK格式：XXX-XXX-XXX-XXXXX"_s; // Label1
inline const QString AccountNoLabel = u"注册号码"_s; // Label2(0)
inline const QString AccountPasswordLabel = u"注册密码"_s; // Label2(1)
inline const QString PhoneNoLabel = u"电话号码"_s; // Label2(2)
inline const QString CardNoLabel = u"充值卡号"_s; // Label2(3)
inline const QString CardPasswordLabel = u"充值密码"_s; // Label2(4)
inline const QString NewPasswordLabel = u"新密码"_s; // Label2(5)
inline const QString StandaloneGroup = u"单机操作"_s; // Frame1
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
inline const QString NetworkGroup = u"网络版"_s; // Frame2
inline const QString ReceiveMessagesNetButton = u"接收短信(网络版)"_s; // Command15

// Messages of the developer tools (screenshot), never shown by the window itself.
inline const QString ScreenshotUsage = u"usage: quillet-screenshot FILE.png"_s;
inline const QString NoChineseFont
    = u"no font for simplified Chinese found by fontconfig (install fonts-wqy-microhei)"_s;
inline const QString ScreenshotFailed = u"cannot write the screenshot to %1"_s;
inline const QString TranslationMissing = u"Qt's simplified-Chinese translations not found in %1"_s;
} // namespace UiTexts
