#pragma once

#include <string>
#include <vector>

namespace orvendal::stationctl {

// Sets the process up as the commands expect: texts in and out are UTF-8, and a reader of the
// output that goes away (stationctl status | head) ends the output, not the program. Returns
// the command line, the program's name first.
std::vector<std::string> startProcess(int argc, char** argv);

} // namespace orvendal::stationctl
