#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace orvendal::stationctl {

// A table for the terminal: each column as wide as its widest cell, in characters, two spaces
// apart. Rows and notes print in the order they were added; a note stands alone on its line and
// leaves the widths alone. Cells and notes are UTF-8, printed through printable(): none of their
// control characters reaches the terminal.
class Columns {
public:
    // `rightAligned[c]`: column c holds numbers, padded on their left.
    Columns(std::vector<std::string> headings, std::vector<bool> rightAligned);

    void addRow(std::vector<std::string> cells);
    void addNote(const std::string& note);
    // Every line without the blanks at its end.
    void print(std::ostream& out) const;

    // For rows too many to keep: widen() with each row first, then print() the headings, then
    // each line as it comes, printed as print() would.
    void widen(const std::vector<std::string>& cells);
    void printRow(std::ostream& out, const std::vector<std::string>& cells) const;
    static void printNote(std::ostream& out, const std::string& note);

private:
    void printPrintable(std::ostream& out, const std::vector<std::string>& cells) const;

    struct Line {
        std::vector<std::string> cells; // printable
        std::string note;
    };
    std::vector<bool> rightAligned_;
    std::vector<std::size_t> widths_;
    std::vector<Line> lines_;
};

} // namespace orvendal::stationctl
