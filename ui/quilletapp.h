#pragma once

#include <memory>

class Form1;
class QApplication;

// The program's start-up, shared by main, the screenshot tool and the start-up
// benchmark so that they all run the same code.
namespace QuilletApp {

// The program's identity, the simplified-Chinese locale and Qt's own translations
// for it, and the group boxes' frame ready for the style. Creates no window and no
// gateway.
void setUp(QApplication &app);

// setUp, then the window, shown. The window must go before the application does.
std::unique_ptr<Form1> start(QApplication &app);

} // namespace QuilletApp
