#include "watchoptions.h"

#include "fileidentity.h"
#include "hooks.h"
#include "journal.h"
#include "plainfile.h"
#include "smburl.h"
#include "usageerror.h"

#include <vector>

namespace orvendal::watch {

// An smb:// station file is no local file.
void refuseClashingOutputs(const Options& options) {
    const std::string& stationFile = options.stationFile;
    struct Output {
        const char* option;
        std::string path;
    };
    std::vector<Output> outputs;
    if (options.journal) {
        for (const std::string& file : journal::journalFiles(*options.journal)) {
            outputs.push_back({"--journal", file});
        }
    }
    if (options.textfile) {
        outputs.push_back({"--prometheus", *options.textfile});
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const Output& output = outputs[i];
        if (!files::isSmbPath(stationFile) && files::sameFile(output.path, stationFile)) {
            throw UsageError(std::string(output.option) + ": " + output.path +
                             " es el fichero de estaciones " + stationFile +
                             ", que el monitor solo lee y nunca escribe");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (outputs[j].option != output.option &&
                files::sameFile(output.path, outputs[j].path)) {
                throw UsageError(std::string(output.option) + ": " + output.path +
                                 " es el mismo fichero que " + outputs[j].path + " de " +
                                 outputs[j].option + "; cada salida necesita su propio fichero");
            }
        }
    }
    // A link or special file there now is refused at the start; later ones at each write.
    if (const auto& prometheus = options.textfile) {
        if (!prometheus->ends_with(".prom")) {
            throw UsageError("--prometheus: " + *prometheus +
                             " no termina en .prom: node_exporter y windows_exporter solo leen los "
                             "ficheros *.prom de su carpeta");
        }
        files::requirePlainFileOrNothing(*prometheus, files::Owner::Us);
    }
}

void checkStart(const Options& options) {
    if (options.hookCommand) {
        if (const auto problem = hookCommandProblem(*options.hookCommand)) {
            throw UsageError(*problem);
        }
    }
    refuseClashingOutputs(options);
    const std::string& stationFile = options.stationFile;
    if (!files::isSmbPath(stationFile) && files::isFolder(stationFile)) {
        throw UsageError(stationFile +
                         " es una carpeta, no un fichero de estaciones: escriba la ruta del "
                         "fichero (MARLOVEN.SIT)");
    }
    // A mistyped folder would have the watcher retry for ever; one that goes away later is an
    // output failing, told and retried.
    for (const auto& [option, path] :
         {std::pair{"--journal", options.journal}, std::pair{"--prometheus", options.textfile}}) {
        if (!path) {
            continue;
        }
        if (files::isFolder(*path)) {
            throw UsageError(std::string(option) + ": " + *path +
                             " es una carpeta; escriba la ruta del fichero");
        }
        const std::string folder = files::folderOf(*path);
        if (!files::isFolder(folder)) {
            throw UsageError(std::string(option) + ": la carpeta " + folder + " de " + *path +
                             " no existe");
        }
    }
}

} // namespace orvendal::watch
