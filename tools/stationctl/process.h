#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace orvendal::stationctl {

// Sets the process up as the commands expect: texts in and out are UTF-8, and a reader of the
// output that goes away (stationctl status | head) ends the output, not the program. Returns
// the command line, the program's name first.
std::vector<std::string> startProcess(int argc, char** argv);

// Standard output made ready for a CSV file that a spreadsheet opens. On Windows its bytes go out
// as written (text mode would make the CSV's CR LF a CR CR LF) after a UTF-8 byte-order mark,
// without which Excel reads UTF-8 in the ANSI code page; elsewhere nothing changes.
void startCsvOutput(std::ostream& out);

} // namespace orvendal::stationctl
