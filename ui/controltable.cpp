#include "controltable.h"

#include "uitexts.h"

using namespace Qt::StringLiterals;

QRect ControlRow::toPixels(const QRect &twips)
{
    const auto px = [](int value) {
        return (value + (value >= 0 ? TwipsPerPixel / 2 : -TwipsPerPixel / 2)) / TwipsPerPixel;
    };
    return QRect(px(twips.left()), px(twips.top()), px(twips.width()), px(twips.height()));
}

QSize ControlRow::windowTwips()
{
    return QSize(6975, 6270);
}

const QList<ControlRow> &ControlRow::table()
{
    using K = Kind;
    using namespace UiTexts;
    const QString window;
    const QString frame1 = u"Frame1"_s;
    const QString frame2 = u"Frame2"_s;
    // clang-format off
    static const QList<ControlRow> controls = {
        // name             idx kind           container caption                  buddy        left  top   width height tab command
        {u"Label1"_s,       -1, K::Label,      window, AccountFormatHint,        QString(),  {1680,  120, 3135,  255},  1, nullptr},
        {u"Label2"_s,        0, K::Label,      window, AccountNoLabel,           u"Text1"_s, { 600,  480,  735,  255},  6, nullptr},
        {u"Label2"_s,        1, K::Label,      window, AccountPasswordLabel,     u"Text2"_s, { 600,  840,  735,  255},  7, nullptr},
        {u"Label2"_s,        2, K::Label,      window, PhoneNoLabel,             u"Text3"_s, {3840,  480,  735,  255},  8, nullptr},
        {u"Label2"_s,        3, K::Label,      window, CardNoLabel,              u"Text4"_s, {3840,  840,  735,  255}, 14, nullptr},
        {u"Label2"_s,        4, K::Label,      window, CardPasswordLabel,        u"Text5"_s, {3840, 1200,  735,  375}, 15, nullptr},
        {u"Label2"_s,        5, K::Label,      window, NewPasswordLabel,         u"Text6"_s, { 600, 1200,  735,  255}, 27, nullptr},
        {u"Text1"_s,        -1, K::InputBox,   window, QString(),                QString(),  {1560,  480, 1695,  270},  9, nullptr},
        {u"Text2"_s,        -1, K::InputBox,   window, QString(),                QString(),  {1560,  840, 1695,  270}, 10, nullptr},
        {u"Text3"_s,        -1, K::InputBox,   window, QString(),                QString(),  {4680,  480, 1695,  270}, 11, nullptr},
        {u"Text4"_s,        -1, K::InputBox,   window, QString(),                QString(),  {4680,  840, 1695,  270}, 16, nullptr},
        {u"Text5"_s,        -1, K::InputBox,   window, QString(),                QString(),  {4680, 1200, 1695,  270}, 17, nullptr},
        {u"Text6"_s,        -1, K::InputBox,   window, QString(),                QString(),  {1560, 1200, 1695,  270}, 28, nullptr},
        {frame1,            -1, K::GroupBox,   window, StandaloneGroup,          QString(),  { 240, 1560, 6495, 1815},  0, nullptr},
        {u"Command1"_s,     -1, K::Button,     frame1, RegisterButton,           QString(),  { 360,  360, 1095,  375},  2, &Console::registerAccount},
        {u"Command2"_s,     -1, K::Button,     frame1, DeregisterButton,         QString(),  {1560,  360, 1095,  375},  4, &Console::deregister},
        {u"Command3"_s,     -1, K::Button,     window, QueryBalanceButton,       QString(),  {3000, 1920, 1095,  375},  3, &Console::queryBalance},
        {u"Command4"_s,     -1, K::Button,     window, SendMessageButton,        QString(),  {4200, 1920, 1095,  375},  5, &Console::sendMessage},
        {u"Command5"_s,     -1, K::Button,     frame1, RechargeButton,           QString(),  {5160,  360, 1095,  375}, 13, &Console::recharge},
        {u"Command6"_s,     -1, K::Button,     frame1, ScheduledMessageButton,   QString(),  { 360,  840, 1095,  375}, 18, &Console::sendScheduledMessage},
        {u"Command7"_s,     -1, K::Button,     frame1, ReceiveMessagesButton,    QString(),  {1560,  840, 1095,  375}, 19, &Console::receiveMessages},
        {u"Command8"_s,     -1, K::Button,     frame1, ApplyForwardingButton,    QString(),  {2760,  840, 1095,  375}, 20, &Console::applyForwarding},
        {u"Command9"_s,     -1, K::Button,     frame1, CancelForwardingButton,   QString(),  {3960,  840, 1095,  375}, 21, &Console::cancelForwarding},
        {u"Command10"_s,    -1, K::Button,     frame1, GetForwardingButton,      QString(),  {5160,  840, 1095,  375}, 22, &Console::getForwarding},
        {u"Command11"_s,    -1, K::Button,     frame1, ApplyAutoReplyButton,     QString(),  { 240, 1320, 1335,  375}, 23, &Console::applyAutoReply},
        {u"Command12"_s,    -1, K::Button,     frame1, CancelAutoReplyButton,    QString(),  {1680, 1320, 1455,  375}, 24, &Console::cancelAutoReply},
        {u"Command13"_s,    -1, K::Button,     frame1, GetAutoReplyButton,       QString(),  {3240, 1320, 1455,  375}, 25, &Console::getAutoReply},
        {u"Command14"_s,    -1, K::Button,     window, ChangePasswordButton,     QString(),  {5040, 2880, 1455,  375}, 26, &Console::changePassword},
        {frame2,            -1, K::GroupBox,   window, NetworkGroup,             QString(),  { 240, 3480, 6495,  735}, 29, nullptr},
        {u"Command15"_s,    -1, K::Button,     frame2, ReceiveMessagesNetButton, QString(),  { 360,  240, 1575,  375}, 30, &Console::receiveMessagesNet},
        {u"RichTextBox1"_s, -1, K::OutputPane, window, QString(),                QString(),  { 240, 4560, 6495, 1575}, 12, nullptr},
    };
    // clang-format on
    return controls;
}

const QStringList &ControlRow::stackingFrontToBack()
{
    static const QStringList names = {
        u"Frame2"_s, u"Text6"_s, u"Command14"_s, u"Text5"_s,    u"Text4"_s,    u"RichTextBox1"_s,
        u"Text3"_s,  u"Text2"_s, u"Text1"_s,     u"Command4"_s, u"Command3"_s, u"Frame1"_s,
    };
    return names;
}
