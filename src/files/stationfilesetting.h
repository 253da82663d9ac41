#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The station file named in a settings file, for the monitor started without one (from the
// desktop's menu, where the file beside the program is in a folder its users may not write).
namespace orvendal::files {

// The key of the setting, as it stands in the file: station-file=PATH.
inline constexpr std::string_view kStationFileKey = "station-file";

// The largest settings file read: a person writes one in an editor, and one larger is damaged or
// not a settings file at all.
inline constexpr std::size_t kSettingsFileLimit = 64 * 1024;

struct StationFileSetting {
    std::string stationFile;
    // The settings file that named it.
    std::string settingsFile;
};

// Throws Error unless `stationFile` may be a station-file= value: an absolute path, or an smb://
// URL that parses and holds no password (which the message never repeats).
void requireStationFileValue(std::string_view stationFile);

// The station-file= value of the settings `text` read from `path`; nothing when it has none.
// Lines are key=value with blanks around either side, blank lines and '#' comments skipped,
// unknown keys ignored. The value must be an absolute path or an smb:// URL without a password.
// Throws Error naming `path` and the line for anything else.
std::optional<std::string> parseStationFileSetting(std::string_view text, const std::string& path);

// `text` with its station-file= line replaced by one naming `stationFile` (added at the end when
// it has none); every other line is kept as it is.
std::string withStationFileSetting(std::string_view text, std::string_view stationFile);

// The first settings file that names a station file: on Linux the user's
// ($XDG_CONFIG_HOME/orvendal/orvendal.conf, ~/.config by default), then the system's
// (/etc/orvendal/orvendal.conf). Nothing when none does, and always nothing on Windows, where
// the installer's Start menu entry gives the station file on the command line. A settings file
// must be a regular file of kSettingsFileLimit bytes at most. Throws Error naming a settings file
// that cannot be read or whose setting is wrong.
std::optional<StationFileSetting> configuredStationFile();

// The user's settings file `name` ($XDG_CONFIG_HOME/orvendal/NAME, ~/.config by default), where
// the program also keeps files of its own (the window's size and place). Throws Error when the
// user's home folder is unknown. Only the Linux build has it.
std::string userSettingsFile(std::string_view name);

// Makes the folders of userSettingsFile() when they are missing, readable by the user only.
// Throws Error. Only the Linux build has it.
void makeUserSettingsFolder();

// Writes station-file=`stationFile` into the user's settings file, keeping its other lines: the
// file is replaced in one step and never written through a link, and a missing folder is made
// readable by the user only. Returns the settings file's path. Throws Error. Only the Linux build
// has it, for the window's question when no station file is set.
std::string rememberStationFile(const std::string& stationFile);

} // namespace orvendal::files
