#pragma once

// When a link's next part may go: no more than `window` requests unanswered on the
// session, no more than `rate` parts a second (saved up for at most a tenth of a second,
// and at least one part), and none for a second after the SMSC said it is throttling.
//
//   wait(unanswered) ── 0: a part may go now, take() it
//                    ── n: ask again in n ms
//                    ── nullopt: the window is full, ask again once an answer comes
//   throttled() ──────── nothing goes for ThrottlePauseMs
//
// Time is read from the clock it is given, so that it can be told without waiting.

#include <QtGlobal>

#include <algorithm>
#include <functional>
#include <optional>

class SubmitWindow {
public:
    // Milliseconds that never go back.
    using Clock = std::function<qint64()>;

    static constexpr qint64 ThrottlePauseMs = 1'000;

    SubmitWindow(int window, int ratePerSecond, Clock clock);

    std::optional<qint64> wait(int unanswered);
    // How many more requests the window holds.
    int room(int unanswered) const { return std::max(0, m_window - unanswered); }
    void take();
    void throttled();

private:
    int m_window;
    double m_rate;
    Clock m_clock;
    double m_tokens = 0;
    qint64 m_tokensAt;
    qint64 m_pausedUntil;
};
