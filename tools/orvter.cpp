// orvter: the command-line face of the library.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "Command.h"

namespace {
// Exit statuses: 0 done, 1 the input or the work failed, 2 the command line was wrong.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvter - LAS point clouds and XML documents from the command line"};
    app.require_subcommand(1);
    CLI::App* las = app.add_subcommand("las", "Inspect and convert LAS point clouds");
    las->require_subcommand(1);
    orvter::addLasInfo(*las);
    orvter::addLasCopy(*las);
    orvter::addLasGen(*las);
    orvter::addLasStream(*las);
    CLI::App* xml = app.add_subcommand("xml", "Format, read and change XML documents");
    xml->require_subcommand(1);
    orvter::addXmlFmt(*xml);
    orvter::addXmlGetSet(*xml);
    orvter::addDemo(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    } catch (const orvter::CommandError& e) {
        if (*e.what()) std::fprintf(stderr, "orvter: %s\n", e.what());
        return kExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvter: %s\n", e.what());
        return kExitFailure;
    }
    return 0;
}
