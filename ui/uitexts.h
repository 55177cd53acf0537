#pragma once

#include <QString>

// Every fixed text of the window layer, in one place: the program's identity, the
// window caption and the captions of the labels and group boxes. The notice title belongs to the
// console (ConsoleTexts::NoticeTitle), since every command's notice carries it.
namespace UiTexts {
using namespace Qt::StringLiterals;

// The program's identity.
inline const QString ApplicationName = u"Quillet"_s;
inline const QString ApplicationVersion = QStringLiteral(QUILLET_VERSION);
inline const QString OrganizationName = u"Quillet"_s;
inline const QString OrganizationDomain = u"quillet.org"_s;
// The desktop entry's id (without ".desktop"), so the session matches window and entry.
inline const QString DesktopFileName = u"org.quillet.Quillet"_s;
// Qt's own translations (standard buttons and dialogs) come from this catalogue.
inline const QString QtCatalogue = u"qtbase"_s;
inline const QString CatalogueSeparator = u"_"_s;

inline const QString WindowTitle = u"Quillet"_s;

// Captions of the labels and group boxes; the buttons' captions are the console's
// (ConsoleTexts), next to the commands they run.
inline const QString AccountFormatHint = u"SDK格式：XXX-XXX-XXX-XXXXX"_s; // Label1
inline const QString AccountNoLabel = u"注册号码"_s; // Label2(0)
inline const QString AccountPasswordLabel = u"注册密码"_s; // Label2(1)
inline const QString PhoneNoLabel = u"电话号码"_s; // Label2(2)
inline const QString CardNoLabel = u"充值卡号"_s; // Label2(3)
inline const QString CardPasswordLabel = u"充值密码"_s; // Label2(4)
inline const QString NewPasswordLabel = u"新密码"_s; // Label2(5)
inline const QString StandaloneGroup = u"单机操作"_s; // Frame1
inline const QString NetworkGroup = u"网络版"_s; // Frame2

// The command line: the two options Quillet answers without opening its window, and what
// they print.
inline const QString HelpOption = u"--help"_s;
inline const QString VersionOption = u"--version"_s;
inline const QString CommandLineHelp
    = u"Usage: Quillet [--help | --version]\n"
      u"Opens the Quillet console, one window for the SMS gateway client component\n"
      u"installed on this machine. Any other argument is ignored.\n"
      u"The component is chosen in quillet/components.conf under the user's config\n"
      u"folder; see Quillet(1).\n"
      u"  --help     show this help and exit\n"
      u"  --version  show the version and exit\n"_s;
inline const QString VersionLine = u"Quillet %1\n"_s;

// Faults in the window's own table: a button without a console command or the reverse.
inline const QString ButtonWithoutCommand = u"the console has no command for the button %1"_s;
inline const QString CommandWithoutButton = u"the window has no button for the command %1"_s;

// Messages of the developer tools (screenshot), never shown by the window itself.
inline const QString ScreenshotUsage = u"usage: quillet-screenshot FILE.png"_s;
inline const QString NoChineseFont
    = u"no font for simplified Chinese found by fontconfig (install fonts-wqy-microhei)"_s;
inline const QString ScreenshotFailed = u"cannot write the screenshot to %1"_s;
inline const QString TranslationMissing = u"Qt's simplified-Chinese translations not found in %1"_s;
} // namespace UiTexts
