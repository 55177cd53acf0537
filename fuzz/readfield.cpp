// Fuzz target: how the console reads an input box, Console::readField.
//
// Checked for every input: the field is the box's text with only ASCII spaces and
// ideographic spaces (U+3000) taken off both ends, nothing else removed or changed
// (every other blank, control character or lone surrogate stays); reading the field
// again gives the same field.

#include "console/console.h"
#include "fuzz/fuzzinput.h"

using FuzzInput::require;

namespace {

// A window whose every box holds one text.
class OneTextView : public ConsoleView {
public:
    QString text;

    QString boxText(InputBox) const override { return text; }
    void showNotice(const QString &) override { }
    void setOutputText(const QString &) override { }
    void reportError(const Status &) override { }
};

bool isTrimmedBlank(QChar c)
{
    return c == u' ' || c == u'\u3000';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static OneTextView view;
    static Console console(view, [](std::unique_ptr<GatewayClient> &) {
        return Status::failure(Status::CreationFailed, QString());
    });

    view.text = FuzzInput::text(data, size);
    const QString input = view.text;
    const QString field = console.readField(InputBox::Text1);

    qsizetype begin = 0;
    while (begin < input.size() && isTrimmedBlank(input[begin]))
        ++begin;
    require(input.mid(begin, field.size()) == field,
            "the field is the text from its first character that is not a trimmed blank", input);
    for (qsizetype i = begin + field.size(); i < input.size(); ++i)
        require(isTrimmedBlank(input[i]), "only trimmed blanks follow the field", input);
    require(field.isEmpty() || (!isTrimmedBlank(field.front()) && !isTrimmedBlank(field.back())),
            "the field neither starts nor ends with a trimmed blank", input);

    view.text = field;
    require(console.readField(InputBox::Text6) == field, "reading a field again changes nothing",
            input);
    return 0;
}
