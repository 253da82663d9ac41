#include "columns.h"

#include <gtest/gtest.h>

#include <sstream>

namespace orvendal::stationctl {
namespace {

// Widths count characters, not UTF-8 bytes: an accented heading or name must not push its
// column's neighbours out of line. A note leaves the widths alone, a control character in a cell
// never reaches the terminal, and no line ends in blanks, whether the rows are kept or streamed.
TEST(Columns, AlignsByCharactersAndKeepsNotesOutOfTheWidths) {
    const struct {
        std::vector<std::vector<std::string>> rows;
        std::vector<std::string> notes; // printed after the rows
        std::string printed;
    } cases[] = {
        {{{"1", "Recepción", "7"}, {"12", "Caja", "123"}},
         {},
         "Nº  Nombre     Total\n"
         " 1  Recepción      7\n"
         "12  Caja         123\n"},
        {{{"3", "", ""}},
         {"(una nota más ancha que toda la tabla)"},
         "Nº  Nombre  Total\n"
         " 3\n"
         "(una nota más ancha que toda la tabla)\n"},
        {{{"4", "a\x1b[2Jb\tc", "5"}},
         {"fallo\r\n"},
         "Nº  Nombre    Total\n"
         " 4  a\uFFFD[2Jb\uFFFDc      5\n"
         "fallo\uFFFD\uFFFD\n"},
    };
    for (const auto& c : cases) {
        Columns table({"Nº", "Nombre", "Total"}, {true, false, true});
        for (const auto& row : c.rows) {
            table.addRow(row);
        }
        for (const auto& note : c.notes) {
            table.addNote(note);
        }
        std::ostringstream out;
        table.print(out);
        EXPECT_EQ(out.str(), c.printed);

        // Rows too many to keep, widened first and printed as they come, print the same.
        Columns streamed({"Nº", "Nombre", "Total"}, {true, false, true});
        for (const auto& row : c.rows) {
            streamed.widen(row);
        }
        std::ostringstream again;
        streamed.print(again);
        for (const auto& row : c.rows) {
            streamed.printRow(again, row);
        }
        for (const auto& note : c.notes) {
            Columns::printNote(again, note);
        }
        EXPECT_EQ(again.str(), c.printed) << "streamed";
    }
}

} // namespace
} // namespace orvendal::stationctl
