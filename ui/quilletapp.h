#pragma once

#include <memory>

class Form1;
class QApplication;

// The program's start-up, shared by main, the screenshot tool and the start-up
// benchmark so that they all run the same code.
//
//   preloadFontConfiguration() ── second thread: the system's font configuration ──┐
//   QApplication (platform plugin, screens) ─── setUp() (identity, locale, Qt's    │
//                                               translations; waits for the fonts) ◀┘
//                                           ─── Form1, shown
namespace QuilletApp {

// Starts reading the system's font configuration on a thread of its own, so that the
// work overlaps with constructing QApplication instead of following it; the first
// widget that asks for a font would otherwise do it on the way to the first frame.
// Call it before QApplication exists; setUp() waits for it to finish, so Qt never
// meets it half-done.
void preloadFontConfiguration();

// The program's identity, the simplified-Chinese locale and Qt's own translations
// for it, and the group boxes' frame ready for the style. Creates no window and no gateway. Waits
// for preloadFontConfiguration(), when it was called.
void setUp(QApplication &app);

// setUp, then the window, shown. The window must go before the application does.
std::unique_ptr<Form1> start(QApplication &app);

} // namespace QuilletApp
