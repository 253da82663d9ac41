#pragma once

#include "stationfiles.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTest>
#include <QTimer>

#include <memory>
#include <ostream>

namespace orvendal::testing {

// Runs the event loop until `done` holds or `ms` have passed; returns whether it holds.
template <typename Condition> bool waitUntil(Condition done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QTest::qWait(10);
    }
    return done();
}

// Answers the next modal dialog of type Dialog, once, from the event loop the dialog runs: the
// returned timer looks for it until then.
template <typename Dialog, typename Answer> std::unique_ptr<QTimer> answerModal(Answer answer) {
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, [answer, t = timer.get()]() mutable {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            t->stop();
            answer(dialog);
        }
    });
    timer->start(20);
    return timer;
}

} // namespace orvendal::testing

// QStrings in test failures as text, not as bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
