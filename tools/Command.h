// What every orvter subcommand shares.
#pragma once

#include <stdexcept>
#include <string>

namespace CLI {
class App;
}

namespace orvter {

// A failure the user caused or must know of: printed as one line, exit status 1.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Shortest text that reads back as the same double.
std::string formatNumber(double value);

void addLasInfo(CLI::App& las);
void addLasCopy(CLI::App& las);
void addLasGen(CLI::App& las);
void addLasStream(CLI::App& las);

}  // namespace orvter
