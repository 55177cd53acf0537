#include "ui/form1.h"

#include "console/consoletexts.h"
#include "ui/controltable.h"
#include "ui/overridecursor.h"
#include "ui/uitexts.h"

#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <limits>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

using Kind = ControlRow::Kind;

// Captions are shown as written: an '&' is a character, never an access key.
QString withoutAccessKeys(QString caption)
{
    return caption.replace(u'&', u"&&"_s);
}

bool takesFocus(Kind kind)
{
    return kind == Kind::Button || kind == Kind::InputBox || kind == Kind::OutputPane;
}

struct Created {
    const ControlRow *row;
    QWidget *widget;
};

// Focus: the controls that take it, by tab index; the chain closes on itself and starts
// at the first of them.
void chainFocus(const std::vector<Created> &created)
{
    std::vector<Created> focusable;
    std::ranges::copy_if(created, std::back_inserter(focusable),
                         [](const Created &control) { return takesFocus(control.row->kind); });
    std::ranges::sort(focusable, {}, [](const Created &control) { return control.row->tabIndex; });
    for (std::size_t i = 1; i < focusable.size(); ++i)
        QWidget::setTabOrder(focusable[i - 1].widget, focusable[i].widget);
    if (!focusable.empty())
        focusable.front().widget->setFocus();
}

} // namespace

Form1::Form1(Console::GatewayFactory factory, Console::Clock clock, QWidget *parent)
    : QWidget(parent)
    , m_console(*this, std::move(factory), std::move(clock))
{
    setObjectName(u"Form1"_s);
    setWindowTitle(UiTexts::WindowTitle);
    createControls();

    const QSize client = ControlRow::toPixels(QRect(QPoint(), ControlRow::windowTwips())).size();
    resize(client);
    if (const QScreen *own = screen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, client,
                                        own->availableGeometry()));
}

// The console (and with it the gateway instance) is a member, so it goes before
// QWidget's destructor deletes the child widgets: the window is still whole while the
// gateway instance ends.
Form1::~Form1() = default;

QWidget *Form1::createControl(const ControlRow &row, QWidget *container)
{
    QWidget *widget = nullptr;
    switch (row.kind) {
    case Kind::Label: {
        auto *label = new QLabel(container);
        label->setTextFormat(Qt::PlainText);
        // A label's text starts at its top, level with the text of the box it names.
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setText(row.buddy.isEmpty() ? row.caption : withoutAccessKeys(row.caption));
        widget = label;
        break;
    }
    case Kind::InputBox: {
        auto *box = new QLineEdit(container);
        box->setMaxLength(std::numeric_limits<int>::max());
        box->setText(row.caption);
        widget = box;
        break;
    }
    case Kind::GroupBox:
        widget = new QGroupBox(withoutAccessKeys(row.caption), container);
        break;
    case Kind::Button: {
        auto *button = new QPushButton(withoutAccessKeys(row.caption), container);
        button->setAutoDefault(false);
        button->setDefault(false);
        Q_ASSERT(row.command);
        connect(button, &QPushButton::clicked, this,
                [this, command = row.command] { runCommand(*command); });
        widget = button;
        break;
    }
    case Kind::OutputPane: {
        auto *pane = new QPlainTextEdit(container);
        pane->setReadOnly(true);
        pane->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        pane->setTabChangesFocus(true);
        pane->setPlainText(row.caption);
        m_pane = pane;
        widget = pane;
        break;
    }
    }
    widget->setObjectName(row.name);
    if (row.index >= 0)
        widget->setProperty(ControlRow::indexProperty(), row.index);
    widget->setProperty(ControlRow::tabIndexProperty(), row.tabIndex);
    widget->setGeometry(ControlRow::toPixels(row.twips));
    return widget;
}

void Form1::createControls()
{
    std::vector<Created> created;
    QHash<QString, QWidget *> byName; // unique names only; the label group is not looked up

    for (const ControlRow &row : ControlRow::table()) {
        QWidget *container = row.container.isEmpty() ? this : byName.value(row.container);
        Q_ASSERT(container);
        QWidget *widget = createControl(row, container);
        if (row.index < 0)
            byName.insert(row.name, widget);
        created.push_back({ &row, widget });
    }

    for (const Created &control : created) {
        if (control.row->buddy.isEmpty())
            continue;
        auto *label = static_cast<QLabel *>(control.widget);
        label->setBuddy(byName.value(control.row->buddy));
    }
    for (std::size_t box = 0; box < m_boxes.size(); ++box)
        m_boxes[box] = static_cast<QLineEdit *>(byName.value(u"Text%1"_s.arg(box + 1)));
    Q_ASSERT(m_pane && std::ranges::none_of(m_boxes, [](QLineEdit *box) { return !box; }));

    // Stacking: the listed children go in front, in their order; the labels stay behind.
    const QStringList &front = ControlRow::stackingFrontToBack();
    for (auto name = front.crbegin(); name != front.crend(); ++name)
        byName.value(*name)->raise();

    chainFocus(created);
}

void Form1::runCommand(const CommandRow &command)
{
    const OverrideCursor busy(Qt::WaitCursor);
    m_console.run(command);
}

QString Form1::boxText(InputBox box) const
{
    const auto slot = static_cast<std::size_t>(box) - 1;
    Q_ASSERT(slot < m_boxes.size());
    return m_boxes[slot]->text();
}

void Form1::showNotice(const QString &text)
{
    showModalBox(text, false);
}

void Form1::setOutputText(const QString &text)
{
    m_pane->setPlainText(text);
}

void Form1::reportError(const Status &status)
{
    showModalBox(ConsoleTexts::errorReport(status.code(), status.description()), true);
}

void Form1::showModalBox(const QString &text, bool error)
{
    // The user answers the box with the ordinary cursor, even in the middle of a command.
    const OverrideCursor answering(Qt::ArrowCursor);
    QMessageBox box(error ? QMessageBox::Critical : QMessageBox::NoIcon, ConsoleTexts::NoticeTitle,
                    text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
