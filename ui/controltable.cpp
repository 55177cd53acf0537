#include "ui/controltable.h"

#include "ui/uitexts.h"

#include <algorithm>

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

namespace {

QList<ControlRow> makeTable()
{
    using K = ControlRow::Kind;
    using namespace UiTexts;
    const QString window;
    const QString frame1 = u"Frame1"_s;
    const QString frame2 = u"Frame2"_s;
    // clang-format off
    QList<ControlRow> rows = {
        // name             idx kind           container caption                  buddy        left  top   width height tab
        {u"Label1"_s,       -1, K::Label,      window, AccountFormatHint,        QString(),  {1680,  120, 3135,  255},  1},
        {u"Label2"_s,        0, K::Label,      window, AccountNoLabel,           u"Text1"_s, { 600,  480,  735,  255},  6},
        {u"Label2"_s,        1, K::Label,      window, AccountPasswordLabel,     u"Text2"_s, { 600,  840,  735,  255},  7},
        {u"Label2"_s,        2, K::Label,      window, PhoneNoLabel,             u"Text3"_s, {3840,  480,  735,  255},  8},
        {u"Label2"_s,        3, K::Label,      window, CardNoLabel,              u"Text4"_s, {3840,  840,  735,  255}, 14},
        {u"Label2"_s,        4, K::Label,      window, CardPasswordLabel,        u"Text5"_s, {3840, 1200,  735,  375}, 15},
        {u"Label2"_s,        5, K::Label,      window, NewPasswordLabel,         u"Text6"_s, { 600, 1200,  735,  255}, 27},
        {u"Text1"_s,        -1, K::InputBox,   window, QString(),                QString(),  {1560,  480, 1695,  270},  9},
        {u"Text2"_s,        -1, K::InputBox,   window, QString(),                QString(),  {1560,  840, 1695,  270}, 10},
        {u"Text3"_s,        -1, K::InputBox,   window, QString(),                QString(),  {4680,  480, 1695,  270}, 11},
        {u"Text4"_s,        -1, K::InputBox,   window, QString(),                QString(),  {4680,  840, 1695,  270}, 16},
        {u"Text5"_s,        -1, K::InputBox,   window, QString(),                QString(),  {4680, 1200, 1695,  270}, 17},
        {u"Text6"_s,        -1, K::InputBox,   window, QString(),                QString(),  {1560, 1200, 1695,  270}, 28},
        {frame1,            -1, K::GroupBox,   window, StandaloneGroup,          QString(),  { 240, 1560, 6495, 1815},  0},
        {frame2,            -1, K::GroupBox,   window, NetworkGroup,             QString(),  { 240, 3480, 6495,  735}, 29},
        {u"RichTextBox1"_s, -1, K::OutputPane, window, QString(),                QString(),  { 240, 4560, 6495, 1575}, 12},
        // The buttons, after the group boxes that hold them; caption and command are the
        // console's, found by the button's name.
        {u"Command1"_s,     -1, K::Button,     frame1, QString(),                QString(),  { 360,  360, 1095,  375},  2},
        {u"Command2"_s,     -1, K::Button,     frame1, QString(),                QString(),  {1560,  360, 1095,  375},  4},
        {u"Command3"_s,     -1, K::Button,     window, QString(),                QString(),  {3000, 1920, 1095,  375},  3},
        {u"Command4"_s,     -1, K::Button,     window, QString(),                QString(),  {4200, 1920, 1095,  375},  5},
        {u"Command5"_s,     -1, K::Button,     frame1, QString(),                QString(),  {5160,  360, 1095,  375}, 13},
        {u"Command6"_s,     -1, K::Button,     frame1, QString(),                QString(),  { 360,  840, 1095,  375}, 18},
        {u"Command7"_s,     -1, K::Button,     frame1, QString(),                QString(),  {1560,  840, 1095,  375}, 19},
        {u"Command8"_s,     -1, K::Button,     frame1, QString(),                QString(),  {2760,  840, 1095,  375}, 20},
        {u"Command9"_s,     -1, K::Button,     frame1, QString(),                QString(),  {3960,  840, 1095,  375}, 21},
        {u"Command10"_s,    -1, K::Button,     frame1, QString(),                QString(),  {5160,  840, 1095,  375}, 22},
        {u"Command11"_s,    -1, K::Button,     frame1, QString(),                QString(),  { 240, 1320, 1335,  375}, 23},
        {u"Command12"_s,    -1, K::Button,     frame1, QString(),                QString(),  {1680, 1320, 1455,  375}, 24},
        {u"Command13"_s,    -1, K::Button,     frame1, QString(),                QString(),  {3240, 1320, 1455,  375}, 25},
        {u"Command14"_s,    -1, K::Button,     window, QString(),                QString(),  {5040, 2880, 1455,  375}, 26},
        {u"Command15"_s,    -1, K::Button,     frame2, QString(),                QString(),  { 360,  240, 1575,  375}, 30},
    };
    // clang-format on
    // Every button runs a command of the console, and every command has its button.
    for (ControlRow &row : rows) {
        if (row.kind != K::Button)
            continue;
        row.command = Console::command(row.name);
        if (!row.command)
            qFatal("%ls", qUtf16Printable(ButtonWithoutCommand.arg(row.name)));
        row.caption = row.command->caption;
    }
    for (const CommandRow &command : Console::commands()) {
        const auto itsButton
            = [&command](const ControlRow &row) { return row.command == &command; };
        if (std::ranges::none_of(rows, itsButton))
            qFatal("%ls", qUtf16Printable(CommandWithoutButton.arg(command.button)));
    }
    return rows;
}

} // namespace

const QList<ControlRow> &ControlRow::table()
{
    static const QList<ControlRow> controls = makeTable();
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
