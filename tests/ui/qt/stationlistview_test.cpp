#include "error.h"
#include "stationlistview.h"
#include "text.h"
#include "uitesting.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace orvendal::ui {
namespace {

const std::u16string_view kHeadings[] = {
    u"Rec", u"LC", u"Conectado", u"Puesto", u"Conexión", u"Nombre Puesto", u"Contador"};

// Fills the list as a refresh does: seven headings on first use, then `rows` rows.
void refill(StationListView& list, int rows) {
    if (list.columnHeaderCount() < 3) {
        list.clearColumnHeaders();
        for (const auto heading : kHeadings) {
            list.addColumnHeader(heading);
        }
        list.setView(StationList::kReportView);
    }
    list.clearListItems();
    for (int row = 1; row <= rows; ++row) {
        const auto item = list.addListItem(decimal16(row));
        for (int index = 1; index <= 6; ++index) {
            std::u16string cell = u"c";
            cell.append(DecimalText(index)).append(u"   ");
            list.setSubItem(item, index, cell);
        }
    }
}

std::vector<QString>& warnings() {
    static std::vector<QString> seen;
    return seen;
}

TEST(StationListView, ModelPassesTheModelTesterThroughRefills) {
    warnings().clear();
    const auto previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext&, const QString& message) {
            if (type != QtDebugMsg && type != QtInfoMsg) {
                warnings().push_back(message);
            }
        });
    StationListView list;
    QAbstractItemModelTester tester(list.model(),
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    const std::vector<std::function<void()>> steps = {
        [&] { refill(list, 40); },
        [&] { refill(list, 0); },
        [&] { refill(list, 25); },
        [&] { list.setSubItem(3, 4, u"otra"); },
        [&] {
            list.clearColumnHeaders();
            list.addColumnHeader(u"Rec");
        },
        [&] { refill(list, 10); },
    };
    for (const auto& step : steps) {
        step();
        list.publishRows();
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings(), std::vector<QString>{});

    const QAbstractItemModel& model = *list.model();
    ASSERT_EQ(model.rowCount(), 10);
    ASSERT_EQ(model.columnCount(), 7);
    EXPECT_EQ(model.index(9, 0).data(), QStringLiteral("10"));
    // Trailing blanks are part of a cell's text.
    EXPECT_EQ(model.index(9, 6).data(), QStringLiteral("c6   "));
    EXPECT_EQ(model.headerData(4, Qt::Horizontal), QStringLiteral("Conexión"));
}

TEST(StationListView, RefusesWhatTheListDoesNotHave) {
    StationListView list;
    refill(list, 2);
    list.publishRows();
    const std::pair<const char*, std::function<void()>> members[] = {
        {"sub-item 0", [&] { list.setSubItem(0, 0, u"x"); }},
        {"sub-item past the headings", [&] { list.setSubItem(0, 7, u"x"); }},
        {"sub-item of a missing row", [&] { list.setSubItem(2, 1, u"x"); }},
        {"select a missing row", [&] { list.setSelectedItem(2); }},
        {"scroll to a missing row", [&] { list.ensureVisible(-1); }},
        {"text of a missing row", [&] { list.itemText(5); }},
        {"icon view", [&] { list.setView(0); }},
        {"automatic label edit", [&] { list.setLabelEdit(0); }},
    };
    for (const auto& [name, member] : members) {
        SCOPED_TRACE(name);
        try {
            member();
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::InvalidValue);
        }
    }
    EXPECT_EQ(list.model()->rowCount(), 2);
}

TEST(StationListView, SelectionAskedDuringARefillAppearsWhenPublished) {
    struct Case {
        bool fullRow;
        std::optional<int> select;
        int selectedCells;
    };
    for (const Case& c : {Case{true, 2, 7}, Case{false, 2, 1}, Case{true, std::nullopt, 0}}) {
        SCOPED_TRACE(::testing::Message() << c.fullRow << " " << c.select.value_or(-1));
        StationListView list;
        refill(list, 5);
        list.setFullRowSelect(c.fullRow);
        list.publishRows();
        list.setSelectedItem(4);
        ASSERT_EQ(list.selectedItem(), 4);

        refill(list, 5);
        if (c.select) {
            list.setSelectedItem(*c.select);
        }
        EXPECT_EQ(list.selectedItem(), c.select) << "during the refill";
        list.publishRows();
        EXPECT_EQ(list.selectedItem(), c.select);
        EXPECT_EQ(list.selectionModel()->selectedIndexes().size(), c.selectedCells);
    }
}

TEST(StationListView, ChangingHeadingsKeepsTheRowsAndTheirSelection) {
    StationListView list;
    refill(list, 3);
    list.publishRows();
    list.setSelectedItem(1);
    list.addColumnHeader(u"Octava");
    list.setSubItem(1, 7, u"nueva");
    list.publishRows();
    EXPECT_EQ(list.selectedItem(), 1);
    EXPECT_EQ(list.model()->index(1, 7).data(), QStringLiteral("nueva"));
    EXPECT_EQ(list.model()->index(1, 6).data(), QStringLiteral("c6   "));
    EXPECT_EQ(list.itemText(2), u"3");
}

} // namespace
} // namespace orvendal::ui
