#pragma once

#include "stationfiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTest>

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

} // namespace orvendal::testing

// QStrings in test failures as text, not as bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
