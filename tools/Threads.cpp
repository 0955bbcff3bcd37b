// --threads: how many threads code compressed chunks, for every command that reads or writes
// them.
#include <CLI/CLI.hpp>

#include "Command.h"

namespace orvter {

void addThreadsOption(CLI::App* cmd, unsigned* value) {
    // Set for the whole process: the readers and writers a command makes, the bulk ones and
    // the point streams included, all start with it.
    cmd->add_option_function<unsigned>(
           "--threads",
           [value](const unsigned& n) {
               orv::lasSetDefaultThreads(n);
               if (value) *value = n;
           },
           value ? "Threads that compress, decompress and reproject (0: every core, the default)"
                 : "Threads that compress or decompress LAZ chunks (0: every core, the default)")
        ->type_name("N");
}

}  // namespace orvter
