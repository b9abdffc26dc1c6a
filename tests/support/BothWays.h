#pragma once

#include <QTest>

namespace tyq::test {

// A QtTest data table of one bool column: the row named whenFalse, then the
// row named whenTrue.
inline void bothWays(const char* column, const char* whenFalse, const char* whenTrue) {
    QTest::addColumn<bool>(column);
    QTest::newRow(whenFalse) << false;
    QTest::newRow(whenTrue) << true;
}

}  // namespace tyq::test
